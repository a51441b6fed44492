#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "installer/install_lock.h"
#include "installer/kivra_installer.h"
#include "qvcommontools/install_log.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;

const std::string kLock = "/tmp/kivrainstaller.lck";

class SetFwDirTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /mnt/hda1/Kvtemp /tmp/pkg"), 0);
    }
    void TearDown() override { qvcommontools::closeInstallLog(); }

    int setFwDir(const std::string& dir, std::string& console) {
        KivraInstaller installer;
        ::testing::internal::CaptureStdout();
        const int code = installer.setFwDir(dir);
        console = ::testing::internal::GetCapturedStdout();
        return code;
    }
};

TEST_F(SetFwDirTest, TakesLockRecordingOwnerAndEmptiesStagingDirectory) {
    ASSERT_EQ(::system("mkdir -p /mnt/hda1/fwimages && echo stale > /mnt/hda1/fwimages/uImage"), 0);
    std::string console;
    EXPECT_EQ(setFwDir("/tmp/pkg", console), 0);
    EXPECT_EQ(console,
              "  - KivraInstaller::setFwDir: Check Lock\n  - KivraInstaller::setFwDir: Lock\n");
    EXPECT_EQ(readBytes(kLock), std::to_string(::getpid()) + "\n");
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
    EXPECT_EQ(setFwDir("", console), KivraInstaller::NotADirectory);
    EXPECT_NE(console.find("[KivraInstaller::setFwDir]  is not a directory (err 6)\n"),
              std::string::npos);
    EXPECT_TRUE(exists(kLock));
    ASSERT_EQ(::unlink(kLock.c_str()), 0);
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

// Many runs start at once; the lock must let exactly one of them through.
TEST_F(SetFwDirTest, RacingInstallersNeverBothProceed) {
    constexpr int kRuns = 12;
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kRuns; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            (void)!::write(ready[1], "r", 1);
            char c;
            (void)!::read(go[0], &c, 1);  // released all together
            KivraInstaller installer;
            // The lock outlives the child: only the run driver clears it.
            ::_exit(installer.setFwDir("/tmp/pkg"));
        }
        children.push_back(pid);
    }
    ::close(ready[1]);
    char c;
    for (int i = 0; i < kRuns; ++i) ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(go[0]);
    ::close(go[1]);  // end of file releases every child at once
    int taken = 0, refused = 0;
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) ++taken;
        if (WEXITSTATUS(status) == KivraInstaller::LockExists) ++refused;
    }
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(refused, kRuns - 1);
}

TEST_F(SetFwDirTest, ClearingLeavesLiveRunsLockButRemovesStaleOrEmptyOnes) {
    pid_t live = ::fork();
    if (live == 0) {
        ::pause();
        ::_exit(0);
    }
    writeBytes(kLock, std::to_string(live) + "\n");
    installer::clearInstallLock();
    EXPECT_TRUE(exists(kLock)) << "a live run's lock was removed";
    ::kill(live, SIGKILL);
    ::waitpid(live, nullptr, 0);
    installer::clearInstallLock();
    EXPECT_FALSE(exists(kLock)) << "a dead run's lock was kept";
    writeBytes(kLock, "");
    installer::clearInstallLock();
    EXPECT_FALSE(exists(kLock)) << "an empty lock was kept";
}

}  // namespace
}  // namespace KIVRA
