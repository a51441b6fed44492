#include "installer/package_signature.h"

#include "installer/package_verdicts.h"
#include "package_format/package_rules.h"
#include "qvcommontools/install_log.h"

namespace KIVRA {
namespace installer {

PackageSignature::PackageSignature(const std::string& trustDir)
    : anchors_(package_format::loadTrustAnchors(trustDir)) {}

int PackageSignature::check(KivraInstaller::Impl& d, const std::string& manifestCopy,
                            const std::string& runningManifest) {
    if (!anchors_.enforced) {
        return KivraInstaller::Success;
    }
    const std::string where = origin("checkPackageSignature");
    package_format::PackageFacts facts;
    facts.dir = d.fwDir;
    facts.manifestCopy = manifestCopy;
    facts.runningManifest = runningManifest;
    return runStep([&] {
        for (const package_format::Verdict& verdict :
             package_format::checkSignature(anchors_, facts)) {
            if (verdict.outcome == package_format::Outcome::Warn) {
                qvcommontools::logInstall(verdict.found);
            } else if (verdict.statement) {
                qvcommontools::logInstall(verdict.wanted);
                statement_ = verdict.statement;
            }
            refuseOn(d, verdict, where);
        }
    });
}

int checkPackageSignature(KivraInstaller::Impl& d) {
    PackageSignature signature;
    if (!signature.enforced()) {
        return KivraInstaller::Success;
    }
    qvcommontools::logInstall(kSignatureStepLine);
    const int code = signature.check(d);
    if (code == KivraInstaller::Success && signature.statement() != nullptr) {
        d.statement = *signature.statement();
    }
    return code;
}

void requireListed(KivraInstaller::Impl& d, const std::string& name,
                   package_format::Sha256Stream& stored, const std::string& origin) {
    const uint64_t size = stored.size();
    refuseOn(d, package_format::checkSignedFile(d.statement, name, stored.finish(), size), origin);
}

}  // namespace installer
}  // namespace KIVRA
