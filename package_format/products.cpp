#include "package_format/products.h"

namespace KIVRA {
namespace package_format {

const ProductTable& productTable() {
    static const ProductTable table = {
        {"ALDER", {"QT10", "QT10X", "ALDER"}},
        {"ALDER_PRO", {"QT15", "QX15"}},
        {"BIRCH", {"VK30", "VK30E", "VK30P"}},
        {"ROWAN", {"ZN20", "ZN20W", "ZN10", "ZN10W"}},
    };
    return table;
}

std::string productTypeOf(const std::string& name) {
    for (const auto& [type, names] : productTable()) {
        if (names.count(name) != 0) {
            return type;
        }
    }
    return std::string();
}

bool takesPackages(const std::string& name) { return name != "QT10"; }

bool isProductType(const std::string& type) { return productTable().count(type) != 0; }

std::string productTypeList() {
    std::string list;
    for (const auto& entry : productTable()) {
        list += (list.empty() ? "" : " ") + entry.first;
    }
    return list;
}

}  // namespace package_format
}  // namespace KIVRA
