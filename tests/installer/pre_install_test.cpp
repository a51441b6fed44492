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

}  // namespace
}  // namespace KIVRA
