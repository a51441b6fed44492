#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

namespace {

const char* const kDigestList = "images.md5";

// How a file named in the digest list reaches the device. The names are fixed by the
// package layout; anything unknown travels as a plain file into the staging directory.
enum class FileClass {
    InstallerProgram,  // verified where it lies, never moved
    Ntim,              // copied into the work directory
    UbootImage,        // decrypted, must carry the U-Boot legacy header
    PlainImage,        // decrypted
    Other,             // copied
};

FileClass classify(const std::string& name) {
    static const char* const kUbootImages[] = {"rootfs.sqfs.uboot", "uImage", "uImage.recovery",
                                               "initramfs.recovery"};
    static const char* const kPlainImages[] = {"zImage", "rootfs.sqfs", "zImage.recovery",
                                               "dtb.recovery"};
    if (name == "kivrainstaller") {
        return FileClass::InstallerProgram;
    }
    if (name == "NTIM.bin") {
        return FileClass::Ntim;
    }
    for (const char* image : kUbootImages) {
        if (name == image) {
            return FileClass::UbootImage;
        }
    }
    for (const char* image : kPlainImages) {
        if (name == image) {
            return FileClass::PlainImage;
        }
    }
    return FileClass::Other;
}

// The list comes out of the package; a name that is not a plain file name would build a
// source or target path outside the firmware and staging directories (and the source is
// deleted after installation), so such a list is refused as invalid.
bool isPlainFileName(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The U-Boot legacy image magic 0x27051956, stored big-endian at the start of the image.
bool hasUbootMagic(const std::string& path) {
    static const unsigned char kMagic[4] = {0x27, 0x05, 0x19, 0x56};
    qvsystemtools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    unsigned char head[4] = {};
    size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = ::read(fd.get(), head + got, sizeof head - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    for (size_t i = 0; i < sizeof head; ++i) {
        if (head[i] != kMagic[i]) {
            return false;
        }
    }
    return true;
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

        const std::string listPath = d.fwImagesDir + "/" + kDigestList;
        if (encryption.decryptFile(d.fwDir + "/" + kDigestList, listPath) != 0) {
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
            if (name.empty() || !isPlainFileName(name)) {
                fail(Md5FileError, "Invalid md5 file");
            }

            const FileClass fileClass = classify(name);
            const std::string source = d.fwDir + "/" + name;
            std::string target;
            switch (fileClass) {
                case FileClass::InstallerProgram:
                    target = source;
                    break;
                case FileClass::Ntim:
                    target = d.tempDir + "/" + name;
                    if (qvsystemtools::copyFile(source, target) != qvsystemtools::TOOL_OK) {
                        fail(NtimInstallError, "Unable to install NTIM file");
                    }
                    break;
                case FileClass::UbootImage:
                case FileClass::PlainImage:
                    target = d.fwImagesDir + "/" + name;
                    if (encryption.decryptFile(source, target) != 0) {
                        fail(Failure, "Unable to decrypt " + name);
                    }
                    break;
                case FileClass::Other:
                    target = d.fwImagesDir + "/" + name;
                    if (qvsystemtools::copyFile(source, target) != qvsystemtools::TOOL_OK) {
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
            if (fileClass == FileClass::UbootImage && !hasUbootMagic(target)) {
                // Right digest, wrong content: the package was built from a bad image.
                fail(Failure, "Unable to decrypt " + name);
            }
            if (fileClass != FileClass::InstallerProgram) {
                // The verified copy is installed; the package file is no longer needed and
                // the data partition has no room for both. A failure here costs only space.
                (void)::unlink(source.c_str());
            }
        }
    });
}

}  // namespace KIVRA
