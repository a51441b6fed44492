#pragma once
// Checking a firmware package the way the installer would, without a device.

#include <ostream>
#include <string>

#include "tools/qvpack/manifest_text.h"

namespace KIVRA {
namespace qvpack {

struct CheckSummary {
    int checks = 0;
    int failures = 0;
};

// What the digest list says about one file of the report.
enum class DigestState {
    Match,      // the plain form's MD5 is the listed digest
    Mismatch,   // the plain form's MD5 differs from the listed digest
    Unchecked,  // listed, but no digest could be compared (bad entry, file missing, no decryption)
    None,  // no digest covers the file (the manifest, the list itself, init.sh, unlisted files)
};

enum class ItemOutcome {
    Ok,      // counts as a passed check
    Failed,  // counts as a failed check
    Note,    // no check: a remark on a file the installer does not touch
};

// One line of the check: a file of the package (or the digest list itself).
struct CheckItem {
    std::string name;
    std::string fileClass;  // "manifest", "digest-list", "init-script" or the image class name
    DigestState digest = DigestState::None;
    ItemOutcome outcome = ItemOutcome::Ok;
    std::string detail;  // the remark of an OK, the reason of a failure, the text of a note
};

// Receives the check as it goes; the output format is the receiver's business.
class CheckReport {
public:
    virtual ~CheckReport() = default;
    // The package manifest as the installer reads it; given once, before the first item.
    virtual void manifest(const ManifestTable& table) = 0;
    virtual void item(const CheckItem& item) = 0;
};

// The text report: "NAME: OK", "NAME: OK (remark)", "NAME: FAILED (reason)" or "NAME: note",
// one line per item, written as the check goes.
class TextReport : public CheckReport {
public:
    explicit TextReport(std::ostream& out) : out_(out) {}
    void manifest(const ManifestTable& table) override;
    void item(const CheckItem& item) override;

private:
    std::ostream& out_;
};

// Decrypts the package in pkgDir into plainDir (an existing directory): the manifest, the
// plain digest list as images.md5, every listed file in plain form and the plain init.sh.
// Checks the manifest (KIVRA_VERSION present, empty or not, as the installer takes it, and
// a non-empty PRODUCT_TYPE), every digest-list entry
// (a plain file name, a lower-case digest, the file present, its plain form matching the
// digest, the U-Boot header of the U-Boot group) and the decryption of init.sh, handing one
// item per file to report, and a note for each package file the digest list does not name.
// A digest list that does not decrypt to text (a wrong version) is one failure and ends the
// check. With keepFiles false each decrypted image is removed once it is checked. Throws
// PackError when the package cannot be read at all (no directory, no manifest or no
// KIVRA_VERSION in it, a digest list that cannot be decrypted).
[[nodiscard]] CheckSummary checkPackage(const std::string& pkgDir, const std::string& plainDir,
                                        bool keepFiles, CheckReport& report);

// The class name of a file as the report gives it: the package's own three files by name,
// every other file by the installer's image class ("installer-program", "ntim",
// "uboot-image", "plain-image", "other").
[[nodiscard]] std::string fileClassName(const std::string& name);

}  // namespace qvpack
}  // namespace KIVRA
