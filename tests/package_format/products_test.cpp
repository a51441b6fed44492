// The product table shared by the installer's product check and qvpack.

#include "package_format/products.h"

#include <gtest/gtest.h>

namespace KIVRA {
namespace {

TEST(Products, NamesMapToTheirTypeAndTypesAreNotNames) {
    const struct {
        const char* name;
        const char* type;  // "" for no product
    } rows[] = {
        {"QT10X", "ALDER"}, {"ALDER", "ALDER"}, {"QX15", "ALDER_PRO"}, {"VK30E", "BIRCH"},
        {"ZN10W", "ROWAN"}, {"qt10", ""},       {"BIRCH", ""},         {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(package_format::productTypeOf(row.name), row.type) << row.name;
    }
    EXPECT_TRUE(package_format::isProductType("ALDER_PRO"));
    EXPECT_FALSE(package_format::isProductType("QT10X"));  // a product name, not a type
    EXPECT_EQ(package_format::productTypeList(), "ALDER ALDER_PRO BIRCH ROWAN");
}

}  // namespace
}  // namespace KIVRA
