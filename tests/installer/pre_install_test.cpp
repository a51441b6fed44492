#include <sys/stat.h>

#include "tests/installer/package_fixture.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;
using testing::writeEncrypted;

const std::string kScriptCopy = "/tmp/init.sh";
const std::string kRanMarker = "/tmp/script-ran";

class PreInstallTest : public testing::PackageTest {
protected:
    int preInstallRun(std::string& console) {
        return run([](KivraInstaller& i) { return i.preInstallRun(); }, console);
    }

    static mode_t modeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode;
    }
};

TEST_F(PreInstallTest, FailingScriptIsLoggedAndInstallGoesOn) {
    const std::string script = "echo ran > " + kRanMarker + "\nexit 3\n";
    writeEncrypted(pkg + "/init.sh", script);
    std::string console;
    EXPECT_EQ(preInstallRun(console), 0);
    EXPECT_EQ(console, "Running pre install script failed, continue\n");
    EXPECT_EQ(readBytes(kRanMarker), "ran\n");
    EXPECT_EQ(readBytes(kScriptCopy), script);
    EXPECT_EQ(modeOf(kScriptCopy) & 07777, 0700u);
}

TEST_F(PreInstallTest, SucceedingScriptLogsNothing) {
    writeEncrypted(pkg + "/init.sh", "touch " + kRanMarker + "\n");
    std::string console;
    EXPECT_EQ(preInstallRun(console), 0);
    EXPECT_EQ(console, "");
    EXPECT_TRUE(exists(kRanMarker));
}

TEST_F(PreInstallTest, SymlinkPlantedAtScriptPathIsReplacedNotWrittenThrough) {
    writeBytes("/tmp/victim", "keep me\n");
    ASSERT_EQ(::symlink("/tmp/victim", kScriptCopy.c_str()), 0);
    const std::string script = "touch " + kRanMarker + "\n";
    writeEncrypted(pkg + "/init.sh", script);
    std::string console;
    EXPECT_EQ(preInstallRun(console), 0);
    EXPECT_EQ(readBytes("/tmp/victim"), "keep me\n");
    EXPECT_TRUE(S_ISREG(modeOf(kScriptCopy)));
    EXPECT_EQ(readBytes(kScriptCopy), script);
    EXPECT_TRUE(exists(kRanMarker));
}

TEST_F(PreInstallTest, PackageWithoutScriptRunsNothingEvenWithACopyLyingInTmp) {
    writeBytes(kScriptCopy, "touch " + kRanMarker + "\n");
    std::string console;
    EXPECT_EQ(preInstallRun(console), 0);
    EXPECT_EQ(console, "");
    EXPECT_FALSE(exists(kRanMarker));
}

TEST_F(PreInstallTest, ScriptThatCannotBePutInPlaceRunsNothing) {
    ASSERT_EQ(::mkdir(kScriptCopy.c_str(), 0755), 0);
    writeBytes(kScriptCopy + "/x", "");
    writeEncrypted(pkg + "/init.sh", "touch " + kRanMarker + "\n");
    std::string console;
    EXPECT_EQ(preInstallRun(console), 0);
    EXPECT_EQ(console, "Running pre install script failed, unable to decrypt it, continue\n");
    EXPECT_FALSE(exists(kRanMarker));
    // No scratch copy is left behind in /tmp.
    EXPECT_EQ(::system("ls /tmp | grep -q '^init.sh.'"), 256);
}

// A script the package itself says is damaged would run as root: the step refuses the package
// before the script runs, and no copy of it is left in /tmp to be run by anyone.
TEST_F(PreInstallTest, ScriptThatDoesNotMatchItsDigestIsRefusedBeforeItRuns) {
    const struct {
        std::string digest;
        int code;
        std::string line;
    } rows[] = {
        {std::string(32, '0'), 4,
         "[KivraInstaller::preInstallRun] MD5 check failed for init.sh (err 4)\n"},
        {"none", 8,
         "[KivraInstaller::preInstallRun] INIT_SH_DIGEST is not an MD5 digest (err 8)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.digest);
        writeBytes("/tmp/fw_manifest.txt", "KIVRA_VERSION=\nINIT_SH_DIGEST=" + row.digest + "\n");
        writeEncrypted(pkg + "/init.sh", "touch " + kRanMarker + "\n");
        std::string console;
        EXPECT_EQ(run(
                      [](KivraInstaller& i) {
                          return i.readPackageManifest() == 0 ? i.preInstallRun() : -1;
                      },
                      console),
                  row.code);
        EXPECT_EQ(console, row.line);
        EXPECT_FALSE(exists(kRanMarker));
        EXPECT_FALSE(exists(kScriptCopy));
    }
}

}  // namespace
}  // namespace KIVRA
