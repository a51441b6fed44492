#pragma once
// The product table: which product names are of which product type. A package names its
// product type; the device knows its product name. The installer and the release tool look
// both up here, so a package the tool accepts names a type some device has.

#include <map>
#include <set>
#include <string>

namespace KIVRA {
namespace package_format {

// Product type -> the product names of that type, compared byte for byte.
using ProductTable = std::map<std::string, std::set<std::string>>;

[[nodiscard]] const ProductTable& productTable();

// The type of the product called name; "" when no product has that name (the empty name too).
[[nodiscard]] std::string productTypeOf(const std::string& name);

// False for a product the installer no longer installs any package on (QT10): it shares its
// type with products that do, so the type alone does not tell.
[[nodiscard]] bool takesPackages(const std::string& name);

// True when type is the type of at least one product.
[[nodiscard]] bool isProductType(const std::string& type);

// The product types, blank-separated in table order, for messages.
[[nodiscard]] std::string productTypeList();

}  // namespace package_format
}  // namespace KIVRA
