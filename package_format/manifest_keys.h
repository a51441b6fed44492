#pragma once
// The manifest keys a package carries, named once for the installer and the release tool.

namespace KIVRA {
namespace package_format {

// The product type the package is built for; the installer compares it with the device's.
inline constexpr const char* kProductTypeKey = "PRODUCT_TYPE";
// The package version, which is also the passphrase of every encrypted package file.
inline constexpr const char* kVersionKey = "KIVRA_VERSION";
// A radio-module image is described by RM identifier + kRadioVersionSuffix and + kRadioDigestSuffix
// (the RM identifier being radio module name + "_" + carrier).
inline constexpr const char* kRadioVersionSuffix = "_VERSION";
inline constexpr const char* kRadioDigestSuffix = "_MD5";
// The MD5 digest of the plain pre-install script, written by the release tool: no digest list
// entry may cover init.sh (the installer would install it as a file), and without a digest a
// damaged script would pass for text. The installer itself does not read it.
inline constexpr const char* kInitScriptDigestKey = "INIT_SH_DIGEST";

// The security epoch of a signed package, which its statement repeats: a device refuses a
// package whose epoch is below the running firmware's, so an older signed package with known
// holes cannot be installed again once a release raised it. Absent means 0.
inline constexpr const char* kSecurityEpochKey = "SECURITY_EPOCH";

}  // namespace package_format
}  // namespace KIVRA
