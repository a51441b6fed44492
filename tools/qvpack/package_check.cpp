#include "tools/qvpack/package_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "crypto/qv_encryption.h"
#include "package_format/digest_list.h"
#include "package_format/entry_acceptance.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/products.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

namespace {

using package_format::EntryVerdict;
using package_format::ImageClass;

// A digest list is a few lines per image; anything far larger is not one, and is not read
// into memory whole.
constexpr size_t kMaxListSize = 1 << 20;

// Printable ASCII and white space only, as every digest and file name is.
bool isListText(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool space = byte == ' ' || (byte >= '\t' && byte <= '\r');
        if (!space && (byte < 0x21 || byte > 0x7E)) {
            return false;
        }
    }
    return true;
}

// What the package directory has at name, the entry itself examined (a link is not
// followed): false for nothing there; throws MachineFault when it cannot be examined.
bool entryType(const std::string& path, mode_t& mode) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        throw MachineFault("cannot examine " + path + ": " + errnoText());
    }
    mode = st.st_mode;
    return true;
}

CheckItem itemOf(const std::string& name, DigestState digest, const std::string& detail,
                 const std::string& fileClass = "") {
    CheckItem item;
    item.name = name;
    item.fileClass = fileClass;
    item.digest = digest;
    item.detail = detail;
    return item;
}

// Counts the checks and hands every item to the report.
class Reporter {
public:
    Reporter(CheckReport& report, CheckSummary& summary) : report_(report), summary_(summary) {}
    void manifest(const ManifestTable& table) { report_.manifest(table); }
    void ok(CheckItem item) {
        ++summary_.checks;
        item.outcome = ItemOutcome::Ok;
        finish(item);
    }
    void ok(const std::string& name, const std::string& remark = "") {
        ok(itemOf(name, DigestState::None, remark));
    }
    void failed(CheckItem item) {
        ++summary_.checks;
        ++summary_.failures;
        item.outcome = ItemOutcome::Failed;
        finish(item);
    }
    void failed(const std::string& name, DigestState digest, const std::string& reason) {
        failed(itemOf(name, digest, reason));
    }
    void note(const std::string& name, const std::string& text) {
        CheckItem item = itemOf(name, DigestState::None, text);
        item.outcome = ItemOutcome::Note;
        finish(item);
    }

private:
    void finish(CheckItem& item) {
        if (item.fileClass.empty()) {
            item.fileClass = fileClassName(item.name);
        }
        report_.item(item);
    }
    CheckReport& report_;
    CheckSummary& summary_;
};

// One package file read once to its end: decrypted or as it is, hashed, its first bytes kept
// for the U-Boot header, and written in plain form only where the caller asked for it.
struct StreamResult {
    uint64_t size = 0;
    std::string digest;
    unsigned char head[sizeof package_format::kUbootMagic] = {};
    size_t headLength = 0;
    std::string content;  // the whole plain form, when asked for (the digest list, init.sh)
};

StreamResult streamFile(QvEncryption& crypto, const std::string& source, bool encrypted,
                        const std::string& plainPath, bool keepContent) {
    // O_NOFOLLOW and O_NONBLOCK: the entry was accepted as a regular file, but it may have
    // been replaced since; a link or a FIFO swapped in must neither be followed nor block.
    qvsystemtools::UniqueFd in(
        ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        throw MachineFault("cannot read " + source + ": " + errnoText());
    }
    if (!S_ISREG(st.st_mode)) {
        throw PackError(source + " was replaced by something other than a regular file");
    }
    std::unique_ptr<qvsystemtools::AtomicFile> out;
    if (!plainPath.empty()) {
        out = std::make_unique<qvsystemtools::AtomicFile>(plainPath);
        // Plain images keep the bits of the package file; decrypted ones are world-readable
        // as the files the release tool writes.
        const mode_t mode = encrypted ? 0644 : (st.st_mode & 0777);
        if (!out->valid() || ::fchmod(out->fd(), mode) != 0) {
            throw MachineFault("cannot create " + plainPath + ": " + errnoText());
        }
    }
    StreamResult result;
    package_format::Md5Stream md5;
    int writeError = 0;
    const QvEncryption::ChunkSink sink = [&](const unsigned char* data, size_t length) {
        md5.update(data, length);
        const size_t head = std::min(length, sizeof result.head - result.headLength);
        std::memcpy(result.head + result.headLength, data, head);
        result.headLength += head;
        if (keepContent) {
            if (result.content.size() + length > kMaxListSize) {
                writeError = EFBIG;
                return false;
            }
            result.content.append(reinterpret_cast<const char*>(data), length);
        }
        if (out && !qvsystemtools::writeAllFd(out->fd(), data, length)) {
            writeError = errno;
            return false;
        }
        return true;
    };
    int status = 0;
    if (encrypted) {
        errno = 0;
        status = crypto.decryptToSink(in.get(), sink);
    } else {
        alignas(16) unsigned char buffer[qvsystemtools::kTransferUnit];
        for (;;) {
            const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
            if (n == 0) {
                break;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || !sink(buffer, static_cast<size_t>(n))) {
                status = -1;
                break;
            }
        }
    }
    if (status != 0) {
        if (writeError == EFBIG) {
            throw PackError(source + " is larger than any digest list or script (" +
                            std::to_string(kMaxListSize) + " bytes at most)");
        }
        if (writeError != 0) {
            throw MachineFault("cannot write " + plainPath + ": " + std::strerror(writeError));
        }
        throw MachineFault("cannot read " + source + ": " +
                           (errno != 0 ? errnoText() : std::string("decryption failed")));
    }
    if (out) {
        const int error = out->commit();
        if (error != 0) {
            throw MachineFault("cannot write " + plainPath + ": " + std::strerror(error));
        }
    }
    result.size = md5.size();
    result.digest = md5.finish();
    return result;
}

// A shell reads its script as text: a plain form with a NUL byte or other control characters
// is not the script the package was built with (a wrong version, damaged bytes).
bool isScriptText(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f' &&
             byte != '\v') ||
            byte == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string plainPath(const CheckOptions& options, const std::string& name) {
    return options.plainDir.empty() ? std::string() : options.plainDir + "/" + name;
}

// The manifest, as the installer checks it before anything else. Returns the version.
std::string checkManifest(const std::string& pkgDir, const CheckOptions& options, Reporter& report,
                          ManifestTable& manifest) {
    const std::string path = pkgDir + "/" + package_format::kManifestName;
    mode_t mode = 0;
    if (!entryType(path, mode)) {
        throw PackError(path + " is missing: the installer refuses the package");
    }
    if (!S_ISREG(mode)) {
        throw PackError(path + " is not a regular file: the installer refuses the package");
    }
    QvEncryption none;
    const StreamResult read =
        streamFile(none, path, false, plainPath(options, package_format::kManifestName), true);
    manifest = parseManifest(read.content);
    report.manifest(manifest);

    const auto version = manifest.find(package_format::kVersionKey);
    const auto type = manifest.find(package_format::kProductTypeKey);
    // The installer's own words for each refusal, so the report reads like the log would.
    if (type == manifest.end() || type->second.empty()) {
        report.failed(package_format::kManifestName, DigestState::None,
                      "PRODUCT_TYPE not found in manifest");
    } else if (!options.product.empty() &&
               type->second != package_format::productTypeOf(options.product)) {
        report.failed(package_format::kManifestName, DigestState::None,
                      "Manifest product type " + type->second + " mismatches device product type " +
                          package_format::productTypeOf(options.product) + " (product " +
                          options.product + ")");
    } else if (options.product.empty() && !package_format::isProductType(type->second)) {
        const std::string typeOfName = package_format::productTypeOf(type->second);
        report.failed(package_format::kManifestName, DigestState::None,
                      "PRODUCT_TYPE " + type->second + " is the type of no product" +
                          (typeOfName.empty() ? std::string()
                                              : "; " + type->second +
                                                    " is a product name, of type " + typeOfName) +
                          " (types: " + package_format::productTypeList() + ")");
    } else if (version != manifest.end()) {
        report.ok(package_format::kManifestName,
                  "PRODUCT_TYPE=" + type->second + ", KIVRA_VERSION=" + version->second);
    }
    // An empty version is a version like any other to the installer: the empty passphrase
    // is a valid key.
    if (version == manifest.end()) {
        throw PackError(path + " has no KIVRA_VERSION: the installer stops at its manifest check");
    }
    return version->second;
}

// The pre-install script, which the installer decrypts and runs after the manifest checks.
void checkScript(QvEncryption& crypto, const std::string& pkgDir, const CheckOptions& options,
                 const ManifestTable& manifest, Reporter& report) {
    const std::string script = pkgDir + "/" + package_format::kInitScriptName;
    mode_t mode = 0;
    if (!entryType(script, mode)) {
        return;
    }
    if (!S_ISREG(mode)) {
        report.failed(package_format::kInitScriptName, DigestState::None,
                      "not a regular file; the installer does not run it");
        return;
    }
    const StreamResult plain =
        streamFile(crypto, script, true, plainPath(options, package_format::kInitScriptName), true);
    CheckItem item = itemOf(package_format::kInitScriptName, DigestState::None, "");
    item.sized = true;
    item.size = plain.size;
    item.actual = plain.digest;
    const auto digest = manifest.find(package_format::kInitScriptDigestKey);
    if (digest != manifest.end()) {
        item.expected = digest->second;
        if (plain.digest != digest->second) {
            item.digest = DigestState::Mismatch;
            item.detail = std::string("MD5 mismatch with ") + package_format::kInitScriptDigestKey;
            report.failed(item);
            return;
        }
        item.digest = DigestState::Match;
    }
    if (!isScriptText(plain.content)) {
        item.detail = "does not decrypt to a shell script (damaged, or a wrong KIVRA_VERSION)";
        report.failed(item);
        return;
    }
    if (digest == manifest.end()) {
        item.detail = std::string("decrypted to text; no digest covers it (no ") +
                      package_format::kInitScriptDigestKey + " in the manifest)";
    }
    report.ok(item);
}

// The radio entries: the installer compares RM identifier + "_VERSION" and + "_MD5" with the
// stored radio-module image; an identifier with one of the two cannot be compared.
void checkRadioEntries(const ManifestTable& manifest, Reporter& report) {
    const std::string versionSuffix = package_format::kRadioVersionSuffix;
    const std::string digestSuffix = package_format::kRadioDigestSuffix;
    std::set<std::string> ids;
    for (const auto& [key, value] : manifest) {
        (void)value;
        if (key == package_format::kVersionKey) {
            continue;
        }
        for (const std::string* suffix : {&versionSuffix, &digestSuffix}) {
            if (key.size() > suffix->size() &&
                key.compare(key.size() - suffix->size(), suffix->size(), *suffix) == 0) {
                ids.insert(key.substr(0, key.size() - suffix->size()));
            }
        }
    }
    for (const std::string& id : ids) {
        CheckItem item = itemOf(id, DigestState::None, "", "radio-entry");
        const auto version = manifest.find(id + versionSuffix);
        const auto digest = manifest.find(id + digestSuffix);
        if (version == manifest.end() || version->second.empty()) {
            item.detail = id + versionSuffix + " is missing or empty";
        } else if (digest == manifest.end()) {
            item.detail = id + digestSuffix + " is missing";
        } else if (!package_format::isDigestText(digest->second)) {
            item.detail = id + digestSuffix + " is not 32 lower-case hexadecimal digits";
        }
        if (digest != manifest.end()) {
            item.expected = digest->second;
        }
        if (item.detail.empty()) {
            item.detail = "version " + version->second;
            report.ok(item);
        } else {
            item.detail += "; the installer cannot compare the radio-module image";
            report.failed(item);
        }
    }
}

std::string verdictReason(EntryVerdict verdict) {
    switch (verdict) {
        case EntryVerdict::Accepted:
            return "";
        case EntryVerdict::BadName:
            return "not a plain file name of the package directory";
        case EntryVerdict::ListItself:
        case EntryVerdict::PackageFile:
            return "the name belongs to the package itself";
        case EntryVerdict::Missing:
            return "missing from the package";
        case EntryVerdict::NotRegular:
            return "not a regular file (a link, a directory, a FIFO or a device node); the "
                   "installer refuses the package before staging anything";
        case EntryVerdict::Unreadable:
            return "cannot be examined";
    }
    return "";
}

// Checks one digest-list entry that the acceptance let through.
void checkEntry(QvEncryption& crypto, const std::string& pkgDir, const CheckOptions& options,
                const package_format::DigestListEntry& entry, Reporter& report) {
    const ImageClass imageClass = package_format::classifyImage(entry.name);
    const StreamResult plain =
        streamFile(crypto, pkgDir + "/" + entry.name, package_format::isEncryptedClass(imageClass),
                   plainPath(options, entry.name), false);
    CheckItem item = itemOf(entry.name, DigestState::Match, "");
    item.sized = true;
    item.size = plain.size;
    item.expected = entry.digest;
    item.actual = plain.digest;
    if (plain.digest != entry.digest) {
        item.digest = DigestState::Mismatch;
        item.detail = "MD5 mismatch";
        report.failed(item);
        return;
    }
    if (imageClass == ImageClass::UbootImage &&
        (plain.headLength != sizeof plain.head ||
         std::memcmp(plain.head, package_format::kUbootMagic, sizeof plain.head) != 0)) {
        item.detail = "no U-Boot header 27 05 19 56 after decryption";
        report.failed(item);
        return;
    }
    report.ok(item);
}

}  // namespace

void TextReport::manifest(const ManifestTable& /*table*/) {
    // The text report names the two keys the installer needs on the manifest's own line.
}

void TextReport::item(const CheckItem& item) {
    std::string facts;
    if (item.sized) {
        facts = std::to_string(item.size) + " bytes, ";
        if (item.digest == DigestState::Mismatch) {
            facts += "expected md5 " + item.expected + ", actual " + item.actual;
        } else {
            facts += "md5 " + item.actual;
        }
    }
    const auto joined = [&](const std::string& text) {
        if (facts.empty() || text.empty()) {
            return facts + text;
        }
        return text + "; " + facts;
    };
    switch (item.outcome) {
        case ItemOutcome::Ok: {
            const std::string detail = joined(item.detail);
            out_ << item.name << ": OK" << (detail.empty() ? "" : " (" + detail + ")") << "\n";
            return;
        }
        case ItemOutcome::Failed:
            out_ << item.name << ": FAILED (" << joined(item.detail) << ")\n";
            return;
        case ItemOutcome::Note:
            out_ << item.name << ": " << item.detail << "\n";
            return;
    }
}

std::string fileClassName(const std::string& name) {
    if (name == package_format::kManifestName) {
        return "manifest";
    }
    if (name == package_format::kDigestListName) {
        return "digest-list";
    }
    if (name == package_format::kInitScriptName) {
        return "init-script";
    }
    switch (package_format::classifyImage(name)) {
        case ImageClass::InstallerProgram:
            return "installer-program";
        case ImageClass::NtimFile:
            return "ntim";
        case ImageClass::UbootImage:
            return "uboot-image";
        case ImageClass::PlainImage:
            return "plain-image";
        case ImageClass::OtherFile:
            return "other";
    }
    return "other";
}

namespace {

// The digest list as the installer reads it: a regular file of the package, decrypted.
std::string readDigestList(QvEncryption& crypto, const std::string& pkgDir,
                           const CheckOptions& options) {
    const std::string listSource = pkgDir + "/" + package_format::kDigestListName;
    mode_t mode = 0;
    if (!entryType(listSource, mode)) {
        throw PackError(listSource +
                        " is missing: without its digest list the installer refuses the package "
                        "(\"Unable to decrypt images.md5\")");
    }
    if (!S_ISREG(mode)) {
        throw PackError(listSource +
                        " is not a regular file: the installer refuses the package (\"Unable to "
                        "decrypt images.md5\")");
    }
    return streamFile(crypto, listSource, true, plainPath(options, package_format::kDigestListName),
                      true)
        .content;
}

// Every entry of the list, read by the installer's own reader, so both take the same entries
// from the same text: accepted as the installer accepts it, listed once, with a digest, and
// its file checked. Returns the names the list covers.
std::set<std::string> checkListedEntries(QvEncryption& crypto, const std::string& pkgDir,
                                         const CheckOptions& options, const std::string& listText,
                                         Reporter& report) {
    std::istringstream list(listText);
    package_format::DigestListReader reader(list);
    package_format::DigestListEntry entry;
    std::set<std::string> listed;
    for (;;) {
        const package_format::DigestListReader::Next next = reader.next(entry);
        if (next == package_format::DigestListReader::Next::End) {
            break;
        }
        if (next == package_format::DigestListReader::Next::MissingName) {
            report.failed(package_format::kDigestListName, DigestState::None,
                          "digest " + entry.digest + " has no file name");
            break;
        }
        if (next == package_format::DigestListReader::Next::ReadError) {
            report.failed(package_format::kDigestListName, DigestState::None,
                          "cannot be read to its end");
            break;
        }
        const package_format::EntryAcceptance acceptance =
            package_format::acceptEntry(pkgDir, entry.name);
        if (acceptance.verdict == EntryVerdict::Unreadable) {
            throw MachineFault("cannot examine " + pkgDir + "/" + entry.name + ": " +
                               std::strerror(acceptance.error));
        }
        if (acceptance.verdict != EntryVerdict::Accepted) {
            CheckItem item =
                itemOf(entry.name, DigestState::Unchecked, verdictReason(acceptance.verdict));
            item.expected = entry.digest;
            report.failed(item);
            if (acceptance.verdict != EntryVerdict::Missing) {
                (void)listed.insert(entry.name);
            }
            continue;
        }
        if (!listed.insert(entry.name).second) {
            report.failed(entry.name, DigestState::Unchecked, "listed twice");
            continue;
        }
        if (!package_format::isDigestText(entry.digest)) {
            CheckItem item = itemOf(entry.name, DigestState::Unchecked,
                                    "digest is not 32 lower-case hexadecimal digits");
            item.expected = entry.digest;
            report.failed(item);
            continue;
        }
        checkEntry(crypto, pkgDir, options, entry, report);
    }
    return listed;
}

// A note for each package file the list does not name, in name order.
void noteUnlisted(const std::string& pkgDir, const std::set<std::string>& listed,
                  Reporter& report) {
    qvsystemtools::UniqueDir dir(::opendir(pkgDir.c_str()));
    if (!dir.valid()) {
        throw MachineFault("cannot read " + pkgDir + ": " + errnoText());
    }
    std::vector<std::string> unlisted;
    qvsystemtools::DirEntries entries(dir.get());
    while (const dirent* file = entries.next()) {
        const std::string name = file->d_name;
        if (!package_format::isReservedName(name) && listed.count(name) == 0) {
            unlisted.push_back(name);
        }
    }
    if (entries.error() != 0) {
        throw MachineFault("cannot read " + pkgDir + ": " + std::strerror(entries.error()));
    }
    std::sort(unlisted.begin(), unlisted.end());
    for (const std::string& file : unlisted) {
        report.note(file, "not in the digest list; the installer leaves it alone");
    }
}

}  // namespace

CheckSummary checkPackage(const std::string& pkgDir, const CheckOptions& options,
                          CheckReport& out) {
    struct stat st {};
    if (::stat(pkgDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw PackError(pkgDir + ": not a directory");
    }
    CheckSummary summary;
    Reporter report(out, summary);
    ManifestTable manifest;
    const std::string version = checkManifest(pkgDir, options, report, manifest);

    QvEncryption crypto;
    if (crypto.setKey(version) != 0) {
        throw MachineFault("cannot derive the package key");
    }
    checkScript(crypto, pkgDir, options, manifest, report);
    checkRadioEntries(manifest, report);

    const std::string listText = readDigestList(crypto, pkgDir, options);
    if (!isListText(listText)) {
        // A wrong passphrase gives random bytes; their "names" would only garble the report.
        report.failed(package_format::kDigestListName, DigestState::None,
                      "does not decrypt to a digest list; wrong KIVRA_VERSION?");
        return summary;
    }
    const std::set<std::string> listed =
        checkListedEntries(crypto, pkgDir, options, listText, report);
    noteUnlisted(pkgDir, listed, report);
    return summary;
}

}  // namespace qvpack
}  // namespace KIVRA
