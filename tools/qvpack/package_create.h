#pragma once
// Building a firmware package directory from plain files.

#include <string>
#include <vector>

#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/package_sign.h"

namespace KIVRA {
namespace qvpack {

struct CreateRequest {
    std::string outDir;
    std::string version;      // KIVRA_VERSION, also the encryption passphrase
    std::string productType;  // PRODUCT_TYPE
    ManifestEntries extraEntries;
    std::string initScript;  // empty: the package has no pre-install script
    std::vector<std::string> files;
    std::string securityEpoch;  // SECURITY_EPOCH of the manifest; empty: none (epoch 0)
    std::string signKey;        // empty: the package is not signed
};

// What a create wrote, for its summary line, and what it warned about.
struct CreateResult {
    size_t files =
        0;  // package files written, manifest.txt, images.md5 and a signature's two included
    size_t encrypted = 0;  // of them, encrypted (images, init.sh, images.md5)
    std::vector<std::string> warnings;
    SignResult signature;  // for a signed package
};

// Checks the request before anything is written. Throws UsageError for a request no device
// can install as meant: a product type no product has, a version with leading or trailing white
// space, no image among the files, a radio entry (RM identifier + "_VERSION" in the extra entries)
// without its lower-case "_MD5" digest or the reverse. Returns the warnings: an empty version
// (every file is then encrypted with the empty passphrase), a file name that differs from an image
// name only in case or by one letter (it would travel unencrypted, as a file of the other class).
[[nodiscard]] std::vector<std::string> checkRequest(const CreateRequest& request);

// Writes the package into outDir (created, or an existing empty directory): manifest.txt,
// each file under its base name (the two image groups encrypted, everything else copied),
// images.md5 (the encrypted digest list of the plain files, in the order given) and, when
// requested, init.sh (the encrypted script), then with a sign key the statement and its
// signature (signPackage). Everything is checked before the first byte is
// written (checkRequest included); a failure while writing removes what was written. Throws
// UsageError for a refused request, PackError for a bad input file, MachineFault for a
// failed write.
[[nodiscard]] CreateResult createPackage(const CreateRequest& request);

}  // namespace qvpack
}  // namespace KIVRA
