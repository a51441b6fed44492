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

}  // namespace package_format
}  // namespace KIVRA
