#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "crypto/qv_encryption.h"
#include "installer/image_classes.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {

namespace {

using installer::ImageClass;

// The list comes out of the package; a name that is not a plain file name would build a
// source or target path outside the firmware and staging directories (and the source is
// deleted after installation), so such a list is refused as invalid. A NUL byte would cut
// the path short of the name that was classified.
bool isListFileName(const std::string& name) {
    return installer::isPlainFileName(name) && name.find('\0') == std::string::npos;
}

// A package unpacked straight into a destination directory (NTIM.bin into
// /mnt/hda1/Kvtemp) has its file installed where it already is.
bool isSameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int KivraInstaller::installFirmware() {
    const std::string origin = installer::origin("installFirmware");
    Impl& d = *impl_;
    auto fail = [&](Error code, const std::string& message) {
        d.lastError = message;
        installer::raise(code, d.lastError, origin);
    };
    return installer::runStep([&] {
        QvEncryption encryption;
        // A key that cannot be derived shows as a digest list or images that fail to verify.
        (void)encryption.setKey(d.version);

        const std::string listPath = d.fwImagesDir + "/" + installer::kDigestListName;
        const std::string listSource = d.fwDir + "/" + installer::kDigestListName;
        if (installer::isSpecialEntry(listSource) ||
            encryption.decryptFile(listSource, listPath) != 0) {
            fail(Failure, "Unable to decrypt images.md5");
        }
        std::ifstream list(listPath, std::ios::in | std::ios::binary);
        if (!list.is_open()) {
            fail(Md5FileError, "Unable to open md5 file");
        }

        while (!list.eof()) {
            std::string digest;
            std::string name;
            list >> digest >> name;
            if (list.bad() || (list.fail() && !list.eof())) {
                // A list that cannot be read to its end must not pass for a shorter one.
                fail(Md5FileError, "Invalid md5 file");
            }
            if (digest.empty()) {
                continue;
            }
            if (name.empty() || !isListFileName(name)) {
                fail(Md5FileError, "Invalid md5 file");
            }

            const ImageClass fileClass = installer::classifyImage(name);
            const std::string source = d.fwDir + "/" + name;
            const bool usable = !installer::isSpecialEntry(source);
            std::string target;
            switch (fileClass) {
                case ImageClass::InstallerProgram:
                    target = source;
                    if (!usable) {
                        fail(Failure, "Unable to compute MD5 sum for file " + name);
                    }
                    break;
                case ImageClass::NtimFile:
                    target = d.tempDir + "/" + name;
                    if (!usable ||
                        qvsystemtools::copyFile(source, target) != qvsystemtools::TOOL_OK) {
                        fail(NtimInstallError, "Unable to install NTIM file");
                    }
                    break;
                case ImageClass::UbootImage:
                case ImageClass::PlainImage:
                    target = d.fwImagesDir + "/" + name;
                    if (!usable || encryption.decryptFile(source, target) != 0) {
                        fail(Failure, "Unable to decrypt " + name);
                    }
                    break;
                case ImageClass::OtherFile:
                    target = d.fwImagesDir + "/" + name;
                    if (!usable ||
                        qvsystemtools::copyFile(source, target) != qvsystemtools::TOOL_OK) {
                        fail(FileInstallError, "Unable to install firmware file " + name);
                    }
                    break;
            }

            bool match = false;
            d.lastCode = md5sum(target, digest, match);
            d.lastError = "Unable to compute MD5 sum for file " + name;
            qvcommontools::InstallerErr::throwIf(static_cast<Error>(d.lastCode), d.lastError,
                                                 origin);
            if (!match) {
                fail(Md5Mismatch, "MD5 check failed for " + name);
            }
            if (fileClass == ImageClass::UbootImage && !installer::hasUbootMagic(target)) {
                // Right digest, wrong content: the package was built from a bad image.
                fail(Failure, "Unable to decrypt " + name);
            }
            if (fileClass != ImageClass::InstallerProgram && !isSameFile(source, target)) {
                // The verified copy is installed; the package file is no longer needed and
                // the data partition has no room for both. A failure here costs only space.
                (void)::unlink(source.c_str());
            }
        }
    });
}

}  // namespace KIVRA
