// The radio store's manifest and the version and digest comparison of checkRmUpdateNeeded.
// The input is the manifest inside the stored image, then the package manifest. The shell's
// mount and umount are stood in for below, so the run stays in this process.

#include <sys/stat.h>

#include <cstring>

#include "installer/kivra_installer.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/qvpack/manifest_text.h"

using namespace KIVRA;

namespace {
const std::string kMountPoint = "/tmp/kivrainstaller_mnt";
bool mounted = false;
std::string storedManifest;
}  // namespace

// Stand-in for the commands the check runs: mounting the store image shows the input's
// manifest at the mount point, unmounting takes it away.
extern "C" int system(const char* command) {
    if (std::strncmp(command, "mount -r -t iso9660 ", 20) == 0 && !mounted) {
        if (::mkdir((kMountPoint + "/etc").c_str(), 0755) != 0) std::abort();
        fuzz::writeBytes(kMountPoint + "/etc/manifest.txt", storedManifest);
        mounted = true;
        return 0;
    }
    if (std::strncmp(command, "umount -d ", 10) == 0 && mounted) {
        (void)qvsystemtools::removeDir(kMountPoint + "/etc");
        mounted = false;
        return 0;
    }
    return 1 << 8;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::requireSandbox();
    (void)::setenv("KIVRA_RADIO0", "R1", 1);
    if (::system("true") != 1 << 8) std::exit(1);  // the stand-in is the one linked
    fuzz::makeDirs("/mnt/hda1/system/rmstore/C1");
    fuzz::writeBytes("/mnt/hda1/system/rmstore/C1/R1_1.iso", "stored image");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    storedManifest = input.ConsumeRandomLengthString(size);
    const std::string package = input.ConsumeRemainingBytesAsString();
    fuzz::writeBytes("/tmp/fw_manifest.txt", package);
    KivraInstaller installer;
    installer.setFwCarrier("C1");
    bool needed = true;
    if (installer.readPackageManifest() != 0 || installer.checkRmUpdateNeeded(needed) != 0 ||
        mounted) {
        std::abort();  // the check never fails the run and always unmounts
    }
    // An update is needed only for a package that names a version; one that names another
    // version than a store image's non-empty one always needs it.
    const auto stored = qvpack::parseManifest(storedManifest);
    const auto wanted = qvpack::parseManifest(package);
    const auto storedVersion = stored.find("R1_C1_VERSION");
    const auto wantedVersion = wanted.find("R1_C1_VERSION");
    if (needed && wantedVersion == wanted.end()) std::abort();
    if (!needed && wantedVersion != wanted.end() && storedVersion != stored.end() &&
        !storedVersion->second.empty() && storedVersion->second != wantedVersion->second) {
        std::abort();
    }
    return 0;
}
