// The installer program end to end on packages built by qvpack. The host has no MTD flash,
// so a run that gets as far as setting the boot environment flag ends there with code 9, unless
// a stand-in answers for the flash (StandinFlashTest); the device harness runs the same
// packages to the end on the kernel's MTD layer (full_install_devtest.cpp).

#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>

#include "tests/app/install_run_fixture.h"
#include "tests/vpd/boot_env_loader.h"
#include "tests/vpd/env_samples.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::join;
using testing::kHead;
using testing::kLock;
using testing::kLog;
using testing::kPkg;
using testing::kStaging;
using testing::kStatus;
using testing::lines;
using testing::md5Of;
using testing::readBytes;
using testing::writeBytes;

using InstallRunTest = testing::InstallRunFixture;

TEST_F(InstallRunTest, GoodPackageRunsEveryStepInOrderAndStopsAtFlashOnHost) {
    pack();
    const auto run = install({kPkg, "C1"});
    const std::vector<std::string> expected =
        join(kHead, {
                        "> [qvinstaller] Set Firmware Carrier",
                        "  - KivraInstaller::setFwCarrier: C1",
                        "> [qvinstaller] Install",
                        "  - KivraInstaller::install: Stop Services",
                        "  - KivraInstaller::install: Copy Manifest",
                        "  - KivraInstaller::install: Read Manifest",
                        "  - KivraInstaller::install: Check product type",
                        "  - KivraInstaller::install: Check manifest content",
                        "  - KivraInstaller::install: Pre install run",
                        "  - KivraInstaller::install: Check if RM update need ",
                        "  - KivraInstaller::install: Install firmware ",
                        "Currently running KIVRA version 4.1.0 and installing 4.2.0",
                        "  - KivraInstaller::install: Get boot partition ",
                        "  - KivraInstaller::install: Next boot partition: 1",
                        "  - KivraInstaller::install: Set environment flag ",
                        "[KivraInstaller::install] VPD update failed, input error (err 9)",
                        "[qvinstaller] [qvinstaller] Install failed (err 9)",
                        "> [qvinstaller] Error",
                    });
    EXPECT_EQ(lines(readBytes(kLog)), expected);
    // The flash layer reports on the console only, where the failure happens.
    std::vector<std::string> console = expected;
    console.insert(console.end() - 3, "VpdHandler::readNand : ERR_FILE 2");
    EXPECT_EQ(lines(run.out), console);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(readBytes("/tmp/fw_status"), kStatus);
    EXPECT_EQ(readBytes("/tmp/fw_manifest.txt"), readBytes(kPkg + "/manifest.txt"));
    EXPECT_EQ(readBytes("/tmp/seen"), "absent\n");  // the script ran before the images
    EXPECT_EQ(readBytes(kStaging + "/version1.txt"), "4.1.0");
    EXPECT_EQ(readBytes(kStaging + "/version2.txt"), "4.2.0");
    for (const auto& [name, content] : images) {
        if (name == "kivrainstaller") {
            EXPECT_EQ(readBytes(kPkg + "/" + name), content);
        } else {
            const std::string dir = name == "NTIM.bin" ? "/mnt/hda1/Kvtemp" : kStaging;
            EXPECT_EQ(readBytes(dir + "/" + name), content) << name;
            EXPECT_FALSE(exists(kPkg + "/" + name)) << name;
        }
    }
    // The command-line carrier wins over KIVRA_RMID.
    EXPECT_EQ(readBytes("/tmp/fake_mount.calls"),
              "mount [-r] [-t] [iso9660] [/mnt/hda1/system/rmstore/C1/R1_1.iso] "
              "[/tmp/kivrainstaller_mnt]\numount [-d] [/tmp/kivrainstaller_mnt]\n");
    EXPECT_FALSE(exists(kLock));
}

TEST_F(InstallRunTest, ProductMismatchGivesOneErrorLinePerLevelAndTouchesNothing) {
    pack();
    const std::string uImagePackage = readBytes(kPkg + "/uImage");
    const auto run = install({kPkg}, {"KIVRA_PRODUCT=ZN10W"});
    EXPECT_EQ(run.exitStatus, 1);
    const std::vector<std::string> expected = join(
        kHead,
        {"> [qvinstaller] Install", "  - KivraInstaller::install: Stop Services",
         "  - KivraInstaller::install: Copy Manifest", "  - KivraInstaller::install: Read Manifest",
         "  - KivraInstaller::install: Check product type",
         "[KivraInstaller::checkProductType] Manifest product type BIRCH mismatches device "
         "product type ROWAN (err 2)",
         "[KivraInstaller::install] Product Type check failed (err 2)",
         "[qvinstaller] [qvinstaller] Install failed (err 2)", "> [qvinstaller] Error"});
    EXPECT_EQ(lines(run.out), expected);
    EXPECT_EQ(lines(readBytes(kLog)), expected);
    EXPECT_EQ(readBytes(kPkg + "/uImage"), uImagePackage);
    EXPECT_FALSE(exists(kStaging + "/uImage"));
    EXPECT_FALSE(exists("/tmp/seen"));
    EXPECT_FALSE(exists(kLock));
}

TEST_F(InstallRunTest, ManifestWithoutVersionStopsBeforeScriptAndVersionFiles) {
    pack();
    writeBytes(kPkg + "/manifest.txt", "PRODUCT_TYPE=BIRCH\nR1_C1_VERSION=\"1\"\n");
    const auto run = install({kPkg});
    EXPECT_EQ(run.exitStatus, 1);
    const auto out = lines(run.out);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(out.end() - 4, out.end()),
              (std::vector<std::string>{"  - KivraInstaller::install: Check manifest content",
                                        "[KivraInstaller::install] Manifest check failed (err 8)",
                                        "[qvinstaller] [qvinstaller] Install failed (err 8)",
                                        "> [qvinstaller] Error"}));
    EXPECT_FALSE(exists("/tmp/seen"));
    EXPECT_FALSE(exists(kStaging + "/version1.txt"));
    EXPECT_FALSE(exists(kStaging + "/version2.txt"));
}

// Nobody holds a lock left by an ended run, whatever it holds: the pid of a live process
// that does not hold it (a killed run's pid given to another process) included.
TEST_F(InstallRunTest, LeftOverLockOfAnyContentRefusesOneRunThatOwnsTheLogAndClearsIt) {
    ASSERT_EQ(::mkdir(kPkg.c_str(), 0755), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        for (;;) ::pause();
    }
    const std::vector<std::string> expected = {
        "> [qvinstaller] Set firmware directory", "  - KivraInstaller::setFwDir: Check Lock",
        "[KivraInstaller::setFwDir] Check file lock failed (err 3)",
        "[qvinstaller] [qvinstaller] Setting Firmware Directory failed (err 3)",
        "> [qvinstaller] Error"};
    for (const std::string& stale :
         {std::string(), std::string("\n"), std::string("busy"), std::string("1"),
          std::string("999999\n"), std::to_string(other) + "\n"}) {
        SCOPED_TRACE("lock holding \"" + stale + "\"");
        writeBytes(kLock, stale);
        writeBytes(kLog, "previous run\n");
        const auto refused = install({kPkg});
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_EQ(lines(refused.out), expected);
        // The run that held the lock has ended: the refused run's lines start the log.
        EXPECT_EQ(lines(readBytes(kLog)), expected);
        EXPECT_FALSE(exists(kLock));
    }
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    // Nothing in the package: the next run gets past the lock and fails on the manifest.
    const auto next = install({kPkg});
    EXPECT_NE(next.out.find("[KivraInstaller::install] Manifest copy to tmp failed (err 10)\n"),
              std::string::npos)
        << next.out;
}

TEST_F(InstallRunTest, ConsoleLinesArriveAsWrittenAndLiveRunsLockSurvivesRefusedRun) {
    pack();
    testing::ProcessResult refused;
    std::string lockDuringRun = "absent";
    int exitStatus = -1;
    const auto timed = installTimed(
        {kPkg}, "> [qvinstaller] Install",
        [&] {
            if (exists(kLock)) lockDuringRun = readBytes(kLock);
            refused = install({"/tmp/src"});
        },
        exitStatus);
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_NE(refused.out.find("Check file lock failed (err 3)"), std::string::npos);
    // The refused run neither removed the live run's lock nor disturbed its progress.
    ASSERT_FALSE(timed.empty());
    EXPECT_EQ(timed.back().text, "> [qvinstaller] Error");
    EXPECT_EQ(timed[timed.size() - 3].text,
              "[KivraInstaller::install] VPD update failed, input error (err 9)");
    EXPECT_EQ(lockDuringRun, "") << "the live run's lock is an empty file";
    // The live run's log is its own console output, untouched by the refused run.
    std::string console;
    for (const auto& line : timed) {
        // The flash handler's own diagnostics go to the console only.
        if (line.text.rfind("VpdHandler::", 0) != 0) console += line.text + "\n";
    }
    EXPECT_EQ(readBytes(kLog), console);
    // Lines written before the two status pauses reached the pipe seconds before the end.
    size_t installLine = 0;
    while (installLine < timed.size() && timed[installLine].text != "> [qvinstaller] Install") {
        ++installLine;
    }
    ASSERT_LT(installLine, timed.size());
    EXPECT_LT(timed[installLine].at + 3.0, timed.back().at);
    EXPECT_FALSE(exists(kLock));
}

TEST_F(InstallRunTest, DryRunFormsOnlyPrintDeprecationAndTouchNothing) {
    writeBytes(kLock, "1\n");
    writeBytes("/tmp/fw_status", "old");
    writeBytes(kLog, "live run\n");
    const std::vector<std::vector<std::string>> forms = {
        {kPkg, "--dry-run"}, {kPkg, "C1", "--dry-run"}, {kPkg, "--dry-run", "C1"}};
    for (const auto& form : forms) {
        const auto run = install(form);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, "> [qvinstaller] dry-run option has been deprecated!\n");
        EXPECT_EQ(readBytes(kLock), "1\n");
        EXPECT_EQ(readBytes("/tmp/fw_status"), "old");
        EXPECT_EQ(readBytes(kLog), "live run\n");
    }
}

TEST_F(InstallRunTest, WrongArgumentCountPrintsUsageAndWritesNothing) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"a", "b", "c", "d"}}) {
        const auto run = install(args);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err,
                  "Syntax is " + testing::binPath("qvinstaller") + " <FIRMWARE_DIR> [CARRIER]\n");
        EXPECT_FALSE(exists(kLog));
        EXPECT_FALSE(exists(kLock));
    }
}

TEST_F(InstallRunTest, BadDigestListEntriesStopWithTheirOwnCode) {
    struct Row {
        std::string list;
        std::string line;
    } rows[] = {
        // A truncated kernel whose digest matches but whose header magic is gone.
        {md5Of(testing::ubootMagic().substr(0, 2)) + " uImage\n",
         "[KivraInstaller::installFirmware] Unable to decrypt uImage (err 1)"},
        {md5Of(images[2].second) + " ../pkg/NTIM.bin\n",
         "[KivraInstaller::installFirmware] Invalid md5 file (err 11)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ASSERT_EQ(::system("rm -rf /tmp/pkg /tmp/src/* /tmp/seen"), 0);
        pack();
        package.encrypted("uImage", testing::ubootMagic().substr(0, 2));
        package.digestList(row.list);
        const auto run = install({kPkg});
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_NE(run.out.find(row.line + "\n[KivraInstaller::install] Firmware install failed"),
                  std::string::npos)
            << run.out;
        EXPECT_TRUE(exists(kPkg + "/NTIM.bin"));
        EXPECT_FALSE(exists("/mnt/hda1/Kvtemp/NTIM.bin"));
        // The page learns the failing operation's own line, not the levels re-raising it.
        EXPECT_EQ(readBytes("/tmp/fw_progress"),
                  "state=failed status=1 step=13 name=install_firmware error=\"" +
                      row.line.substr(row.line.find("] ") + 2) + "\"\n");
    }
}

// The order of system calls, not of log lines: the staged images must be flushed to disk
// before the boot environment in flash is opened to set the update flag.
TEST_F(InstallRunTest, ImagesAreSyncedBeforeFlashIsOpenedForTheFlag) {
    pack();
    const std::string trace = "/tmp/trace.txt";
    std::vector<std::string> args = {"/usr/bin/strace",     "-f", "-qq", "-e",
                                     "trace=syncfs,openat", "-o", trace};
    // In a cross build the emulator runs the installer and passes its calls on one to one.
    const std::vector<std::string> program =
        testing::programCommand({testing::binPath("qvinstaller"), kPkg});
    args.insert(args.end(), program.begin(), program.end());
    const auto run = testing::runProcess(args, env);
    ASSERT_NE(run.out.find("  - KivraInstaller::install: Set environment flag "), std::string::npos)
        << run.out << run.err;
    const std::vector<std::string> calls = lines(readBytes(trace));
    size_t lastStaged = calls.size(), firstSync = calls.size(), flash = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].find("\"/mnt/hda1/fwimages/version2.txt\"") != std::string::npos) {
            lastStaged = i;
        } else if (calls[i].find("syncfs(") != std::string::npos && lastStaged < i &&
                   firstSync == calls.size()) {
            firstSync = i;
        } else if (calls[i].find("\"/dev/mtd0\"") != std::string::npos && flash == calls.size()) {
            flash = i;
        }
    }
    ASSERT_LT(lastStaged, calls.size()) << "version files never written";
    ASSERT_LT(flash, calls.size()) << "flash never opened";
    EXPECT_LT(firstSync, flash) << "no sync between the staged files and the flash update";
}

// The status file goes to user 1002 where that user exists; where it does not (the
// unprivileged sandbox), each of the two status writes says so on the console.
TEST_F(InstallRunTest, StatusFileOwnerChangeIsReportedWhenItFails) {
    pack();
    const auto full = testing::runProcess({testing::binPath("qvinstaller"), kPkg}, env);
    const auto out = lines(full.out);
    const auto install = std::find(out.begin(), out.end(), "> [qvinstaller] Install");
    ASSERT_NE(install, out.end());
    ASSERT_GT(out.end() - install, 3);
    struct stat st {};
    ASSERT_EQ(::stat("/tmp/fw_status", &st), 0);
    if (testing::uidMapped(1002)) {
        EXPECT_EQ(install[1], "  - KivraInstaller::install: Stop Services");
        EXPECT_EQ(st.st_uid, 1002u);
        EXPECT_EQ(st.st_gid, 0u);
    } else {
        EXPECT_EQ(install[1], "failed to change /tmp/fw_status owner");
        EXPECT_EQ(install[2], "failed to change /tmp/fw_status owner");
        EXPECT_EQ(install[3], "  - KivraInstaller::install: Stop Services");
        // The notice is for the console only.
        EXPECT_EQ(readBytes(testing::kLog).find("failed to change"), std::string::npos);
    }
    EXPECT_EQ(readBytes("/tmp/fw_status"), testing::kStatus);
}

// Another user can plant links in /tmp before the installer (root) runs: none of the
// installer's working files there may be written through them.
TEST_F(InstallRunTest, LinksPlantedAtTmpWorkingFilesAreReplacedNotWrittenThrough) {
    pack();
    const std::vector<std::string> planted = {"/tmp/fw_manifest.txt", "/tmp/init.sh",
                                              "/tmp/fw_status",       "/tmp/vpd1.bin",
                                              "/tmp/vpd2.bin",        "/tmp/fw_progress"};
    for (size_t i = 0; i < planted.size(); ++i) {
        const std::string victim = "/tmp/src/victim" + std::to_string(i);
        writeBytes(victim, "system file");
        ASSERT_EQ(::symlink(victim.c_str(), planted[i].c_str()), 0);
    }
    const auto run = install({kPkg});
    ASSERT_NE(run.out.find("  - KivraInstaller::install: Set environment flag "), std::string::npos)
        << run.out;
    for (size_t i = 0; i < planted.size(); ++i) {
        EXPECT_EQ(readBytes("/tmp/src/victim" + std::to_string(i)), "system file") << planted[i];
    }
    struct stat st {};
    ASSERT_EQ(::lstat("/tmp/fw_manifest.txt", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readBytes("/tmp/fw_manifest.txt"), readBytes(kPkg + "/manifest.txt"));
}

TEST_F(InstallRunTest, MissingManifestLeavesEmptyWorkingCopyNotThePreviousRuns) {
    ASSERT_EQ(::mkdir(kPkg.c_str(), 0755), 0);
    writeBytes("/tmp/fw_manifest.txt", "KIVRA_VERSION=old package\n");
    const auto run = install({kPkg});
    EXPECT_NE(run.out.find("[KivraInstaller::install] Manifest copy to tmp failed (err 10)\n"),
              std::string::npos);
    EXPECT_EQ(readBytes("/tmp/fw_manifest.txt"), "");
}

using testing::StandinFlashTest;

struct EndRow {
    const char* rmVersion;  // the package's radio module version; the store holds "1"
    int exitStatus;
};

class InstallToEndTest : public StandinFlashTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(InstallToEndTest, EndsWithItsStatusAndTheFlagInTheOlderCopy) {
    const std::string copy2 = testing::recordOf(testing::sampleVariables(2), 8);
    pack("BIRCH", GetParam().rmVersion);
    const auto run =
        installOn(testing::recordOf(testing::sampleVariables(1), 7) + copy2, {kPkg, "C1"});
    const std::vector<std::string> log = lines(readBytes(kLog));
    ASSERT_GE(log.size(), 3u) << run.out;
    EXPECT_EQ(log[log.size() - 2], "  - KivraInstaller::install: Unlock");
    EXPECT_EQ(log.back(), "> [qvinstaller] End (" + std::to_string(GetParam().exitStatus) + ")");
    EXPECT_EQ(run.exitStatus, GetParam().exitStatus) << run.out << run.err;
    // The newer copy 2 is kept; copy 1 now holds its variables with the flag, one generation on.
    const std::string after = readBytes("/tmp/flash.bin");
    const testing::BootEnvironment boot = testing::chooseBootEnvironment(
        after.substr(kCopy1, kCopySize), after.substr(kCopy2, kCopySize));
    EXPECT_EQ(boot.copy, 1);
    EXPECT_EQ(boot.flag(), 9);
    EXPECT_EQ(boot.variables(), testing::withUpdateFlagSet(testing::sampleVariables(2)));
    EXPECT_EQ(after.substr(kCopy2, kCopySize), copy2);
    EXPECT_EQ(after.substr(0, kCopy1), flash.substr(0, kCopy1));
    EXPECT_EQ(after.substr(kCopy2 + kCopySize), flash.substr(kCopy2 + kCopySize));
    EXPECT_FALSE(exists(kLock));
}

using ProgressRunTest = StandinFlashTest;

// A page draws a bar from the file: it must never go back, and end full with the outcome.
TEST_F(ProgressRunTest, NeverGoesBackAndEndsAt100WithTheExitStatus) {
    images.push_back({"rootfs.recovery", testing::randomBytes(6 << 20, 36)});
    pack("BIRCH", "\"2\"");
    std::atomic<bool> ended{false};
    std::vector<std::string> seen;  // each new line read while the installer runs
    std::thread sampler([&] {
        for (bool last = false; !last;) {
            last = ended;
            std::ifstream in("/tmp/fw_progress");
            std::string line;
            if (std::getline(in, line) && (seen.empty() || seen.back() != line)) {
                seen.push_back(line);
            }
        }
    });
    const auto run = installOn(testing::recordOf(testing::sampleVariables(1), 7) +
                                   testing::recordOf(testing::sampleVariables(2), 8),
                               {kPkg, "C1"});
    ended = true;
    sampler.join();
    ASSERT_EQ(run.exitStatus, 2) << run.out;
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.back(), "state=done status=2 percent=100");
    int last = 0;
    for (const std::string& line : seen) {
        const int percent = std::stoi(line.substr(line.find(" percent=") + 9));
        EXPECT_GE(percent, last) << line;
        last = percent;
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, InstallToEndTest,
                         ::testing::Values(EndRow{"\"1\"", 0}, EndRow{"\"2\"", 2}),
                         [](const auto& info) {
                             return "End" + std::to_string(info.param.exitStatus);
                         });

}  // namespace
}  // namespace KIVRA
