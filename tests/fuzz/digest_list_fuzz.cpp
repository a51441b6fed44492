// The digest list as the installer reads it: the input is the plain list, encrypted into a
// package whose files match the seed lists, then installed into the staging directory.

#include "installer/kivra_installer.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

namespace {
const std::string kPkg = "/tmp/pkg";
// Package files of the seeds; installed ones are deleted, so each run lays them anew.
const std::pair<const char*, const char*> kFiles[] = {
    {"NTIM.bin", "ntim"}, {"notes.txt", "notes"}, {"kivrainstaller", "program"}};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::requireSandbox();
    fuzz::makeDirs(kPkg);
    fuzz::makeDirs("/mnt/hda1/Kvtemp");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const auto& [name, content] : kFiles) fuzz::writeBytes(kPkg + "/" + name, content);
    // The version stays empty until install() reads a manifest: the empty passphrase.
    fuzz::writeEncrypted(kPkg + "/images.md5",
                         std::string(reinterpret_cast<const char*>(data), size), "");
    (void)::unlink("/tmp/kivrainstaller.lck");  // each run takes the lock anew
    KivraInstaller installer;
    if (installer.setFwDir(kPkg) != KivraInstaller::Success) std::abort();
    const int code = installer.installFirmware();
    // Whatever the list says, the result is one of the documented codes and the installer
    // program of the package stays where it is.
    switch (code) {
        case KivraInstaller::Success:
        case KivraInstaller::Failure:
        case KivraInstaller::Md5Mismatch:
        case KivraInstaller::Md5FileError:
        case KivraInstaller::NtimInstallError:
        case KivraInstaller::FileInstallError:
            break;
        default:
            std::abort();
    }
    if (fuzz::readBytes(kPkg + "/kivrainstaller") != "program") std::abort();
    return 0;
}
