#include "installer/product_table.h"

namespace KIVRA {
namespace installer {

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
    for (const auto& [productType, names] : productTable()) {
        if (names.count(name) != 0) {
            return productType;
        }
    }
    return std::string();
}

}  // namespace installer
}  // namespace KIVRA
