// Runs that cannot finish: a partition that fills at one step, and a stop signal at one phase.
// Neither may end in a success, set the boot environment flag after a failed write, or leave
// behind what stops the next run.

#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "tests/app/install_run_fixture.h"
#include "tests/vpd/env_samples.h"

namespace KIVRA {
namespace {

using testing::kLock;
using testing::kPkg;
using testing::readBytes;

constexpr long kPage = 4096;

long pagesOf(size_t bytes) { return static_cast<long>((bytes + kPage - 1) / kPage); }

// Limits the tmpfs at mount to what it holds now plus pages more.
void leaveFree(const std::string& mount, long pages) {
    struct statfs fs {};
    ASSERT_EQ(::statfs(mount.c_str(), &fs), 0);
    const long used = static_cast<long>(fs.f_blocks - fs.f_bfree) * fs.f_bsize / kPage;
    const std::string size = "size=" + std::to_string((used + pages) * kPage);
    ASSERT_EQ(::mount("tmpfs", mount.c_str(), "tmpfs", MS_REMOUNT, size.c_str()), 0) << mount;
}

class InstallFailureTest : public testing::StandinFlashTest {
protected:
    void SetUp() override {
        StandinFlashTest::SetUp();
        // The data partition as a file system of its own whose size a row sets; the package
        // lies outside it and outside /tmp, so deleting installed files frees neither.
        ASSERT_EQ(::system("mkdir -p /mnt/pkg && mv /mnt/hda1 /mnt/hda1.old && mkdir /mnt/hda1"),
                  0);
        ASSERT_EQ(::mount("tmpfs", "/mnt/hda1", "tmpfs", 0, "size=64m"), 0);
        ASSERT_EQ(::system("cp -a /mnt/hda1.old/. /mnt/hda1/ && rm -rf /mnt/hda1.old"), 0);
        pack();
        ASSERT_EQ(::system("cp -a /tmp/pkg /mnt/pkg/orig && rm -rf /tmp/pkg"), 0);
        prepareFlash(testing::recordOf(testing::sampleVariables(1), 7) +
                     testing::recordOf(testing::sampleVariables(2), 8));
    }

    // A fresh copy of the package, as the device software unpacks it for each run.
    static std::string unpacked(const std::string& from = "/mnt/pkg/orig") {
        EXPECT_EQ(::system(("rm -rf /mnt/pkg/run && cp -a " + from + " /mnt/pkg/run").c_str()), 0);
        return "/mnt/pkg/run";
    }

    // Runs the installer as the leader of its own process group, as a console or a service
    // manager starts it, so that a signal to the group reaches its children too; started()
    // gets the leader. Its output goes to a file, or to a pipe nobody reads (a console gone).
    enum class Console { File, Gone };
    testing::ProcessResult runAsGroup(const std::string& package,
                                      const std::vector<std::string>& extraEnv,
                                      const std::function<void(pid_t)>& started,
                                      Console console = Console::File) {
        const std::string outPath = "/mnt/pkg/out.txt";
        int gone[2];
        EXPECT_EQ(::pipe(gone), 0);
        ::close(gone[0]);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            const int out = console == Console::Gone
                                ? gone[1]
                                : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<std::string> all = env;
            all.insert(all.end(), extraEnv.begin(), extraEnv.end());
            for (const std::string& entry : all) {
                const auto eq = entry.find('=');
                ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
            }
            testing::execProgram(testing::binPath("qvinstaller"), {"qvinstaller", package});
            ::_exit(127);
        }
        ::close(gone[1]);
        (void)::setpgid(pid, pid);  // whichever of the two comes first makes the group
        started(pid);
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        testing::ProcessResult result;
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = console == Console::Gone ? "" : withoutOwnerNotices(readBytes(outPath));
        return result;
    }

    // After a run that failed: it said so, it left the flash as it was, and the next run of
    // the same package installs.
    void expectFailedAndNextRunInstalls(const std::string& out, int exitStatus) {
        EXPECT_EQ(exitStatus, 1) << out;
        const std::vector<std::string> said = testing::lines(out);
        ASSERT_FALSE(said.empty());
        EXPECT_EQ(said.back(), "> [qvinstaller] Error") << out;
        EXPECT_TRUE(readBytes("/tmp/flash.bin") == flash) << "flag set after a failure";
        EXPECT_FALSE(testing::exists(kLock));
        ASSERT_EQ(::mount("tmpfs", "/mnt/hda1", "tmpfs", MS_REMOUNT, "size=64m"), 0);
        ASSERT_EQ(::mount("tmpfs", "/tmp", "tmpfs", MS_REMOUNT, "size=64m"), 0);
        const auto next = install({unpacked()}, testing::flashStandinEnv("/tmp/flash.bin"));
        EXPECT_EQ(next.exitStatus, 0) << next.out;
        EXPECT_FALSE(readBytes("/tmp/flash.bin") == flash) << "next run did not set the flag";
    }
};

// Which file system fills, and how many pages it has left when the run starts.
struct FullRow {
    const char* name;
    const char* mount;
    long (*freePages)(long digestList, long staged);
    const char* line;
};

void PrintTo(const FullRow& row, std::ostream* out) { *out << row.name; }

const FullRow kFullRows[] = {
    {"StatusFile", "/tmp", [](long, long) { return 0L; },
     "[KivraInstaller::install] Unable to write file /tmp/fw_status (err 5)"},
    {"ManifestCopy", "/tmp", [](long, long) { return 1L; },
     "[KivraInstaller::install] Manifest copy to tmp failed (err 10)"},
    // status, manifest copy, script, the script's own file: no room for a working copy.
    {"EnvironmentWorkingCopy", "/tmp", [](long, long) { return 4L; },
     "[KivraInstaller::install] VPD update failed, input error (err 9)"},
    // The log has its page; nothing else fits.
    {"DigestList", "/mnt/hda1", [](long, long) { return 1L; },
     "[KivraInstaller::installFirmware] Unable to decrypt images.md5 (err 1)"},
    {"FirstImage", "/mnt/hda1", [](long list, long) { return 1 + list + 2; },
     "[KivraInstaller::installFirmware] Unable to decrypt uImage (err 1)"},
    {"RunningVersion", "/mnt/hda1", [](long list, long staged) { return 1 + list + staged; },
     "[KivraInstaller::install] Unable to write file /mnt/hda1/fwimages/version1.txt (err 5)"},
    {"NewVersion", "/mnt/hda1", [](long list, long staged) { return 1 + list + staged + 1; },
     "[KivraInstaller::install] Unable to write file /mnt/hda1/fwimages/version2.txt (err 5)"},
};

template <typename Row>
class InstallFailureTestWith : public InstallFailureTest,
                               public ::testing::WithParamInterface<Row> {};
using FullPartitionTest = InstallFailureTestWith<FullRow>;

TEST_P(FullPartitionTest, FailsAtTheStepThatCannotWriteAndNeverSetsTheFlag) {
    long staged = 0;
    for (const auto& [name, content] : images) {
        if (name != "kivrainstaller") {  // runs from the package, never copied
            staged += pagesOf(content.size());
        }
    }
    const long list = pagesOf(readBytes("/mnt/pkg/orig/images.md5").size());
    const std::string package = unpacked();
    leaveFree(GetParam().mount, GetParam().freePages(list, staged));
    const auto run = install({package}, testing::flashStandinEnv("/tmp/flash.bin"));
    EXPECT_NE(run.out.find(std::string(GetParam().line) + "\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("End ("), std::string::npos) << run.out;
    expectFailedAndNextRunInstalls(run.out, run.exitStatus);
}

INSTANTIATE_TEST_SUITE_P(Steps, FullPartitionTest, ::testing::ValuesIn(kFullRows),
                         [](const auto& info) { return std::string(info.param.name); });

enum class Phase { StatusPause, PreInstallScript, Decryption, EnvironmentWrite };

struct StopRow {
    const char* name;
    Phase phase;
    int signal;
    std::vector<std::string> lines;  // the error lines up to the driver's, in this order
};

void PrintTo(const StopRow& row, std::ostream* out) { *out << row.name; }

const StopRow kStopRows[] = {
    {"HangupInStatusPause",
     Phase::StatusPause,
     SIGHUP,
     {"[KivraInstaller::install] Stopped by SIGHUP (err 1)"}},
    {"TermInScript",
     Phase::PreInstallScript,
     SIGTERM,
     {"[KivraInstaller::preInstallRun] Stopped by SIGTERM (err 1)",
      "[KivraInstaller::install] Pre Install Run failed (err 1)"}},
    // system() keeps SIGINT from the installer: only the script's end by it tells.
    {"ConsoleInterruptInScript",
     Phase::PreInstallScript,
     SIGINT,
     {"[KivraInstaller::preInstallRun] Stopped by SIGINT (err 1)",
      "[KivraInstaller::install] Pre Install Run failed (err 1)"}},
    {"TermInDecryption",
     Phase::Decryption,
     SIGTERM,
     {"[KivraInstaller::installFirmware] Stopped by SIGTERM (err 1)",
      "[KivraInstaller::install] Firmware install failed (err 1)"}},
    {"ConsoleInterruptInDecryption",
     Phase::Decryption,
     SIGINT,
     {"[KivraInstaller::installFirmware] Stopped by SIGINT (err 1)",
      "[KivraInstaller::install] Firmware install failed (err 1)"}},
    // Past the last safe point the run completes: empty lines, End (0).
    {"TermInEnvironmentWrite", Phase::EnvironmentWrite, SIGTERM, {}},
};

using StopSignalTest = InstallFailureTestWith<StopRow>;

// Waits (at most 20 s) until ready() holds.
void waitFor(const std::function<bool()>& ready) {
    for (int i = 0; i < 2000 && !ready(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST_P(StopSignalTest, EndsAsAFailedStepThatLeavesTheDeviceInstallable) {
    const StopRow& row = GetParam();
    if (row.phase == Phase::PreInstallScript) {
        // A script still at work when the signal comes (bounded, should it never come).
        ASSERT_EQ(::system("cp -a /mnt/pkg/orig /tmp/pkg"), 0);
        package.encrypted("init.sh",
                          "touch /tmp/script-running\n"
                          "for i in $(seq 200); do sleep 0.1; done\n");
        ASSERT_EQ(::system("mv /tmp/pkg /mnt/pkg/waiting"), 0);
    }
    const std::string package =
        unpacked(row.phase == Phase::PreInstallScript ? "/mnt/pkg/waiting" : "/mnt/pkg/orig");
    std::atomic<pid_t> leader{0};
    auto stop = [&] {
        waitFor([&] { return leader.load() != 0; });
        EXPECT_EQ(::kill(-leader.load(), row.signal), 0);
    };
    const auto standin = testing::flashStandinEnv("/tmp/flash.bin");
    testing::ProcessResult run;
    bool held = true;
    switch (row.phase) {
        case Phase::StatusPause:
            // Its own pauses kept: the signal comes during the first.
            run = runAsGroup(package, {"QV_FLASH_STANDIN=/tmp/flash.bin"}, [&](pid_t pid) {
                leader = pid;
                waitFor([] {
                    return testing::exists("/tmp/fw_status") &&
                           readBytes("/tmp/fw_status") == "1:DONE";
                });
                stop();
            });
            break;
        case Phase::PreInstallScript:
            run = runAsGroup(package, standin, [&](pid_t pid) {
                leader = pid;
                waitFor([] { return testing::exists("/tmp/script-running"); });
                stop();
            });
            break;
        case Phase::Decryption:
        case Phase::EnvironmentWrite:
            // The signal comes while the second image, or the flash, is being opened.
            held = testing::withOpenHeld(
                row.phase == Phase::Decryption ? package + "/rootfs.sqfs" : "/tmp/flash.bin", stop,
                [&] { run = runAsGroup(package, standin, [&](pid_t pid) { leader = pid; }); });
            break;
    }
    if (!held) {
        GTEST_SKIP() << "no fanotify permission events here";
    }
    const std::vector<std::string> said = testing::lines(run.out);
    if (row.lines.empty()) {
        EXPECT_EQ(run.exitStatus, 0) << run.out;
        EXPECT_EQ(said.back(), "> [qvinstaller] End (0)") << run.out;
        EXPECT_FALSE(readBytes("/tmp/flash.bin") == flash) << "flag not set";
        EXPECT_EQ(readBytes("/tmp/fw_status"), testing::kStatus);
        return;
    }
    std::vector<std::string> expected = row.lines;
    expected.push_back("[qvinstaller] [qvinstaller] Install failed (err 1)");
    expected.push_back("> [qvinstaller] Error");
    ASSERT_GE(said.size(), expected.size()) << run.out;
    EXPECT_EQ(std::vector<std::string>(said.end() - static_cast<long>(expected.size()), said.end()),
              expected)
        << run.out;
    // The install does not go on: the status must not ask to stay connected.
    EXPECT_EQ(readBytes("/tmp/fw_status"), "1:DONE");
    expectFailedAndNextRunInstalls(run.out, run.exitStatus);
}

// A console whose reader went away (device software that ended, `| head`) must not kill the run
// half way: the install completes, and its log keeps every line.
TEST_F(InstallFailureTest, AConsoleThatGoesAwayDoesNotEndTheRun) {
    const auto run = runAsGroup(
        unpacked(), testing::flashStandinEnv("/tmp/flash.bin"), [](pid_t) {}, Console::Gone);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(testing::lines(readBytes(testing::kLog)).back(), "> [qvinstaller] End (0)");
}

INSTANTIATE_TEST_SUITE_P(Phases, StopSignalTest, ::testing::ValuesIn(kStopRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace KIVRA
