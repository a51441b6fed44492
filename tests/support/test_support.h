#pragma once
// Helpers shared by the test suites.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace KIVRA {
namespace testing {

// Runs body on a thread of its own on which every read of a directory's entries fails with
// EIO, as on a damaged medium; false (body not run) where no seccomp filter can be set, as
// under the user-mode emulator.
bool withFailingDirectoryReads(const std::function<void()>& body);

// Runs body while its first open of path is held by the kernel (a fanotify permission event)
// until `meanwhile`, run on another thread, has done what a second user would do at that
// moment: the race is won every time. False (body not run) where the kernel or the emulator
// offers no permission events.
bool withOpenHeld(const std::string& path, const std::function<void()>& meanwhile,
                  const std::function<void()>& body);

// True inside a private mount namespace made by scripts/sandbox or the device harness.
bool inSandbox();

// A test that touches the installer's fixed paths (/tmp, /mnt, /sys) derives from this
// fixture: it fails at once, touching nothing, outside the sandbox.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;

    // A directory of this test's own below /tmp, made on first use (inside the sandbox only).
    const TempDir& tempDir();

private:
    std::unique_ptr<TempDir> tempDir_;
};

// Owns the process's install log (qvcommontools::logInstallFile) for a test: the log is closed
// when the owner goes, so the next test of the process starts its log afresh.
class ScopedInstallLog {
public:
    ScopedInstallLog() = default;
    ~ScopedInstallLog();
    ScopedInstallLog(const ScopedInstallLog&) = delete;
    ScopedInstallLog& operator=(const ScopedInstallLog&) = delete;
};

// A test of installer steps run in this process: the log directory exists and the log is
// closed after the test.
class InstallerTest : public SandboxTest {
protected:
    void SetUp() override;

private:
    ScopedInstallLog log_;
};

// Describes /dev/mtd0 in the sandbox's /sys/class/mtd as the flash stand-in shows it (see
// flashStandinEnv): a NOR device of size bytes with 64 KiB erase blocks.
void describeStandinFlash(uint32_t size);

std::string readBytes(const std::string& path);  // whole file; throws if missing
void writeBytes(const std::string& path, const std::string& data);
bool exists(const std::string& path);                          // lstat succeeds
std::vector<std::string> dirEntries(const std::string& path);  // sorted, without . and ..
std::string randomBytes(size_t length, unsigned seed);         // deterministic

struct ProcessResult {
    int exitStatus = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv (argv[0] is a path) with extra environment entries "K=V" (an entry "K" alone
// removes K), capturing standard output and standard error. In a cross build a program of
// the target architecture (one of ours) is started through the emulator the build was
// configured with (QV_TEST_EMULATOR in the environment overrides it; empty runs it directly);
// host programs and scripts run as they are.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, const std::string& input = "");

// The command line that runs argv: argv itself, or, for a target program of a cross build
// (one of ours), the emulator followed by argv. For tools that start a program themselves
// (strace, timeout).
std::vector<std::string> programCommand(const std::vector<std::string>& argv);

// True where every program run costs many times a native one: under the user-mode emulator,
// or built with AddressSanitizer. Tables that repeat one check over many runs take a sample
// there; the native tiers run them whole.
bool slowRuns();

// Replaces the calling process (a forked child) by the program at path with argv, argv[0]
// being any name; a target program of a cross build runs through the emulator, as in
// runProcess. Returns only when the program could not be started.
void execProgram(const std::string& path, const std::vector<std::string>& argv);

// Environment entries for runProcess that make sleep(3) return at once in the program run
// (through the emulator in a cross build), for runs that need not wait out the installer's
// status pauses. Shell commands the program starts still sleep as usual.
std::vector<std::string> noSleepEnv();

// Environment entries that have the boot flash /dev/mtd0 answered by the regular file image
// (an MTD character device 90:0 to the program, described in /sys/class/mtd/mtd0 by the test)
// through a preloaded stand-in, for whole installs where no MTD kernel runs. Under the
// user-mode emulator the stand-in goes to the emulated program only.
std::vector<std::string> flashStandinEnv(const std::string& image);

// True when uid is mapped in this process's user namespace, so files can be given to it
// (false in the unprivileged sandbox, which maps only the caller as root).
bool uidMapped(unsigned uid);

// Runs body in a forked child whose user and group are uid and gid (no supplementary
// groups) and returns the child's exit code: body's result, or -1 when the identity could not
// be taken or the child did not exit. Needs root and uid mapped (see uidMapped).
int runAsUser(unsigned uid, unsigned gid, const std::function<int()>& body);

// Path of a program built by this project: QV_BIN_DIR + "/" + name.
std::string binPath(const std::string& name);
// Path inside the source tree.
std::string sourcePath(const std::string& relative);

// Splits text into lines at "\n" (a final "\n" does not make an empty last line).
std::vector<std::string> lines(const std::string& text);

}  // namespace testing
}  // namespace KIVRA
