#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/kivra_installer.h"
#include "qvcommontools/install_log.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;

const std::string kLock = "/tmp/kivrainstaller.lck";

class SetFwDirTest : public testing::InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /tmp/pkg"), 0);
    }

    int setFwDir(const std::string& dir, std::string& console) {
        KivraInstaller installer;
        ::testing::internal::CaptureStdout();
        const int code = installer.setFwDir(dir);
        console = ::testing::internal::GetCapturedStdout();
        return code;
    }
};

// Whether some process holds the lock file at the path (tested from a new open file).
bool lockHeld() {
    const int fd = ::open(kLock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

TEST_F(SetFwDirTest, TakesEmptyLockHeldForTheInstallersLifeAndEmptiesStagingDirectory) {
    ASSERT_EQ(::system("mkdir -p /mnt/hda1/fwimages && echo stale > /mnt/hda1/fwimages/uImage"), 0);
    {
        KivraInstaller installer;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(installer.setFwDir("/tmp/pkg"), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "  - KivraInstaller::setFwDir: Check Lock\n  - KivraInstaller::setFwDir: Lock\n");
        EXPECT_EQ(readBytes(kLock), "");
        EXPECT_TRUE(lockHeld());
    }
    EXPECT_FALSE(exists(kLock)) << "the installer's end removes its lock";
    EXPECT_FALSE(exists("/mnt/hda1/fwimages/uImage"));
    struct stat st {};
    ASSERT_EQ(::stat("/mnt/hda1/fwimages", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SetFwDirTest, PresentLockRefusesRunWithCode3) {
    writeBytes(kLock, "");
    std::string console;
    EXPECT_EQ(setFwDir("/tmp/pkg", console), KivraInstaller::LockExists);
    EXPECT_EQ(console,
              "  - KivraInstaller::setFwDir: Check Lock\n"
              "[KivraInstaller::setFwDir] Check file lock failed (err 3)\n");
}

TEST_F(SetFwDirTest, LockPathThatIsDirectoryDoesNotRefuse) {
    ASSERT_EQ(::mkdir(kLock.c_str(), 0755), 0);
    std::string console;
    EXPECT_EQ(setFwDir("/tmp/pkg", console), 0);
}

TEST_F(SetFwDirTest, MissingOrFileFirmwareDirGivesCode6AfterLockIsTaken) {
    std::string console;
    {
        KivraInstaller installer;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(installer.setFwDir(""), KivraInstaller::NotADirectory);
        console = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(lockHeld());
    }
    EXPECT_NE(console.find("[KivraInstaller::setFwDir]  is not a directory (err 6)\n"),
              std::string::npos);
    writeBytes("/tmp/plain", "x");
    EXPECT_EQ(setFwDir("/tmp/plain", console), KivraInstaller::NotADirectory);
    EXPECT_NE(console.find("[KivraInstaller::setFwDir] /tmp/plain is not a directory (err 6)"),
              std::string::npos);
}

TEST_F(SetFwDirTest, MissingWorkDirectoryGivesCode7) {
    ASSERT_EQ(::system("rm -rf /mnt/hda1/Kvtemp"), 0);
    std::string console;
    EXPECT_EQ(setFwDir("/tmp/pkg", console), KivraInstaller::WorkDirError);
    EXPECT_NE(
        console.find("[KivraInstaller::setFwDir] /mnt/hda1/Kvtemp is not a directory (err 7)"),
        std::string::npos);
}

TEST_F(SetFwDirTest, StagingDirectoryThatCannotBeMadeGivesCode7) {
    ASSERT_EQ(::system("rm -rf /mnt/hda1/fwimages && ln -s /tmp/pkg /mnt/hda1/fwimages"), 0);
    std::string console;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(setFwDir("/tmp/pkg", console), KivraInstaller::WorkDirError);
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_NE(
        console.find("[KivraInstaller::setFwDir] Unable to create directory /mnt/hda1/fwimages"),
        std::string::npos);
}

}  // namespace
}  // namespace KIVRA
