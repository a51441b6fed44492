#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "installer/package_signature.h"
#include "installer/package_verdicts.h"
#include "package_format/digest_list.h"
#include "package_format/entry_acceptance.h"
#include "package_format/file_digest.h"
#include "package_format/file_pass.h"
#include "package_format/image_classes.h"
#include "package_format/package_rules.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/file_queries.h"

namespace KIVRA {

namespace {

using package_format::ImageClass;

// The steps of installFirmware, each failing the step with its own message and code.
struct Staging {
    KivraInstaller::Impl& d;
    const std::string& origin;
    QvEncryption& encryption;
};

// What an entry is judged by, taken by the sinks of the one pass that stages it: the digest
// of the bytes installed and their first bytes (the U-Boot header).
class InstalledBytes {
public:
    // progress takes the package file's bytes as they are read, for the progress file; their
    // SHA-256 is taken only for a signed statement (signed): on a small core it costs about
    // as much as the MD5, for nothing where no statement asks for it.
    InstalledBytes(package_format::ByteSink& progress, bool signedPackage)
        : sinks_{signedPackage ? std::vector<package_format::ByteSink*>{&progress, &stored_}
                               : std::vector<package_format::ByteSink*>{&progress},
                 {&md5_, &head_}} {}
    InstalledBytes(const InstalledBytes&) = delete;
    InstalledBytes& operator=(const InstalledBytes&) = delete;

    [[nodiscard]] const package_format::PassSinks& sinks() const { return sinks_; }
    [[nodiscard]] std::string digest() { return md5_.finish(); }
    // The package file's bytes as read, for its line in the signed statement.
    [[nodiscard]] package_format::Sha256Stream& stored() { return stored_; }
    [[nodiscard]] bool hasUbootMagic() const {
        return package_format::hasUbootMagic(head_.bytes, head_.count);
    }

private:
    struct Head final : package_format::ByteSink {
        void update(const unsigned char* data, size_t length) override {
            const size_t take = std::min(length, sizeof bytes - count);
            std::memcpy(bytes + count, data, take);
            count += take;
        }
        unsigned char bytes[sizeof package_format::kUbootMagic] = {};
        size_t count = 0;
    };

    package_format::Md5Stream md5_;
    package_format::Sha256Stream stored_;
    Head head_;
    const package_format::PassSinks sinks_;
};

// The progress file counts the bytes of the package files as the pass reads them.
class ProgressBytes final : public package_format::ByteSink {
public:
    explicit ProgressBytes(qvcommontools::FwProgress& progress) : progress_(progress) {}
    void update(const unsigned char* /*data*/, size_t length) override {
        progress_.addBytes(length);
    }

private:
    qvcommontools::FwProgress& progress_;
};

// The failure of an entry that cannot be installed, in the words of its class.
[[noreturn]] void refuseEntry(const Staging& s, const std::string& name) {
    const installer::Refusal refusal = installer::entryRefusal(name);
    installer::fail(s.d, refusal.code, refusal.message, s.origin);
}

// The package file name, read into staged by the pass that took stored, held to the signed
// statement; a file that fails is not left under its staged name (staged "" when the file
// stays where it is).
void requireListedStaged(const Staging& s, const std::string& name,
                         package_format::Sha256Stream& stored, const std::string& staged) {
    try {
        installer::requireListed(s.d, name, stored, s.origin);
    } catch (...) {
        if (!staged.empty()) {
            (void)::unlink(staged.c_str());  // the refusal stands; a file left is only unnamed
        }
        throw;
    }
}

// The digest list, decrypted into the staging directory and opened for reading.
void openDigestList(const Staging& s, std::ifstream& list) {
    const std::string listPath = s.d.fwImagesDir + "/" + package_format::kDigestListName;
    const std::string listSource = s.d.fwDir + "/" + package_format::kDigestListName;
    package_format::Sha256Stream stored;
    if (package_format::isSpecialEntry(listSource) ||
        package_format::decryptInto(s.encryption, listSource, listPath, {{&stored}, {}}) != 0) {
        installer::fail(s.d, KivraInstaller::Failure, "Unable to decrypt images.md5", s.origin);
    }
    requireListedStaged(s, package_format::kDigestListName, stored, listPath);
    list.open(listPath, std::ios::in | std::ios::binary);
    if (!list.is_open()) {
        installer::fail(s.d, KivraInstaller::Md5FileError, "Unable to open md5 file", s.origin);
    }
}

// A link, a FIFO or a device node among the entries is refused before anything is staged:
// refused half-way, the files before it would be installed and their package files deleted,
// leaving a package that can no longer be installed whole. The list is then read again from
// its start.
void refuseUndeliverableEntries(const Staging& s, std::ifstream& list) {
    package_format::DigestListEntry undeliverable;
    package_format::EntryAcceptance acceptance;
    if (package_format::findUndeliverableEntry(list, s.d.fwDir, undeliverable, acceptance)) {
        refuseEntry(s, undeliverable.name);
    }
    list.clear();
    if (!list.seekg(0)) {
        installer::fail(s.d, KivraInstaller::Md5FileError, "Unable to open md5 file", s.origin);
    }
}

// The bytes of the package file behind a listed name, 0 for anything but a regular file.
uint64_t packageFileSize(const Staging& s, const std::string& name) {
    struct stat st {};
    const std::string path = s.d.fwDir + "/" + name;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
               ? static_cast<uint64_t>(st.st_size)
               : 0;
}

// The bytes of all the files the list names: the progress file's measure of this step. The
// list is then read again from its start.
uint64_t listedBytes(const Staging& s, std::ifstream& list) {
    uint64_t total = 0;
    package_format::DigestListReader reader(list);
    package_format::DigestListEntry entry;
    while (reader.next(entry) == package_format::DigestListReader::Next::Entry) {
        if (package_format::isPlainFileName(entry.name)) {
            total += packageFileSize(s, entry.name);
        }
    }
    list.clear();
    if (!list.seekg(0)) {
        installer::fail(s.d, KivraInstaller::Md5FileError, "Unable to open md5 file", s.origin);
    }
    return total;
}

// The list comes out of the package; a name that is not a plain file name would build a
// source or target path outside the firmware and staging directories (and the source is
// deleted after installation), so such a list is refused as invalid. So is a list naming
// itself: its staged copy, still being read, would be the target. The rulebook judges the
// entry (its acceptance, its place in the list, its digest) before anything of it is staged.
package_format::EntryAcceptance acceptListed(const Staging& s,
                                             package_format::DigestListReader::Next next,
                                             const package_format::DigestListEntry& entry,
                                             std::set<std::string>& listed) {
    if (next != package_format::DigestListReader::Next::Entry) {
        installer::fail(s.d, KivraInstaller::Md5FileError, "Invalid md5 file", s.origin);
    }
    package_format::EntryFacts facts;
    facts.entry = entry;
    facts.acceptance = package_format::acceptEntry(s.d.fwDir, entry.name);
    facts.listedBefore = !listed.insert(entry.name).second;
    installer::refuseOn(s.d, package_format::checkEntry(facts), s.origin);
    return facts.acceptance;
}

// Puts the file where its class goes (decrypted, copied, or left in the package for the
// installer program) in one pass that hands its bytes to installed's sinks, and returns that
// path.
std::string stageFile(const Staging& s, ImageClass fileClass, const std::string& name,
                      const package_format::EntryAcceptance& acceptance,
                      InstalledBytes& installed) {
    const std::string source = s.d.fwDir + "/" + name;
    // Checked again here: the entry may have been replaced since the list was first read.
    bool staged = !package_format::isUndeliverable(acceptance.verdict);
    std::string target;
    switch (fileClass) {
        case ImageClass::InstallerProgram:
            target = source;
            // Read in place, once, only where a signed statement vouches for it: its SHA-256
            // and its MD5 digest in the one pass (elsewhere verifyStaged reads it for the MD5).
            staged = staged && (!s.d.statement ||
                                package_format::copyInto(source, target, installed.sinks()) ==
                                    qvsystemtools::TOOL_OK);
            break;
        case ImageClass::NtimFile:
            target = s.d.tempDir + "/" + name;
            staged = staged && package_format::copyInto(source, target, installed.sinks()) ==
                                   qvsystemtools::TOOL_OK;
            break;
        case ImageClass::UbootImage:
        case ImageClass::PlainImage:
            target = s.d.fwImagesDir + "/" + name;
            staged = staged && package_format::decryptInto(s.encryption, source, target,
                                                           installed.sinks()) == 0;
            break;
        case ImageClass::OtherFile:
            target = s.d.fwImagesDir + "/" + name;
            staged = staged && package_format::copyInto(source, target, installed.sinks()) ==
                                   qvsystemtools::TOOL_OK;
            break;
    }
    if (!staged) {
        refuseEntry(s, name);
    }
    return target;
}

// The staged file against its listed digest and, for U-Boot images, the header magic.
void verifyStaged(const Staging& s, ImageClass fileClass,
                  const package_format::DigestListEntry& entry, const std::string& target,
                  InstalledBytes& installed) {
    bool match = false;
    int computed = KivraInstaller::Success;
    if (fileClass == ImageClass::InstallerProgram && !s.d.statement) {
        // Verified where it stands: reading it for its digest is its one pass.
        computed = KivraInstaller::md5sum(target, entry.digest, match);
    } else {
        // Taken in the pass that wrote the file, not by reading it back: the bytes hashed are
        // the bytes written, every write was checked (a short or failed one failed the pass),
        // and a second read would be served the same bytes from the page cache, not from the
        // disk. It would double the passes over every image and prove nothing more.
        match = installed.digest() == entry.digest;
    }
    installer::check(s.d, computed, "Unable to compute MD5 sum for file " + entry.name, s.origin);
    if (!match) {
        installer::fail(s.d, KivraInstaller::Md5Mismatch, "MD5 check failed for " + entry.name,
                        s.origin);
    }
    if (fileClass == ImageClass::UbootImage && !installed.hasUbootMagic()) {
        // Right digest, wrong content: the package was built from a bad image.
        installer::fail(s.d, KivraInstaller::Failure, "Unable to decrypt " + entry.name, s.origin);
    }
}

// The verified copy is installed; the package file is no longer needed and the data partition
// has no room for both. A package unpacked straight into a destination directory (NTIM.bin
// into /mnt/hda1/Kvtemp) has its file installed where it already is.
void releasePackageFile(const Staging& s, ImageClass fileClass, const std::string& name,
                        const std::string& target) {
    const std::string source = s.d.fwDir + "/" + name;
    if (fileClass != ImageClass::InstallerProgram && !qvsystemtools::sameFile(source, target)) {
        (void)::unlink(source.c_str());  // a failure here costs only space
    }
}

}  // namespace

int KivraInstaller::getMd5Sum(const std::string& path, std::string& digest) {
    const std::string origin = installer::origin("getMd5Sum");
    return installer::runStep([&] {
        if (!package_format::md5Text(path, digest)) {
            installer::raise(FileError, "Cannot compute MD5 sum of " + path, origin);
        }
    });
}

int KivraInstaller::md5sum(const std::string& path, const std::string& expected, bool& match) {
    const std::string origin = installer::origin("md5sum");
    match = false;
    return installer::runStep([&] {
        std::string digest;
        if (getMd5Sum(path, digest) != Success) {
            installer::raise(Failure, "Failed to compute MD5 Checksum", origin);
        }
        match = digest == expected;
    });
}

int KivraInstaller::installFirmware() {
    const std::string origin = installer::origin("installFirmware");
    Impl& d = *impl_;
    return installer::runStep([&] {
        QvEncryption encryption;
        // A key that cannot be derived shows as a digest list or images that fail to verify.
        (void)encryption.setKey(d.version);
        const Staging s{d, origin, encryption};
        ProgressBytes progress(d.progress);

        std::ifstream list;
        openDigestList(s, list);
        refuseUndeliverableEntries(s, list);
        d.progress.beginBytes(listedBytes(s, list));
        package_format::DigestListReader reader(list);
        package_format::DigestListEntry entry;
        std::set<std::string> listed;
        for (;;) {
            // Between two files is a safe point: each file is installed and verified whole
            // or not begun.
            installer::stopIfAsked(d, origin);
            const package_format::DigestListReader::Next next = reader.next(entry);
            if (next == package_format::DigestListReader::Next::End) {
                break;
            }
            const package_format::EntryAcceptance acceptance = acceptListed(s, next, entry, listed);
            const ImageClass fileClass = package_format::classifyImage(entry.name);
            d.progress.beginFile(entry.name, packageFileSize(s, entry.name));
            InstalledBytes installed(progress, d.statement.has_value());
            const std::string target = stageFile(s, fileClass, entry.name, acceptance, installed);
            requireListedStaged(s, entry.name, installed.stored(),
                                qvsystemtools::sameFile(s.d.fwDir + "/" + entry.name, target)
                                    ? std::string()
                                    : target);
            verifyStaged(s, fileClass, entry, target, installed);
            releasePackageFile(s, fileClass, entry.name, target);
        }
    });
}

}  // namespace KIVRA
