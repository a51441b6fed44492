// "/tmp/boot_config" as getBootPartition reads it: only 0 or 1 may come out, and a refused
// file leaves the partition unchanged.

#include "installer/kivra_installer.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::requireSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::writeBytes("/tmp/boot_config", std::string(reinterpret_cast<const char*>(data), size));
    int partition = 7;
    const int code = KivraInstaller::getBootPartition(partition);
    if (code == KivraInstaller::Success ? partition != 0 && partition != 1
                                        : code != KivraInstaller::FileError || partition != 7) {
        std::abort();
    }
    return 0;
}
