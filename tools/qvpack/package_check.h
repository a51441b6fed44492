#pragma once
// Checking a firmware package the way the installer would, without a device.

#include <cstdint>
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
    Unchecked,  // listed, but no digest could be compared (bad entry, file missing)
    None,  // no digest covers the file (the manifest, the list itself, init.sh, unlisted files)
};

enum class ItemOutcome {
    Ok,       // counts as a passed check
    Failed,   // counts as a failed check
    Warning,  // counts as a passed check: the installer goes on, and the detail says how
    Note,     // no check: a remark on a file the installer does not touch
};

// One line of the check: a file of the package, the digest list itself or a radio entry of
// the manifest.
struct CheckItem {
    std::string name;
    std::string fileClass;  // "manifest", "digest-list", "init-script", "radio-entry" or the
                            // image class name
    DigestState digest = DigestState::None;
    ItemOutcome outcome = ItemOutcome::Ok;
    std::string detail;    // the remark of an OK, the reason of a failure, the text of a note
    bool sized = false;    // size holds the plain size (the file was read to its end)
    uint64_t size = 0;     // bytes of the plain form
    std::string expected;  // the listed digest, "" when none is listed
    std::string actual;    // the digest of the plain form, "" when it was not computed
};

// Receives the check as it goes; the output format is the receiver's business.
class CheckReport {
public:
    virtual ~CheckReport() = default;
    // The package manifest as the installer reads it; given once, before the first item.
    virtual void manifest(const ManifestTable& table) = 0;
    virtual void item(const CheckItem& item) = 0;
};

// The text report: "NAME: OK", "NAME: OK (remark)", "NAME: FAILED (reason)",
// "NAME: WARNING (what the installer will do)" or "NAME: note",
// one line per item, written as the check goes; a file read to its end adds its size and
// digests ("12 bytes, md5 X" or "expected md5 X, actual Y").
class TextReport : public CheckReport {
public:
    explicit TextReport(std::ostream& out) : out_(out) {}
    void manifest(const ManifestTable& table) override;
    void item(const CheckItem& item) override;

private:
    std::ostream& out_;
};

struct CheckOptions {
    // Where the plain forms go (an existing directory); "" writes nothing anywhere.
    std::string plainDir;
    // The product the package is meant for; "" accepts the type of any product.
    std::string product;
    // The trust anchors to check the signature against, as a router holding them does; ""
    // checks none.
    std::string trustDir;
    // The running firmware's manifest the router would hold the package's SECURITY_EPOCH
    // against ("/tmp/manifest.txt" on a router); "" as a router without one: epoch 0.
    std::string runningManifest;
};

// Checks the package in pkgDir by the rulebook (package_format/package_rules.h), rule by rule
// in its order, which is the installer's: the manifest (a regular file; PRODUCT_TYPE the type
// of options.product, or of some product; KIVRA_VERSION present), init.sh (refused when it
// does not match INIT_SH_DIGEST; a warning where the installer runs it or skips it and goes
// on), the radio entries (warnings: the installer's radio check never stops a run), the
// product itself (QT10 takes no package), the digest list and every entry. Each verdict is
// handed to report as an item, with a note for each package file the list does not name. Each
// encrypted file is decrypted and hashed in one pass, never written in plain form unless
// options.plainDir says where. A digest list that does not decrypt to text (a wrong version)
// is one failure and ends the check.
// Throws PackError when the package cannot be checked at all (no directory, no manifest or no
// KIVRA_VERSION in it, no digest list or one that is not a regular file), MachineFault when
// the machine fails (a read error, a plain form that cannot be written).
[[nodiscard]] CheckSummary checkPackage(const std::string& pkgDir, const CheckOptions& options,
                                        CheckReport& report);

// The class name of a file as the report gives it: the package's own three files by name,
// every other file by the installer's image class ("installer-program", "ntim",
// "uboot-image", "plain-image", "other").
[[nodiscard]] std::string fileClassName(const std::string& name);

}  // namespace qvpack
}  // namespace KIVRA
