#include <cstdlib>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "installer/package_verdicts.h"
#include "package_format/package_rules.h"
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
        // The name is read quietly for the rule: its own failures are logged by
        // getProductType below, and only after a package without a type has been refused.
        const char* name = std::getenv(kProductVariable);
        const package_format::Verdict verdict =
            package_format::checkProductType(d.manifest, std::string(name != nullptr ? name : ""));
        if (verdict.finding == package_format::Finding::UnknownProduct) {
            // Logs the missing variable and the unknown name, each at its own level.
            std::string deviceType;
            (void)getProductType(deviceType);
        }
        installer::refuseOn(d, verdict, origin);
    });
}

// No downgrade rule is in force. The step keeps its place in the sequence, with its failure
// text, so that a rule can come without moving the steps or their messages.
int KivraInstaller::checkDowngrade() { return Success; }

int KivraInstaller::checkUpgrade() {
    std::string name;
    const int code = getProductName(name);
    if (code != Success) {
        return code;
    }
    // The type check lets a package through to every product of its type; whether the
    // product takes packages at all is the rulebook's, by name.
    const std::optional<installer::Refusal> refusal =
        installer::refusalOf(package_format::checkProductSupported(name));
    return refusal ? refusal->code : Success;
}

}  // namespace KIVRA
