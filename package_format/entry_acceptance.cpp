#include "package_format/entry_acceptance.h"

#include <sys/stat.h>

#include <cerrno>

namespace KIVRA {
namespace package_format {

EntryAcceptance acceptEntry(const std::string& packageDir, const std::string& name) {
    EntryAcceptance result;
    result.imageClass = classifyImage(name);
    if (!isPlainFileName(name)) {
        result.verdict = EntryVerdict::BadName;
        return result;
    }
    if (name == kDigestListName) {
        result.verdict = EntryVerdict::ListItself;
        return result;
    }
    struct stat st {};
    if (::lstat((packageDir + "/" + name).c_str(), &st) != 0) {
        result.verdict = errno == ENOENT ? EntryVerdict::Missing : EntryVerdict::Unreadable;
        result.error = errno;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.verdict = EntryVerdict::NotRegular;
    } else if (isReservedName(name)) {
        result.verdict = EntryVerdict::PackageFile;
    }
    return result;
}

bool isUndeliverable(EntryVerdict verdict) {
    switch (verdict) {
        case EntryVerdict::NotRegular:
        case EntryVerdict::Unreadable:
            return true;
        case EntryVerdict::Accepted:
        case EntryVerdict::BadName:
        case EntryVerdict::ListItself:
        case EntryVerdict::PackageFile:
        case EntryVerdict::Missing:
            return false;
    }
    return false;
}

bool findUndeliverableEntry(std::istream& list, const std::string& packageDir,
                            DigestListEntry& entry, EntryAcceptance& acceptance) {
    DigestListReader reader(list);
    DigestListEntry next;
    while (reader.next(next) == DigestListReader::Next::Entry) {
        const EntryAcceptance verdict = acceptEntry(packageDir, next.name);
        if (verdict.verdict == EntryVerdict::BadName ||
            verdict.verdict == EntryVerdict::ListItself ||
            verdict.verdict == EntryVerdict::PackageFile) {
            return false;
        }
        if (isUndeliverable(verdict.verdict)) {
            entry = next;
            acceptance = verdict;
            return true;
        }
    }
    return false;
}

}  // namespace package_format
}  // namespace KIVRA
