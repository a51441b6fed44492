// The progress file a device's web page polls: its quoting, its link and full-disk rules, its
// pace, and the error line its failed end carries.

#include "qvcommontools/fw_progress.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "qvcommontools/install_log.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using qvcommontools::FwProgress;
using testing::readBytes;
using testing::writeBytes;

class FwProgressTest : public testing::InstallerTest {
protected:
    std::string path() { return tempDir().path() + "/fw_progress"; }

    // A reporter of a run that holds the lock, planned as the install sequence is.
    static FwProgress started(const std::string& at) {
        FwProgress progress(at);
        progress.start();
        progress.plan(20, 12);
        return progress;
    }

    ino_t inode() {
        struct stat st {};
        EXPECT_EQ(::lstat(path().c_str(), &st), 0);
        return st.st_ino;
    }
};

struct QuoteRow {
    const char* value;
    const char* written;
    const char* readBack;  // what a shell reads back
};

const QuoteRow kQuoteRows[] = {
    {"rootfs.sqfs", "rootfs.sqfs", "rootfs.sqfs"},
    {"", "\"\"", ""},
    {"MD5 check failed (err 4)", "\"MD5 check failed (err 4)\"", "MD5 check failed (err 4)"},
    {"a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\c"},
    {"$(touch /tmp/x)`id`", "\"\\$(touch /tmp/x)\\`id\\`\"", "$(touch /tmp/x)`id`"},
    {"it's; x=1", "\"it's; x=1\"", "it's; x=1"},
    {"two\nlines\t", "\"two?lines?\"", "two?lines?"},
};

// A value a page's shell poller evaluates must read back as it was, run nothing and stay on
// the one line.
TEST_F(FwProgressTest, ValuesReadBackExactlyThroughTheShellAndRunNothing) {
    for (const QuoteRow& row : kQuoteRows) {
        const std::string written = qvcommontools::progressValue(row.value);
        EXPECT_EQ(written, row.written);
        writeBytes(path(), "state=running error=" + written + "\n");
        const auto read = testing::runProcess(
            {"/bin/sh", "-c", "eval \"$(cat " + path() + ")\"; printf %s \"$error\""});
        EXPECT_EQ(read.out, row.readBack) << row.value;
        EXPECT_FALSE(testing::exists("/tmp/x"));
    }
}

// A run refused by a live run must leave that run's progress alone.
TEST_F(FwProgressTest, NothingIsWrittenBeforeTheRunHoldsTheLock) {
    FwProgress progress(path());
    progress.plan(20, 12);
    progress.step(1, "status_done");
    progress.finish(1);
    EXPECT_FALSE(testing::exists(path()));
}

TEST_F(FwProgressTest, LinkPlantedAtTheNameIsReplacedNotWrittenThrough) {
    const std::string victim = tempDir().path() + "/victim";
    writeBytes(victim, "system file");
    ASSERT_EQ(::symlink(victim.c_str(), path().c_str()), 0);
    FwProgress progress = started(path());
    progress.step(3, "stop_services");
    EXPECT_EQ(readBytes(victim), "system file");
    struct stat st {};
    ASSERT_EQ(::lstat(path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readBytes(path()), "state=running step=3 steps=20 name=stop_services percent=2\n");
}

// The byte step fills four fifths of the bar by its bytes; 100 is the end's alone.
TEST_F(FwProgressTest, ByteStepFillsItsShareByBytesAndOnlyTheEndReaches100) {
    FwProgress progress = started(path());
    progress.step(12, "install_firmware");
    EXPECT_EQ(readBytes(path()),
              "state=running step=12 steps=20 name=install_firmware percent=11\n");
    progress.beginBytes(1000);
    progress.beginFile("uImage", 500);
    progress.addBytes(900);  // counted no further than the file's size
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    progress.beginFile("rootfs.sqfs", 500);
    EXPECT_EQ(readBytes(path()),
              "state=running step=12 steps=20 name=install_firmware "
              "file=rootfs.sqfs percent=51 bytes=500 total=1000\n");
    progress.step(20, "unlock");
    EXPECT_EQ(readBytes(path()), "state=running step=20 steps=20 name=unlock percent=98\n");
    progress.finish(2);
    EXPECT_EQ(readBytes(path()), "state=done status=2 percent=100\n");
}

// The file is on tmpfs, but a slow image must not have it written for every chunk.
TEST_F(FwProgressTest, ByteUpdatesComeAtMostFourTimesASecond) {
    FwProgress progress = started(path());
    progress.step(12, "install_firmware");
    progress.beginBytes(1 << 20);
    progress.beginFile("rootfs.sqfs", 1 << 20);
    const ino_t first = inode();
    for (int chunk = 0; chunk < 100; ++chunk) {
        progress.addBytes(4096);
    }
    EXPECT_EQ(inode(), first) << "written again within a quarter of a second";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    progress.addBytes(4096);
    EXPECT_NE(inode(), first) << "a later update never shown";
}

// The failing operation logs first, the levels that re-raise its code after it; an error line
// of an earlier step that did not stop the run is not the failure.
TEST_F(FwProgressTest, FailedEndCarriesTheFirstErrorLineOfTheFailingStep) {
    FwProgress progress = started(path());
    ::testing::internal::CaptureStdout();
    progress.step(8, "pre_install_run");
    qvcommontools::logInstallError("[KivraInstaller::preInstallRun] ", "script failed (err 1)");
    progress.step(12, "install_firmware");
    qvcommontools::logInstallError("[KivraInstaller::installFirmware] ",
                                   "MD5 check failed for uImage (err 4)");
    qvcommontools::logInstallError("[KivraInstaller::install] ", "Firmware install failed (err 4)");
    const std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.substr(0, console.find('\n')),
              "[KivraInstaller::preInstallRun] script failed (err 1)");
    progress.finish(1);
    EXPECT_EQ(readBytes(path()),
              "state=failed status=1 step=12 name=install_firmware "
              "error=\"MD5 check failed for uImage (err 4)\"\n");
}

// A full /tmp costs the page its updates, never the install; an end that cannot be written
// leaves no line saying the install still runs, and no scratch file.
TEST_F(FwProgressTest, FullDirectoryLosesUpdatesAndRemovesTheStaleLineAtTheEnd) {
    const std::string small = tempDir().path() + "/small";
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(::mount("qvtest-small", small.c_str(), "tmpfs", 0, "size=8k"), 0);
    FwProgress progress = started(small + "/fw_progress");
    progress.step(3, "stop_services");
    ASSERT_TRUE(testing::exists(small + "/fw_progress"));
    // Whatever is left of the file system is taken.
    (void)::system(("cat /dev/zero > " + small + "/fill 2>/dev/null").c_str());
    progress.step(4, "copy_manifest");
    EXPECT_EQ(readBytes(small + "/fw_progress"),
              "state=running step=3 steps=20 name=stop_services percent=2\n");
    progress.finish(1);
    EXPECT_FALSE(testing::exists(small + "/fw_progress"));
    EXPECT_EQ(testing::dirEntries(small), std::vector<std::string>{"fill"});
    ASSERT_EQ(::umount(small.c_str()), 0);
}

}  // namespace
}  // namespace KIVRA
