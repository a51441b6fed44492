// The package manifest as the installer reads it from its working copy, the product checks
// on the result, and the release tool's reading of the same bytes: both must agree.

#include "installer/kivra_installer.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/qvpack/manifest_text.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::requireSandbox();
    (void)::setenv("KIVRA_PRODUCT", "VK30", 1);  // a BIRCH device
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::writeBytes("/tmp/fw_manifest.txt", text);
    KivraInstaller installer;
    if (installer.readPackageManifest() != KivraInstaller::Success) std::abort();
    const int checked = installer.checkProductType();

    KivraInstaller::Manifest table;
    if (KivraInstaller::readManifest("/tmp/fw_manifest.txt", table) != 0) std::abort();
    if (table != qvpack::parseManifest(text)) std::abort();  // installer and qvpack disagree
    const auto type = table.find("PRODUCT_TYPE");
    if ((checked == KivraInstaller::Success) != (type != table.end() && type->second == "BIRCH")) {
        std::abort();
    }
    return 0;
}
