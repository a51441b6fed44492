// The run's lock file: one run at a time, and a lock left by an ended run never stops the next.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <vector>

#include "installer/install_lock.h"
#include "installer/kivra_installer.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::writeBytes;

const std::string kLock = "/tmp/kivrainstaller.lck";

class InstallLockTest : public testing::InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /tmp/pkg"), 0);
    }
};

// Many runs start at once; the lock must let exactly one of them through.
TEST_F(InstallLockTest, RacingInstallersNeverBothProceed) {
    constexpr int kRuns = 8;
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

// A child process that holds the lock file open and locked (or, with hold false, only
// lives) until it is killed.
pid_t startProcess(bool hold) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (hold) {
            const int fd = ::open(kLock.c_str(), O_RDONLY);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
        }
        (void)!::write(ready[1], "r", 1);
        for (;;) ::pause();
    }
    char c;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    return pid;
}

void stopProcess(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// A lock file nobody holds is left over from an ended run, whatever it contains; the pid of a
// live process that does not hold it (a killed run's pid given to another process) included.
TEST_F(InstallLockTest, ClearingRemovesEveryLockNobodyHoldsAndKeepsAHeldOne) {
    const pid_t other = startProcess(false);
    for (const std::string content : {"", "\n", "busy", "1", "999999\n"}) {
        writeBytes(kLock, content);
        installer::clearInstallLock();
        EXPECT_FALSE(exists(kLock)) << "kept a lock holding \"" << content << "\"";
    }
    writeBytes(kLock, std::to_string(other) + "\n");
    installer::clearInstallLock();
    EXPECT_FALSE(exists(kLock)) << "kept a lock naming a live process that does not hold it";
    stopProcess(other);

    writeBytes(kLock, "");
    const pid_t holder = startProcess(true);
    installer::clearInstallLock();
    EXPECT_TRUE(exists(kLock)) << "a held lock was removed";
    stopProcess(holder);
    installer::clearInstallLock();
    EXPECT_FALSE(exists(kLock)) << "the lock of a killed holder was kept";
}

// setFwDir in a child, as a run does it (the installer ends, then the driver's cleanup);
// returns its code.
int runSetFwDir() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        int code = 0;
        {
            KivraInstaller installer;
            code = installer.setFwDir("/tmp/pkg");
        }
        installer::clearInstallLock();
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(InstallLockTest, RunKilledAtAnyMomentLeavesNoTempFileAndRefusesAtMostOneRun) {
    std::mt19937 random(13);
    const std::vector<std::string> before = testing::dirEntries("/tmp");
    for (int i = 0; i < 20; ++i) {
        const pid_t run = ::fork();
        if (run == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            KivraInstaller installer;
            (void)installer.setFwDir("/tmp/pkg");
            for (;;) ::pause();
        }
        ::usleep(random() % 2000);
        stopProcess(run);
        std::vector<std::string> after = testing::dirEntries("/tmp");
        after.erase(std::remove(after.begin(), after.end(), "kivrainstaller.lck"), after.end());
        EXPECT_EQ(after, before) << "kill " << i;
        const int first = runSetFwDir();
        if (first == KivraInstaller::LockExists) {
            EXPECT_EQ(runSetFwDir(), 0) << "kill " << i << ": the left-over lock stayed";
        } else {
            EXPECT_EQ(first, 0) << "kill " << i;
        }
    }
}

}  // namespace
}  // namespace KIVRA
