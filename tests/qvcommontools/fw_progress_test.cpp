// The progress file a device's web page polls: its quoting, its pace, its share of the bar and
// the error line its failed end carries. Its link and full-/tmp rules are run end to end
// (tests/app).

#include "qvcommontools/fw_progress.h"

#include <sys/stat.h>

#include <array>
#include <thread>

#include "qvcommontools/install_log.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using qvcommontools::FwProgress;
using testing::readBytes;

class FwProgressTest : public testing::InstallerTest {
protected:
    std::string path() { return tempDir().path() + "/fw_progress"; }

    // A reporter of a run that holds the lock, planned as the install sequence is.
    FwProgress started() {
        FwProgress progress(path());
        progress.start();
        progress.plan(20, 12);
        return progress;
    }
};

// A value a page's shell poller evaluates must read back as it was (the written form in the
// second column), run nothing and stay on the one line.
TEST_F(FwProgressTest, ValuesReadBackExactlyThroughTheShellAndRunNothing) {
    const std::vector<std::array<std::string, 3>> rows = {
        {"rootfs.sqfs", "rootfs.sqfs", "rootfs.sqfs"},
        {"", "\"\"", ""},
        {"a \"b\\c it's", "\"a \\\"b\\\\c it's\"", "a \"b\\c it's"},
        {"$(touch /tmp/x)`id`", "\"\\$(touch /tmp/x)\\`id\\`\"", "$(touch /tmp/x)`id`"},
        {"two\nlines\t", "\"two?lines?\"", "two?lines?"}};
    for (const auto& [value, written, readBack] : rows) {
        EXPECT_EQ(qvcommontools::progressValue(value), written);
        testing::writeBytes(path(), "state=running error=" + written + "\n");
        const auto read = testing::runProcess(
            {"/bin/sh", "-c", "eval \"$(cat " + path() + ")\"; printf %s \"$error\""});
        EXPECT_EQ(read.out, readBack) << value;
    }
    EXPECT_FALSE(testing::exists("/tmp/x"));
}

// A run refused by a live run must leave that run's progress alone.
TEST_F(FwProgressTest, NothingIsWrittenBeforeTheRunHoldsTheLock) {
    FwProgress progress(path());
    progress.step(1, "status_done");
    progress.finish(1);
    EXPECT_FALSE(testing::exists(path()));
}

// The byte step fills four fifths of the bar by its bytes, no faster than four updates a
// second; 100 is the end's alone.
TEST_F(FwProgressTest, ByteStepFillsItsShareByBytesAtMostFourTimesASecond) {
    FwProgress progress = started();
    progress.step(12, "install_firmware");
    EXPECT_EQ(readBytes(path()),
              "state=running step=12 steps=20 name=install_firmware percent=11\n");
    progress.beginBytes(1000);
    progress.beginFile("uImage", 500);
    progress.addBytes(900);  // counted no further than the file's size
    EXPECT_EQ(readBytes(path()),
              "state=running step=12 steps=20 name=install_firmware "
              "percent=11 bytes=0 total=1000\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    progress.beginFile("rootfs.sqfs", 500);
    EXPECT_EQ(readBytes(path()),
              "state=running step=12 steps=20 name=install_firmware "
              "file=rootfs.sqfs percent=51 bytes=500 total=1000\n");
    progress.finish(2);
    EXPECT_EQ(readBytes(path()), "state=done status=2 percent=100\n");
}

// An error line of an earlier step that did not stop the run is not the failure.
TEST_F(FwProgressTest, FailedEndCarriesTheFirstErrorLineOfTheFailingStep) {
    FwProgress progress = started();
    ::testing::internal::CaptureStdout();
    progress.step(8, "pre_install_run");
    qvcommontools::logInstallError("[KivraInstaller::preInstallRun] ", "script failed (err 1)");
    progress.step(9, "check_rm_update");
    qvcommontools::logInstallError("[KivraInstaller::getRmIdentifier] ", "missing (err 9)");
    qvcommontools::logInstallError("[KivraInstaller::install] ", "RM update check failed (err 9)");
    (void)::testing::internal::GetCapturedStdout();
    progress.finish(1);
    EXPECT_EQ(readBytes(path()),
              "state=failed status=1 step=9 name=check_rm_update error=\"missing (err 9)\"\n");
}

}  // namespace
}  // namespace KIVRA
