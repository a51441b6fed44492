#pragma once
// The fixed table of product types and the product names of each type. The installer maps the
// device's product name to its type with it; the release tool checks the device types of a
// fleet artifact against the package's type with the same table, so both agree on every name.
// Part of the package_format library, which qvpack links without the installer.

#include <map>
#include <set>
#include <string>

namespace KIVRA {
namespace installer {

// Product type -> the product names of that type, ordered; a name belongs to one type only.
using ProductTable = std::map<std::string, std::set<std::string>>;

[[nodiscard]] const ProductTable& productTable();

// The type of the product named name, compared byte for byte; empty for a name the table
// does not hold (the empty name included).
[[nodiscard]] std::string productTypeOf(const std::string& name);

}  // namespace installer
}  // namespace KIVRA
