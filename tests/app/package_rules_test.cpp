// The guard against drift between the two readers of the package rulebook: every rule, on one
// table of packages, through the installer program and through qvpack verify --product P, for
// every product of the product table. Both must pass or refuse each package alike.

#include <unistd.h>

#include <algorithm>
#include <functional>

#include "package_format/products.h"
#include "tests/app/install_run_fixture.h"

namespace KIVRA {
namespace {

using testing::kPkg;

const std::string kPristine = "/tmp/pristine";

struct PackageRow {
    const char* rule;  // the rule the row exercises
    const char* what;
    const char* type;                  // PRODUCT_TYPE the package is built with
    std::vector<std::string> takenBy;  // the products that install it
    std::function<void()> damage;
};

using PackageRulesTest = testing::InstallRunFixture;

TEST_F(PackageRulesTest, InstallerAndVerifyAgreeOnEveryPackageForEveryProduct) {
    images = {{"uImage", testing::ubootImage(600, 41)},
              {"dtb.recovery", testing::randomBytes(300, 42)},
              {"NTIM.bin", testing::randomBytes(64, 43)}};
    const std::vector<std::string> birch = {"VK30", "VK30E", "VK30P"};
    const std::vector<PackageRow> rows = {
        {"all", "a good package", "BIRCH", birch, [] {}},
        {"product-supported",
         "a package for ALDER, which QT10 does not take",
         "ALDER",
         {"ALDER", "QT10X"},
         [] {}},
        {"manifest-readable",
         "no manifest",
         "BIRCH",
         {},
         [] { ASSERT_EQ(::unlink((kPkg + "/manifest.txt").c_str()), 0); }},
        {"product-type",
         "no PRODUCT_TYPE",
         "BIRCH",
         {},
         [] { setManifestLine("PRODUCT_TYPE", ""); }},
        {"product-type",
         "a product name as the type",
         "BIRCH",
         {},
         [] { setManifestLine("PRODUCT_TYPE", "PRODUCT_TYPE=VK30"); }},
        {"version-present",
         "no KIVRA_VERSION",
         "BIRCH",
         {},
         [] { setManifestLine("KIVRA_VERSION", ""); }},
        {"pre-install-script",
         "init.sh that does not match INIT_SH_DIGEST",
         "BIRCH",
         {},
         [] { setManifestLine("INIT_SH_DIGEST", "INIT_SH_DIGEST=" + std::string(32, '0')); }},
        {"pre-install-script",
         "an INIT_SH_DIGEST that is no digest",
         "BIRCH",
         {},
         [] { setManifestLine("INIT_SH_DIGEST", "INIT_SH_DIGEST=none"); }},
        {"pre-install-script", "init.sh that is no script, without a digest", "BIRCH", birch,
         [this] {
             setManifestLine("INIT_SH_DIGEST", "");
             package.encrypted("init.sh", std::string("\x01\x02\x7f", 3));
         }},
        {"radio-entries", "a radio version without its digest", "BIRCH", birch,
         [] { setManifestLine("R1_C1_MD5", ""); }},
        {"digest-list",
         "no digest list",
         "BIRCH",
         {},
         [] { ASSERT_EQ(::unlink((kPkg + "/images.md5").c_str()), 0); }},
        {"digest-list",
         "an image that does not match its digest",
         "BIRCH",
         {},
         [this] { package.encrypted("dtb.recovery", "other"); }},
        {"digest-list",
         "an entry that is a link",
         "BIRCH",
         {},
         [] {
             ASSERT_EQ(::rename((kPkg + "/NTIM.bin").c_str(), "/tmp/ntim"), 0);
             ASSERT_EQ(::symlink("/tmp/ntim", (kPkg + "/NTIM.bin").c_str()), 0);
         }},
    };
    // Under the emulator or the sanitizers every run costs seconds: there every rule is checked
    // on a BIRCH product, and the QT10 (an ALDER that takes no package) on the rows that set a
    // product against another; the native host tier checks every product on every row.
    const bool sampled = testing::slowRuns();
    for (const PackageRow& row : rows) {
        SCOPED_TRACE(std::string(row.rule) + ": " + row.what);
        ASSERT_EQ(::system(("rm -rf " + kPkg + " " + kPristine).c_str()), 0);
        pack(row.type);
        row.damage();
        ASSERT_EQ(::system(("cp -a " + kPkg + " " + kPristine).c_str()), 0);
        for (const auto& [type, names] : package_format::productTable()) {
            for (const std::string& product : names) {
                const std::string rule = row.rule;
                if (sampled && product != "VK30" &&
                    !(product == "QT10" && (rule == "all" || rule == "product-supported"))) {
                    continue;
                }
                SCOPED_TRACE("on " + product);
                ASSERT_EQ(
                    ::system(("rm -rf " + kPkg + " && cp -a " + kPristine + " " + kPkg).c_str()),
                    0);
                const auto verified = testing::runProcess(
                    {testing::binPath("qvpack"), "verify", "--product", product, kPkg});
                const auto run = install({kPkg, "C1"}, {"KIVRA_PRODUCT=" + product});
                const bool installed =
                    run.out.find("  - KivraInstaller::install: Get boot partition ") !=
                    std::string::npos;
                const bool taken =
                    std::find(row.takenBy.begin(), row.takenBy.end(), product) != row.takenBy.end();
                EXPECT_EQ(installed, taken) << run.out;
                EXPECT_EQ(verified.exitStatus, taken ? 0 : 1) << verified.out << verified.err;
            }
        }
    }
}

}  // namespace
}  // namespace KIVRA
