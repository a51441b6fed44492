// scripts/sandbox started from inside the directories it replaces: the command never sees the
// /tmp or /mnt it was started from, or the sandbox refuses with 125. This test runs in a
// sandbox itself, so the "host" here is the outer sandbox's fresh /tmp and /mnt.

#include <sys/stat.h>

#include <string>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::writeBytes;

TEST(Sandbox, NeverBindsTheHostsTmpOrMntBackOverTheFreshOnes) {
    ASSERT_TRUE(testing::inSandbox());
    writeBytes("/tmp/host-file", "host");
    ASSERT_EQ(::mkdir("/tmp/sub", 0755), 0);
    ASSERT_EQ(::mkdir("/mnt/work", 0755), 0);
    // A command that shows what it finds in /tmp and /mnt, in a directory of its own.
    for (const char* path : {"/tmp/sub/list", "/tmp/list"}) {
        writeBytes(path, "#!/bin/sh\necho /tmp/* /mnt/*\n");
        ASSERT_EQ(::chmod(path, 0755), 0);
    }
    const struct {
        const char* cwd;
        const char* command;
        int status;
        const char* expected;  // standard output, or for 125 the sandbox's reason
    } rows[] = {
        {"/", "/tmp/sub/list", 0, "/tmp/sub /mnt/*\n"},
        {"/tmp/sub", "/tmp/sub/list", 0, "/tmp/sub /mnt/*\n"},
        {"/tmp", "/tmp/sub/list", 125,
         "sandbox: the working directory /tmp lies in /tmp, which the sandbox replaces with a "
         "fresh tmpfs; run from another directory\n"},
        {"/mnt/work", "/tmp/sub/list", 125,
         "sandbox: the working directory /mnt/work lies in /mnt, which the sandbox replaces with "
         "a fresh tmpfs; run from another directory\n"},
        {"/", "/tmp/list", 125,
         "sandbox: /tmp holds the checkout or the command; binding it back would hand the "
         "command the host's /tmp\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.cwd) + " " + row.command);
        const auto result = testing::runProcess(
            {"/bin/sh", "-c", std::string("cd ") + row.cwd + " && exec \"$0\" -- " + row.command,
             testing::sourcePath("scripts/sandbox")});
        EXPECT_EQ(result.exitStatus, row.status) << result.err;
        EXPECT_EQ(row.status == 0 ? result.out : result.err, row.expected);
    }
}

}  // namespace
}  // namespace KIVRA
