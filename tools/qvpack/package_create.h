#pragma once
// Building a firmware package directory from plain files.

#include <string>
#include <vector>

#include "tools/qvpack/manifest_text.h"

namespace KIVRA {
namespace qvpack {

struct CreateRequest {
    std::string outDir;
    std::string version;      // KIVRA_VERSION, also the encryption passphrase
    std::string productType;  // PRODUCT_TYPE
    ManifestEntries extraEntries;
    std::string initScript;  // empty: the package has no pre-install script
    std::vector<std::string> files;
};

// Writes the package into outDir (created, or an existing empty directory): manifest.txt,
// each file under its base name (the two image groups encrypted, everything else copied),
// images.md5 (the encrypted digest list of the plain files, in the order given) and, when
// requested, init.sh (the encrypted script). Everything is checked before the first byte is
// written; a failure while writing removes what was written. Throws PackError.
void createPackage(const CreateRequest& request);

}  // namespace qvpack
}  // namespace KIVRA
