#pragma once
// Checking a firmware package the way the installer would, without a device.

#include <ostream>
#include <string>

namespace KIVRA {
namespace qvpack {

struct CheckSummary {
    int checks = 0;
    int failures = 0;
};

// Decrypts the package in pkgDir into plainDir (an existing directory): the manifest, the
// plain digest list as images.md5, every listed file in plain form and the plain init.sh.
// Checks the manifest (KIVRA_VERSION present, empty or not, as the installer takes it, and
// a non-empty PRODUCT_TYPE), every digest-list entry
// (a plain file name, a lower-case digest, the file present, its plain form matching the
// digest, the U-Boot header of the U-Boot group) and the decryption of init.sh, writing one
// line per item to report: "NAME: OK", "NAME: FAILED (reason)", or a note for a package file
// the digest list does not name. A digest list that does not decrypt to text (a wrong
// version) is one failure and ends the check. With keepFiles false each decrypted image is removed
// once it is checked. Throws PackError when the package cannot be read at all (no directory, no
// manifest or no KIVRA_VERSION in it, a digest list that cannot be decrypted).
[[nodiscard]] CheckSummary checkPackage(const std::string& pkgDir, const std::string& plainDir,
                                        bool keepFiles, std::ostream& report);

}  // namespace qvpack
}  // namespace KIVRA
