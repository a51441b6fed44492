#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "package_format/manifest_keys.h"
#include "package_format/products.h"

namespace KIVRA {

namespace {

const char* const kProductVariable = "KIVRA_PRODUCT";

}  // namespace

int KivraInstaller::getProductName(std::string& name) {
    const std::string origin = installer::origin("getProductName");
    Impl& d = *impl_;
    // Only Err is caught, not everything as runStep does: the one other failure here is out of
    // memory while copying the name, which the calling step's own boundary turns into Failure.
    try {
        name = installer::requiredEnv(d, kProductVariable, origin);
        return Success;
    } catch (const qvcommontools::InstallerErr& err) {
        err.log();
        return err.getCode();
    }
}

int KivraInstaller::getProductType(std::string& type) {
    const std::string origin = installer::origin("getProductType");
    Impl& d = *impl_;
    return installer::runStep([&] {
        std::string name;
        // A missing variable has been logged by getProductName and leaves the name empty,
        // which no product carries: the unknown-name failure below follows.
        (void)getProductName(name);
        const std::string found = package_format::productTypeOf(name);
        type = found;
        if (found.empty()) {
            installer::fail(d, UnknownProduct, "Unknown Product Name " + name, origin);
        }
    });
}

int KivraInstaller::checkProductType() {
    const std::string origin = installer::origin("checkProductType");
    Impl& d = *impl_;
    return installer::runStep([&] {
        const auto entry = d.manifest.find(package_format::kProductTypeKey);
        if (entry == d.manifest.end() || entry->second.empty()) {
            installer::fail(d, ManifestError, "PRODUCT_TYPE not found in manifest", origin);
        }
        const std::string packageType = entry->second;
        std::string deviceType;
        installer::check(d, getProductType(deviceType),
                         "Unable to get platform name (product type)", origin);
        if (packageType != deviceType) {
            installer::fail(d, ProductMismatch,
                            "Manifest product type " + packageType +
                                " mismatches device product type " + deviceType,
                            origin);
        }
    });
}

// No downgrade rule is in force. The step keeps its place in the sequence, with its failure
// text, so that a rule can come without moving the steps or their messages.
int KivraInstaller::checkDowngrade() { return Success; }

int KivraInstaller::checkUpgrade() {
    std::string name;
    const int code = getProductName(name);
    // QT10 shares the ALDER type with QT10X and ALDER, so the product-type check lets every
    // ALDER package through to it: this is the one place that tells it apart, by name.
    if (code == Success && name == "QT10") {
        return ProductNotSupported;
    }
    return code;
}

}  // namespace KIVRA
