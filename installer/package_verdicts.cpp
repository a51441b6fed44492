#include "installer/package_verdicts.h"

#include "installer/kivra_installer_impl.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"

namespace KIVRA {
namespace installer {

using package_format::Finding;

Refusal entryRefusal(const std::string& name) {
    switch (package_format::classifyImage(name)) {
        case package_format::ImageClass::InstallerProgram:
            return {KivraInstaller::Failure, "Unable to compute MD5 sum for file " + name};
        case package_format::ImageClass::NtimFile:
            return {KivraInstaller::NtimInstallError, "Unable to install NTIM file"};
        case package_format::ImageClass::UbootImage:
        case package_format::ImageClass::PlainImage:
            break;
        case package_format::ImageClass::OtherFile:
            return {KivraInstaller::FileInstallError, "Unable to install firmware file " + name};
    }
    return {KivraInstaller::Failure, "Unable to decrypt " + name};
}

std::optional<Refusal> refusalOf(const package_format::Verdict& verdict) {
    if (verdict.outcome != package_format::Outcome::Refuse) {
        return std::nullopt;
    }
    switch (verdict.finding) {
        case Finding::None:
        case Finding::NoScript:
        case Finding::ScriptNotRegular:
        case Finding::ScriptUndecryptable:
        case Finding::ScriptNotText:
        case Finding::ScriptUncovered:
        case Finding::RadioVersionMissing:
        case Finding::RadioDigestMissing:
        case Finding::RadioDigestMalformed:
        case Finding::TrustedKeySkipped:
            return std::nullopt;
        case Finding::SignatureRefused:
            return Refusal{KivraInstaller::SignatureError, verdict.found};
        case Finding::ManifestMissing:
        case Finding::ManifestNotRegular:
            return Refusal{KivraInstaller::ManifestCopyError, "Manifest copy to tmp failed"};
        case Finding::ProductTypeMissing:
            return Refusal{KivraInstaller::ManifestError, "PRODUCT_TYPE not found in manifest"};
        case Finding::UnknownProduct:
            return Refusal{KivraInstaller::UnknownProduct,
                           "Unable to get platform name (product type)"};
        case Finding::TypeOfNoProduct:
        case Finding::ProductTypeMismatch:
            return Refusal{KivraInstaller::ProductMismatch,
                           "Manifest product type " + verdict.found +
                               " mismatches device product type " + verdict.wanted};
        case Finding::VersionMissing:
            return Refusal{KivraInstaller::ManifestError, "Manifest check failed"};
        case Finding::ScriptDigestMalformed:
            return Refusal{
                KivraInstaller::ManifestError,
                std::string(package_format::kInitScriptDigestKey) + " is not an MD5 digest"};
        case Finding::ScriptDigestMismatch:
        case Finding::EntryDigestMalformed:
        case Finding::EntryDigestMismatch:
            return Refusal{KivraInstaller::Md5Mismatch, "MD5 check failed for " + verdict.subject};
        case Finding::ProductNotSupported:
            return Refusal{KivraInstaller::ProductNotSupported, ""};
        case Finding::ListMissing:
        case Finding::ListNotRegular:
            return Refusal{KivraInstaller::Failure, "Unable to decrypt images.md5"};
        case Finding::ListNotText:
        case Finding::ListMissingName:
        case Finding::ListReadError:
        case Finding::EntryBadName:
        case Finding::EntryListItself:
        case Finding::EntryPackageFile:
            return Refusal{KivraInstaller::Md5FileError, "Invalid md5 file"};
        case Finding::EntryMissing:
        case Finding::EntryNotRegular:
        case Finding::EntryUnreadable:
        case Finding::EntryListedTwice:
            return entryRefusal(verdict.subject);
        case Finding::EntryNoUbootHeader:
            return Refusal{KivraInstaller::Failure, "Unable to decrypt " + verdict.subject};
    }
    return Refusal{};
}

void refuseOn(KivraInstaller::Impl& d, const package_format::Verdict& verdict,
              const std::string& origin) {
    const std::optional<Refusal> refusal = refusalOf(verdict);
    if (refusal) {
        fail(d, refusal->code, refusal->message, origin);
    }
}

}  // namespace installer
}  // namespace KIVRA
