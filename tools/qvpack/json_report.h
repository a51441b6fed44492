#pragma once
// The machine-readable form of the package check, for build pipelines.

#include <ostream>
#include <string>
#include <vector>

#include "tools/qvpack/package_check.h"

namespace KIVRA {
namespace qvpack {

// Collects the check and writes it as one JSON object once the check is done:
//
//   {
//     "package": "PKGDIR",
//     "manifest": {"KEY": "VALUE", ...},
//     "files": [
//       {"name": "uImage", "class": "uboot-image", "digest": "match", "status": "ok", "detail":
//       "", "size": 5000, "expected_md5": "...", "actual_md5": "..."},
//       ...
//     ],
//     "checks": 9,
//     "failures": 0
//   }
//
// "digest" is "match", "mismatch", "unchecked" or "none"; "status" is "ok", "failed",
// "warning" or "note"; "size", "expected_md5" and "actual_md5" are null where not known. A check
// that could not be completed has, in place of "checks" and "failures",
//   "error": {"kind": "package" or "machine", "message": "..."}. Manifest keys come in byte order.
//   Strings are written as UTF-8; a byte that is not
// part of a valid UTF-8 sequence is written as U+FFFD.
class JsonReport : public CheckReport {
public:
    explicit JsonReport(std::string package) : package_(std::move(package)) {}
    void manifest(const ManifestTable& table) override { manifest_ = table; }
    void item(const CheckItem& item) override { items_.push_back(item); }
    void write(std::ostream& out, const CheckSummary& summary) const;
    // The object of a check that ended early: what was found so far and why it ended.
    void writeError(std::ostream& out, const std::string& kind, const std::string& message) const;

private:
    void writeItems(std::ostream& out) const;
    std::string package_;
    ManifestTable manifest_;
    std::vector<CheckItem> items_;
};

// text as a JSON string literal, quotes included.
[[nodiscard]] std::string jsonString(const std::string& text);

}  // namespace qvpack
}  // namespace KIVRA
