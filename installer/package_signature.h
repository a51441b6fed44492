#pragma once
// The package signature step of the install sequence, between "Copy Manifest" and "Read
// Manifest": on a device that holds trust anchors, a package is installed only with a
// statement signed by one of them that agrees with the manifest the later steps read. On a
// device without them the step does not run at all and the run stays as it always was.

#include <optional>
#include <string>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "package_format/file_digest.h"
#include "package_format/signature.h"

namespace KIVRA {
namespace installer {

// The step's progress line and its failure text at the install level; both are written only
// where the step runs (enforced()).
inline constexpr const char* kSignatureStepLine =
    "  - KivraInstaller::install: Check package signature";
inline constexpr const char* kSignatureStepFailure = "Package signature check failed";
// The manifest of the running firmware, whose SECURITY_EPOCH bounds the package's.
inline constexpr const char* kRunningManifest = "/tmp/manifest.txt";

class PackageSignature {
public:
    // Reads the trust anchors of trustDir once, for the whole run.
    explicit PackageSignature(const std::string& trustDir = package_format::kTrustedKeysDir);

    // True when the device holds the trust directory: only then does the step run (its
    // progress line included) and is a signature required.
    [[nodiscard]] bool enforced() const { return anchors_.enforced; }

    // The rulebook's signature rule on the package in d.fwDir, the manifest copy and the
    // running firmware's manifest: each trusted key file that is skipped named in one line,
    // then 0 with the verifying key named in one line, or
    // SignatureError (19) with the cause logged as
    // "[KivraInstaller::checkPackageSignature] <cause> (err 19)" and kept in d.lastError.
    // Not enforced: 0 at once, nothing logged, nothing read.
    [[nodiscard]] int check(KivraInstaller::Impl& d,
                            const std::string& manifestCopy = kPackageManifestCopy,
                            const std::string& runningManifest = kRunningManifest);

    // The verified statement, for the per-file checks of the later steps; nullptr before a
    // successful check and where signatures are not enforced.
    [[nodiscard]] const package_format::Statement* statement() const {
        return statement_ ? &*statement_ : nullptr;
    }

private:
    package_format::TrustAnchors anchors_;
    std::optional<package_format::Statement> statement_;
};

// The install sequence's step: where the device holds trust anchors, its progress line, the
// check, and the verified statement kept in d.statement for the per-file checks. Elsewhere
// nothing at all.
[[nodiscard]] int checkPackageSignature(KivraInstaller::Impl& d);

// The stored bytes of the package file name, as the pass that reads it took them, held to
// d.statement: a file it does not list, or lists with another size or digest, fails the step
// with SignatureError and a line naming the file and the cause. Nothing where d holds no
// statement.
void requireListed(KivraInstaller::Impl& d, const std::string& name,
                   package_format::Sha256Stream& stored, const std::string& origin);

}  // namespace installer
}  // namespace KIVRA
