#include <cstdlib>

#include "installer/kivra_installer.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

// Runs the product-type check of a package manifest on a device named by KIVRA_PRODUCT
// (nullptr: variable unset) and returns the code and the lines it logged.
struct Outcome {
    int code;
    std::string console;
};

class ProductCheckTest : public testing::InstallerTest {
protected:
    void TearDown() override { ::unsetenv("KIVRA_PRODUCT"); }

    Outcome check(const char* product, const std::string& manifest) {
        if (product == nullptr) {
            ::unsetenv("KIVRA_PRODUCT");
        } else {
            ::setenv("KIVRA_PRODUCT", product, 1);
        }
        testing::writeBytes("/tmp/fw_manifest.txt", manifest);
        KivraInstaller installer;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(installer.readPackageManifest(), 0);
        const int code = installer.checkProductType();
        return {code, ::testing::internal::GetCapturedStdout()};
    }
};

struct Row {
    const char* product;
    const char* manifestType;
    int code;
};

TEST_F(ProductCheckTest, ProductTableDecidesEveryName) {
    const Row rows[] = {
        {"QT10", "ALDER", 0},     {"QT10X", "ALDER", 0},    {"ALDER", "ALDER", 0},
        {"QT15", "ALDER_PRO", 0}, {"QX15", "ALDER_PRO", 0}, {"VK30", "BIRCH", 0},
        {"VK30E", "BIRCH", 0},    {"VK30P", "BIRCH", 0},    {"ZN20", "ROWAN", 0},
        {"ZN20W", "ROWAN", 0},    {"ZN10", "ROWAN", 0},     {"ZN10W", "ROWAN", 0},
        {"ZN10W", "ALDER", 2},    {"QT15", "ALDER", 2},     {"qt10", "ALDER", 17},
        {"", "ALDER", 17},
    };
    for (const Row& row : rows) {
        const Outcome outcome =
            check(row.product, std::string("PRODUCT_TYPE=") + row.manifestType + "\n");
        EXPECT_EQ(outcome.code, row.code) << row.product << " / " << row.manifestType;
    }
}

TEST_F(ProductCheckTest, MismatchNamesBothTypes) {
    const Outcome outcome = check("ZN10W", "PRODUCT_TYPE=ALDER\n");
    EXPECT_EQ(outcome.console,
              "[KivraInstaller::checkProductType] Manifest product type ALDER mismatches device "
              "product type ROWAN (err 2)\n");
}

TEST_F(ProductCheckTest, TrailingCarriageReturnIsAMismatch) {
    EXPECT_EQ(check("VK30", "PRODUCT_TYPE=BIRCH\r\n").code, KivraInstaller::ProductMismatch);
}

TEST_F(ProductCheckTest, EmptyOrMissingTypeIsManifestError) {
    const std::string line =
        "[KivraInstaller::checkProductType] PRODUCT_TYPE not found in manifest (err 8)\n";
    Outcome outcome = check("VK30", "PRODUCT_TYPE=\n");
    EXPECT_EQ(outcome.code, KivraInstaller::ManifestError);
    EXPECT_EQ(outcome.console, line);
    outcome = check("VK30", "OTHER=1\n");
    EXPECT_EQ(outcome.code, KivraInstaller::ManifestError);
    EXPECT_EQ(outcome.console, line);
}

TEST_F(ProductCheckTest, MissingProductVariableLogsThreeLinesInOrder) {
    const Outcome outcome = check(nullptr, "PRODUCT_TYPE=BIRCH\n");
    EXPECT_EQ(outcome.code, KivraInstaller::UnknownProduct);
    EXPECT_EQ(outcome.console,
              "[KivraInstaller::getProductName] Environment var KIVRA_PRODUCT is missing (err 9)\n"
              "[KivraInstaller::getProductType] Unknown Product Name  (err 17)\n"
              "[KivraInstaller::checkProductType] Unable to get platform name (product type) "
              "(err 17)\n");
}

TEST_F(ProductCheckTest, UpgradeCheckRefusesOnlyQT10) {
    KivraInstaller installer;
    ::setenv("KIVRA_PRODUCT", "QT10", 1);
    EXPECT_EQ(installer.checkUpgrade(), KivraInstaller::ProductNotSupported);
    ::setenv("KIVRA_PRODUCT", "QT10X", 1);
    EXPECT_EQ(installer.checkUpgrade(), 0);
    ::unsetenv("KIVRA_PRODUCT");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(installer.checkUpgrade(), KivraInstaller::EnvironmentError);
    EXPECT_EQ(
        ::testing::internal::GetCapturedStdout(),
        "[KivraInstaller::getProductName] Environment var KIVRA_PRODUCT is missing (err 9)\n");
    EXPECT_EQ(installer.checkDowngrade(), 0);
}

}  // namespace
}  // namespace KIVRA
