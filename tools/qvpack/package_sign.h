#pragma once
// Signing a package: the statement (package.sha256) of the package as it stands, and its
// signature (package.sha256.sig) by openssl, so any key `openssl dgst -sign` takes works, a
// key file or a token.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KIVRA {
namespace qvpack {

struct SignResult {
    size_t files = 0;  // lines of the statement
    uint32_t securityEpoch = 0;
};

// Writes pkgDir/package.sha256 for the package as it stands: the manifest's PRODUCT_TYPE,
// KIVRA_VERSION and SECURITY_EPOCH (0 when absent), then the SHA-256 and size of
// manifest.txt, images.md5, init.sh when present and every file the digest list names. Any
// signature beside it is removed first, since it would not fit the new statement. With a
// key, signs the statement into pkgDir/package.sha256.sig (which appears only when openssl
// succeeded). Throws PackError for a package that cannot be described (a missing or
// misnamed file, a digest list naming a file twice, no PRODUCT_TYPE or KIVRA_VERSION, a bad
// SECURITY_EPOCH) or a failing openssl, MachineFault for a failed write.
[[nodiscard]] SignResult signPackage(const std::string& pkgDir, const std::string& key);

// The one summary line of a signing, for sign and create --sign.
[[nodiscard]] std::string signedLine(const std::string& pkgDir, bool withKey,
                                     const SignResult& result);

// The usage lines of "qvpack sign", for the tool's help.
[[nodiscard]] std::string signUsage();

}  // namespace qvpack
}  // namespace KIVRA
