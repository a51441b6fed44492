#include <unistd.h>

#include <fstream>
#include <string>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "package_format/digest_list.h"
#include "package_format/entry_acceptance.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/file_queries.h"

namespace KIVRA {

namespace {

using package_format::ImageClass;

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

        const std::string listPath = d.fwImagesDir + "/" + package_format::kDigestListName;
        const std::string listSource = d.fwDir + "/" + package_format::kDigestListName;
        if (package_format::isSpecialEntry(listSource) ||
            encryption.decryptFile(listSource, listPath) != 0) {
            installer::fail(d, Failure, "Unable to decrypt images.md5", origin);
        }
        std::ifstream list(listPath, std::ios::in | std::ios::binary);
        if (!list.is_open()) {
            installer::fail(d, Md5FileError, "Unable to open md5 file", origin);
        }
        // Each class refuses an entry that is no package file with its own failure.
        const auto refuse = [&](ImageClass fileClass, const std::string& name) {
            switch (fileClass) {
                case ImageClass::InstallerProgram:
                    installer::fail(d, Failure, "Unable to compute MD5 sum for file " + name,
                                    origin);
                case ImageClass::NtimFile:
                    installer::fail(d, NtimInstallError, "Unable to install NTIM file", origin);
                case ImageClass::UbootImage:
                case ImageClass::PlainImage:
                    installer::fail(d, Failure, "Unable to decrypt " + name, origin);
                case ImageClass::OtherFile:
                    installer::fail(d, FileInstallError, "Unable to install firmware file " + name,
                                    origin);
            }
        };
        // A link, a FIFO or a device node among the entries is refused before anything is
        // staged: refused half-way, the files before it would be installed and their package
        // files deleted, leaving a package that can no longer be installed whole.
        {
            package_format::DigestListEntry undeliverable;
            package_format::EntryAcceptance acceptance;
            if (package_format::findUndeliverableEntry(list, d.fwDir, undeliverable, acceptance)) {
                refuse(acceptance.imageClass, undeliverable.name);
            }
            list.clear();
            if (!list.seekg(0)) {
                installer::fail(d, Md5FileError, "Unable to open md5 file", origin);
            }
        }

        package_format::DigestListReader reader(list);
        package_format::DigestListEntry entry;
        for (;;) {
            // Between two files is a safe point: each file is installed and verified whole
            // or not begun.
            installer::stopIfAsked(d, origin);
            const package_format::DigestListReader::Next next = reader.next(entry);
            if (next == package_format::DigestListReader::Next::End) {
                break;
            }
            // The list comes out of the package; a name that is not a plain file name would
            // build a source or target path outside the firmware and staging directories (and
            // the source is deleted after installation), so such a list is refused as invalid.
            // So is a list naming itself: its staged copy, still being read, would be the
            // target.
            const package_format::EntryAcceptance acceptance =
                package_format::acceptEntry(d.fwDir, entry.name);
            if (next != package_format::DigestListReader::Next::Entry ||
                acceptance.verdict == package_format::EntryVerdict::BadName ||
                acceptance.verdict == package_format::EntryVerdict::ListItself) {
                installer::fail(d, Md5FileError, "Invalid md5 file", origin);
            }
            const std::string& digest = entry.digest;
            const std::string& name = entry.name;

            const ImageClass fileClass = package_format::classifyImage(name);
            const std::string source = d.fwDir + "/" + name;
            // Checked again here: the entry may have been replaced since the list was read.
            const bool usable = !package_format::isUndeliverable(acceptance.verdict);
            std::string target;
            switch (fileClass) {
                case ImageClass::InstallerProgram:
                    target = source;
                    if (!usable) {
                        installer::fail(d, Failure, "Unable to compute MD5 sum for file " + name,
                                        origin);
                    }
                    break;
                case ImageClass::NtimFile:
                    target = d.tempDir + "/" + name;
                    if (!usable ||
                        qvsystemtools::copyFile(source, target) != qvsystemtools::TOOL_OK) {
                        installer::fail(d, NtimInstallError, "Unable to install NTIM file", origin);
                    }
                    break;
                case ImageClass::UbootImage:
                case ImageClass::PlainImage:
                    target = d.fwImagesDir + "/" + name;
                    if (!usable || encryption.decryptFile(source, target) != 0) {
                        installer::fail(d, Failure, "Unable to decrypt " + name, origin);
                    }
                    break;
                case ImageClass::OtherFile:
                    target = d.fwImagesDir + "/" + name;
                    if (!usable ||
                        qvsystemtools::copyFile(source, target) != qvsystemtools::TOOL_OK) {
                        installer::fail(d, FileInstallError,
                                        "Unable to install firmware file " + name, origin);
                    }
                    break;
            }

            bool match = false;
            installer::check(d, md5sum(target, digest, match),
                             "Unable to compute MD5 sum for file " + name, origin);
            if (!match) {
                installer::fail(d, Md5Mismatch, "MD5 check failed for " + name, origin);
            }
            if (fileClass == ImageClass::UbootImage && !package_format::hasUbootMagic(target)) {
                // Right digest, wrong content: the package was built from a bad image.
                installer::fail(d, Failure, "Unable to decrypt " + name, origin);
            }
            // A package unpacked straight into a destination directory (NTIM.bin into
            // /mnt/hda1/Kvtemp) has its file installed where it already is.
            if (fileClass != ImageClass::InstallerProgram &&
                !qvsystemtools::sameFile(source, target)) {
                // The verified copy is installed; the package file is no longer needed and
                // the data partition has no room for both. A failure here costs only space.
                (void)::unlink(source.c_str());
            }
        }
    });
}

}  // namespace KIVRA
