#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "installer/kivra_installer.h"
#include "qvcommontools/err.h"
#include "qvcommontools/install_log.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using qvcommontools::InstallerErr;
using testing::readBytes;

class InstallLogTest : public testing::InstallerTest {};

TEST_F(InstallLogTest, WritesEachLineToConsoleAndLogInOrder) {
    ::testing::internal::CaptureStdout();
    qvcommontools::logInstall("a");
    qvcommontools::logInstall("b");
    const std::string console = ::testing::internal::GetCapturedStdout();
    qvcommontools::closeInstallLog();
    EXPECT_EQ(console, "a\nb\n");
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "a\nb\n");
}

// A run that is killed or loses power never closes its log: what it logged must be in the
// file already, not in the process's buffer.
TEST_F(InstallLogTest, EachLineIsInTheFileBeforeTheLogIsClosed) {
    ::testing::internal::CaptureStdout();
    qvcommontools::logInstall("a");
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "a\n");
    qvcommontools::logInstall("b");
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "a\nb\n");
    (void)::testing::internal::GetCapturedStdout();
}

TEST_F(InstallLogTest, NewRunReplacesPreviousLogInsteadOfAppending) {
    testing::writeBytes("/mnt/hda1/Kvtemp/qvupdate.log", "old run line\nmore\n");
    ::testing::internal::CaptureStdout();
    qvcommontools::logInstall("new");
    qvcommontools::closeInstallLog();
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "new\n");
}

// A run that ends well removes the install lock before its End line; the next run, started
// at that moment, starts the log afresh only once the previous run has closed it.
TEST_F(InstallLogTest, NextRunStartsTheLogOnlyAfterThePreviousRunClosedIt) {
    int opened[2];
    int go[2];
    ASSERT_EQ(::pipe(opened), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t previous = ::fork();
    ASSERT_GE(previous, 0);
    if (previous == 0) {
        qvcommontools::logInstall("previous: Unlock");
        char c = 'o';
        if (::write(opened[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1) {
            ::_exit(1);
        }
        ::usleep(200 * 1000);  // the next run is waiting for the log by now
        qvcommontools::logInstall("previous: End (0)");
        qvcommontools::closeInstallLog();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(opened[0], &c, 1), 1);
    ASSERT_EQ(::write(go[1], &c, 1), 1);
    ::testing::internal::CaptureStdout();
    qvcommontools::logInstall("next: Install");
    qvcommontools::closeInstallLog();
    (void)::testing::internal::GetCapturedStdout();
    int status = -1;
    ASSERT_EQ(::waitpid(previous, &status, 0), previous);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "next: Install\n");
    for (int fd : {opened[0], opened[1], go[0], go[1]}) {
        (void)::close(fd);
    }
}

TEST_F(InstallLogTest, HeldLinesReachFileInOrderOnlyWhenReleased) {
    testing::writeBytes("/mnt/hda1/Kvtemp/qvupdate.log", "live run\n");
    ::testing::internal::CaptureStdout();
    qvcommontools::holdInstallLog();
    qvcommontools::logInstall("one");
    qvcommontools::logInstall("two");
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "live run\n");
    qvcommontools::releaseInstallLog();
    qvcommontools::logInstall("three");
    qvcommontools::closeInstallLog();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "one\ntwo\nthree\n");
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "one\ntwo\nthree\n");
}

TEST_F(InstallLogTest, DiscardedLogLeavesFileOfAnotherRunUntouched) {
    testing::writeBytes("/mnt/hda1/Kvtemp/qvupdate.log", "live run\n");
    ::testing::internal::CaptureStdout();
    qvcommontools::holdInstallLog();
    qvcommontools::logInstall("refused");
    qvcommontools::discardInstallLog();
    qvcommontools::logInstall("after");
    qvcommontools::closeInstallLog();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "refused\nafter\n");
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/qvupdate.log"), "live run\n");
}

TEST_F(InstallLogTest, MissingLogDirectoryStillReachesConsole) {
    ASSERT_EQ(::system("rm -rf /mnt/hda1/Kvtemp"), 0);
    ::testing::internal::CaptureStdout();
    qvcommontools::logInstall("x");
    qvcommontools::logInstall("y");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "x\ny\n");
    EXPECT_FALSE(testing::exists("/mnt/hda1/Kvtemp/qvupdate.log"));
}

TEST_F(InstallLogTest, ErrLogFormatsOriginMessageAndSignedCode) {
    ::testing::internal::CaptureStdout();
    InstallerErr(KivraInstaller::FileError, "Invalid boot update file",
                 "[KivraInstaller::getBootPartition] ")
        .log();
    InstallerErr(static_cast<KivraInstaller::Error>(-3), "negative", "[qvinstaller] ").log();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[KivraInstaller::getBootPartition] Invalid boot update file (err 5)\n"
              "[qvinstaller] negative (err -3)\n");
}

TEST_F(InstallLogTest, ThrowIfThrowsOnlyForNonZeroCode) {
    EXPECT_NO_THROW(InstallerErr::throwIf(KivraInstaller::Success, "x", "o"));
    try {
        InstallerErr::throwIf(KivraInstaller::WorkDirError, "x", "[KivraInstaller::setFwDir] ");
        FAIL() << "throwIf with code 7 did not throw";
    } catch (const InstallerErr& err) {
        EXPECT_EQ(err.getCode(), KivraInstaller::WorkDirError);
        ::testing::internal::CaptureStdout();
        err.log();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "[KivraInstaller::setFwDir] x (err 7)\n");
    }
}

}  // namespace
}  // namespace KIVRA
