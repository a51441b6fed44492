#include "qvsystemtools/device_queries.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "qvsystemtools/dir_ops.h"
#include "tests/qvsystemtools/scoped_mount.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace qvsystemtools {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;

constexpr char kHelperVariable[] = "QV_TEST_REQUEST_REBOOT";

// Started again under a chosen invocation name (see runNamed), this program makes one reboot
// request and ends before any test runs.
const bool kRequestHelper = [] {
    const char* mode = std::getenv(kHelperVariable);
    if (mode == nullptr) {
        return false;
    }
    ::_exit(requestReboot(std::strcmp(mode, "reset") == 0));
}();

int runNamed(const std::string& invocationName, const char* mode) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv(kHelperVariable, mode, 1);
        testing::execProgram("/proc/self/exe", {invocationName});
        ::_exit(126);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class EmmcTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        struct statfs fs {};
        ASSERT_EQ(::statfs("/sys/block", &fs), 0);
        ASSERT_EQ(fs.f_type, static_cast<decltype(fs.f_type)>(TMPFS_MAGIC))
            << "/sys/block is not the sandbox's tmpfs: run through scripts/sandbox --fake-sys";
        clear();
    }
    void TearDown() override { clear(); }

    static void clear() {
        if (exists("/sys/block/mmcblk0")) {
            (void)removeDir("/sys/block/mmcblk0");
        }
    }

    static void attribute(const std::string& relative, const std::string& content) {
        const std::string path = "/sys/block/mmcblk0/" + relative;
        const std::string parent = path.substr(0, path.rfind('/'));
        (void)::mkdir("/sys/block/mmcblk0", 0755);
        (void)::mkdir(parent.c_str(), 0755);
        writeBytes(path, content);
    }
};

TEST_F(EmmcTest, DeviceWithoutEmmcGivesNoFileAndKeepsOutputs) {
    int size = 4711;
    std::string name = "kept";
    EXPECT_EQ(readEmmcBootSize(size), TOOL_ERR_NO_FILE);
    EXPECT_EQ(readEmmcName(name), TOOL_ERR_NO_FILE);
    EXPECT_EQ(size, 4711);
    EXPECT_EQ(name, "kept");

    ASSERT_EQ(::mkdir("/sys/block/mmcblk0", 0755), 0);
    ASSERT_EQ(::mkdir("/sys/block/mmcblk0/mmcblk0boot0", 0755), 0);
    ASSERT_EQ(::mkdir("/sys/block/mmcblk0/mmcblk0boot0/size", 0755), 0);  // not a file
    EXPECT_EQ(readEmmcBootSize(size), TOOL_ERR_NO_FILE);
}

TEST_F(EmmcTest, BootSizeIsReadOnlyFromADecimalValue) {
    const struct {
        const char* content;
        ToolStatus status;
        int size;
    } rows[] = {
        {"8192\n", TOOL_OK, 8192},
        {"4096", TOOL_OK, 4096},
        {" \t16\n", TOOL_OK, 16},
        {"abc\n", TOOL_ERR_READ, 4711},
        {"", TOOL_ERR_READ, 4711},  // nothing read is not a value
        {"\n", TOOL_ERR_READ, 4711},
        {"99999999999\n", TOOL_ERR_READ, 4711},  // out of range, not clipped
        {"99999999999", TOOL_ERR_READ, 4711},
    };
    for (const auto& row : rows) {
        attribute("mmcblk0boot0/size", row.content);
        int size = 4711;
        EXPECT_EQ(readEmmcBootSize(size), row.status) << row.content;
        EXPECT_EQ(size, row.size) << row.content;
    }
}

TEST_F(EmmcTest, NameIsFirstWordOfAttribute) {
    const struct {
        const char* content;
        ToolStatus status;
        const char* name;
    } rows[] = {
        {"MMC32G\n", TOOL_OK, "MMC32G"}, {"  S0J56X more\n", TOOL_OK, "S0J56X"},
        {"DG4008", TOOL_OK, "DG4008"},   {"", TOOL_ERR_READ, "kept"},
        {" \n", TOOL_ERR_READ, "kept"},
    };
    for (const auto& row : rows) {
        attribute("device/name", row.content);
        std::string name = "kept";
        EXPECT_EQ(readEmmcName(name), row.status) << row.content;
        EXPECT_EQ(name, row.name) << row.content;
    }
}

class RequestRebootTest : public testing::SandboxTest {
protected:
    static constexpr const char* kService = "/usr/sbin/RequestReboot";
    static constexpr const char* kRecord = "/tmp/reboot-args";

    // A stand-in for the reboot service on a tmpfs over /usr/sbin (the host need not have
    // the real one): it records its argument count and arguments and exits with 4.
    void SetUp() override {
        SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(sbin_.tmpfs("/usr/sbin"), "");
        writeBytes(kService,
                   "#!/bin/sh\n"
                   "{ echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > " +
                       std::string(kRecord) + "\nexit 4\n");
        ASSERT_EQ(::chmod(kService, 0755), 0);
        (void)::unlink(kRecord);
    }

    static std::string invocationName() {
        const std::string cmdline = readBytes("/proc/self/cmdline");
        return cmdline.substr(0, cmdline.find('\0'));
    }

    testing::ScopedMount sbin_;
};

TEST_F(RequestRebootTest, AsksServiceToRebootNamingThisProgram) {
    EXPECT_EQ(requestReboot(false), 4);
    EXPECT_EQ(readBytes(kRecord), "4\n-c\nreboot\n-p\n" + invocationName() + "\n");
}

TEST_F(RequestRebootTest, AsksServiceToResetToDefaults) {
    EXPECT_EQ(requestReboot(true), 4);
    EXPECT_EQ(readBytes(kRecord), "4\n-c\nresettodefaults\n-p\n" + invocationName() + "\n");
}

TEST_F(RequestRebootTest, InvocationNameWithShellMetacharactersIsOneArgumentAndRunsNothing) {
    const std::string names[] = {
        "x;touch /tmp/pwned",
        "it's $(touch /tmp/pwned) `touch /tmp/pwned` > /tmp/pwned | true & \\",
    };
    for (const std::string& name : names) {
        (void)::unlink(kRecord);
        EXPECT_EQ(runNamed(name, "reset"), 4) << name;
        EXPECT_EQ(readBytes(kRecord), "4\n-c\nresettodefaults\n-p\n" + name + "\n");
        EXPECT_FALSE(exists("/tmp/pwned")) << name;
    }
}

TEST_F(RequestRebootTest, MissingServiceIsReportedAsShellNotFoundCode) {
    ASSERT_EQ(::unlink(kService), 0);
    EXPECT_EQ(requestReboot(false), 127);
}

}  // namespace
}  // namespace qvsystemtools
}  // namespace KIVRA
