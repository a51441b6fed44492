#include <cstdlib>

#include "installer/kivra_installer.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using Manifest = KivraInstaller::Manifest;

class ManifestTest : public testing::InstallerTest {
protected:
    Manifest parse(const std::string& text, int expected = 0) {
        testing::writeBytes(tempDir() / "manifest.txt", text);
        Manifest table;
        EXPECT_EQ(KivraInstaller::readManifest(tempDir() / "manifest.txt", table), expected);
        return table;
    }
};

TEST_F(ManifestTest, KeepsKeysAndValuesByteForByte) {
    const Manifest table = parse(
        "# comment\n\nno equals\nA=1=2\nB=\n=x\n k = v "
        "\n#C=1\nD=#1\nQ=\"quoted\"\nCR=v\r\nE=1\nE=2");
    const Manifest expected = {{"A", "1=2"}, {"B", ""},           {"", "x"},     {" k ", " v "},
                               {"D", "#1"},  {"Q", "\"quoted\""}, {"CR", "v\r"}, {"E", "2"}};
    EXPECT_EQ(table, expected);
}

TEST_F(ManifestTest, OnlyCommentsAndNoiseGiveEmptyTable) {
    EXPECT_TRUE(parse("# a\n\nnothing here\n").empty());
}

// A file that opens but cannot be read (here a directory: EISDIR) is no empty manifest.
TEST_F(ManifestTest, MissingOrUnreadableFileEmptiesTableAndLogsCode8) {
    for (const std::string& path : {tempDir() / "none", tempDir().path()}) {
        SCOPED_TRACE(path);
        Manifest table = {{"old", "value"}};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(KivraInstaller::readManifest(path, table), KivraInstaller::ManifestError);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "[KivraInstaller::readManifest] Unable to open manifest file (err 8)\n");
        EXPECT_TRUE(table.empty());
    }
}

TEST_F(ManifestTest, LookupIsExactAndLeavesOutputOnMiss) {
    KivraInstaller installer;
    const Manifest table = {{"PRODUCT_TYPE", "BIRCH"}};
    std::string value = "unchanged";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(installer.getManifestValue("product_type", table, value),
              KivraInstaller::ManifestError);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[KivraInstaller::getManifestValue] product_type not found in manifest (err 8)\n");
    EXPECT_EQ(value, "unchanged");
    EXPECT_EQ(installer.getManifestValue("PRODUCT_TYPE", table, value), 0);
    EXPECT_EQ(value, "BIRCH");
}

}  // namespace
}  // namespace KIVRA
