#include "qvsystemtools/command.h"

#include <sys/time.h>

#include <csignal>
#include <random>
#include <string>

#include "qvsystemtools/tool_status.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace qvsystemtools {
namespace {

using testing::exists;
using testing::TempDir;

class CommandTest : public testing::SandboxTest {};

TEST(IsSafeCommandTest, RefusesChainingExpansionRedirectionAndLeadingDash) {
    const struct {
        const char* command;
        bool safe;
    } rows[] = {
        {"", true},       {"ls -l /tmp", true}, {"echo 'a' \"b\" (c) *?[x] # ! ~\nnext", true},
        {"-rf /", false}, {"a;b", false},       {"a&b", false},
        {"a|b", false},   {"a`b`", false},      {"a$b", false},
        {"a\\b", false},  {"a<b", false},       {"a>b", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isSafeCommand(row.command), row.safe) << row.command;
    }
}

TEST_F(CommandTest, RunCommandWithCheckOneRefusesUnsafeCommandAndRunsNothing) {
    TempDir dir;
    const std::string command = "touch " + dir / "a" + "; touch " + dir / "b";
    bool executed = true;
    EXPECT_EQ(runCommand(command, executed, 1), TOOL_ERR_UNSAFE_COMMAND);
    EXPECT_TRUE(executed) << "a refused command must leave executed untouched";
    executed = false;
    EXPECT_EQ(runCommand(command, executed, 1), TOOL_ERR_UNSAFE_COMMAND);
    EXPECT_FALSE(executed);
    EXPECT_FALSE(exists(dir / "a"));
    EXPECT_FALSE(exists(dir / "b"));

    // Only the value 1 turns the check on.
    EXPECT_EQ(runCommand(command, 2), 0);
    EXPECT_TRUE(exists(dir / "a"));
    EXPECT_TRUE(exists(dir / "b"));
}

TEST_F(CommandTest, RunCommandWithoutCheckHandsChainedCommandToShell) {
    TempDir dir;
    bool executed = false;
    EXPECT_EQ(runCommand("touch " + dir / "a" + "; touch " + dir / "b", executed), 0);
    EXPECT_TRUE(executed);
    EXPECT_TRUE(exists(dir / "b"));
}

TEST(RunCommandTest, ReturnsExitCodeOfCommand) {
    bool executed = false;
    EXPECT_EQ(runCommand("exit 3", executed), 3);
    EXPECT_TRUE(executed);
    EXPECT_EQ(runCommand("exit 255"), 255);
    EXPECT_EQ(runCommand("qv-no-such-command-anywhere"), 127);
    EXPECT_EQ(runCommand(""), 0);
}

TEST(RunCommandTest, DecodesSignalDeathByExitCodeRuleAsZero) {
    bool executed = false;
    // The shell itself is killed: the wait status holds only the signal number.
    EXPECT_EQ(runCommand("kill -9 $$", executed), 0);
    EXPECT_TRUE(executed);
    int status = -1;
    (void)execCommand("kill -9 $$", status, 0);
    EXPECT_EQ(status, 0);
    // The signal itself is told apart only by the form that reports how the shell ended.
    const CommandEnd end = runCommandEnd("kill -INT $$");
    EXPECT_TRUE(end.executed);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.signal, SIGINT);
    EXPECT_EQ(runCommandEnd("exit 3").signal, 0);
}

TEST(ExecCommandTest, ReturnsStandardOutputWithLineEndsAndNoStandardError) {
    int status = -1;
    EXPECT_EQ(execCommand("printf 'one\\ntwo\\n'; echo err >&2", status, 0), "one\ntwo\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(execCommand("echo x; exit 3", status, 0), "x\n");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(execCommand("printf last"), "last");
}

TEST_F(CommandTest, ExecCommandTellsSilentCommandFromRefusedOne) {
    TempDir dir;
    int status = -1;
    EXPECT_EQ(execCommand("true", status, 0), "");
    EXPECT_EQ(status, 0);

    status = 7;
    EXPECT_EQ(execCommand("echo hi; touch " + dir / "ran", status, 1), "");
    EXPECT_EQ(status, -1);
    EXPECT_FALSE(exists(dir / "ran"));
    EXPECT_EQ(execCommand("echo hi > " + dir / "ran", 1), "");
    EXPECT_FALSE(exists(dir / "ran"));
}

TEST_F(CommandTest, ExecCommandReturnsLinesLongerThanReadBufferWhole) {
    TempDir dir;
    std::mt19937 engine(42);
    std::string expected;
    // Around the 1023-character read size and well past it, and a last line without an end.
    for (const size_t length : {1022u, 1023u, 1024u, 1025u, 2046u, 2047u, 5000u, 3000u}) {
        std::string line(length, 'a');
        for (char& c : line) {
            c = static_cast<char>('a' + engine() % 26);
        }
        expected += line;
        if (length != 3000u) {
            expected += '\n';
        }
    }
    testing::writeBytes(dir / "long", expected);
    EXPECT_EQ(execCommand("cat " + shellQuote(dir / "long")), expected);
}

void onAlarm(int) {}

TEST(ExecCommandTest, SignalsDuringSlowOutputDoNotCutItShort) {
    // A handler without SA_RESTART, as a program may install: every read of the pipe that a
    // timer signal interrupts fails with EINTR.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = onAlarm;
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
    const itimerval every5ms = {{0, 5000}, {0, 5000}};
    const itimerval off = {};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every5ms, nullptr), 0);
    int status = -1;
    // Pieces of one line arrive apart, so a read is interrupted in the middle of a line too.
    const std::string output = execCommand(
        "for i in 1 2 3 4 5; do printf $i; sleep 0.05; echo; sleep 0.05; done", status, 0);
    EXPECT_EQ(::setitimer(ITIMER_REAL, &off, nullptr), 0);
    EXPECT_EQ(::sigaction(SIGALRM, &previous, nullptr), 0);
    EXPECT_EQ(output, "1\n2\n3\n4\n5\n");
    EXPECT_EQ(status, 0);
}

TEST(ExecCommandTest, DropsBytesAfterNulWithinLine) {
    EXPECT_EQ(execCommand("printf 'ab\\000cd\\nef\\n'"), "abef\n");
}

TEST_F(CommandTest, ShellQuoteReachesProgramAsOneUnchangedArgument) {
    TempDir dir;
    const std::string marker = dir / "pwned";
    std::vector<std::string> values = {
        "",
        "plain",
        "two words",
        "it's",
        "''",
        "'\\''",
        "\\",
        "a\nb",
        "-n",
        "*",
        "~",
        "$(touch " + marker + ")",
        "`touch " + marker + "`",
        "x;touch " + marker,
        "$HOME",
        "\"q\"",
    };
    std::mt19937 engine(7);
    for (int i = 0; i < 20; ++i) {
        std::string value(1 + engine() % 40, '\0');
        for (char& c : value) {
            c = static_cast<char>(1 + engine() % 255);  // every byte but NUL
        }
        values.push_back(value);
    }
    for (const std::string& value : values) {
        int status = -1;
        EXPECT_EQ(execCommand("printf '%s' " + shellQuote(value), status, 0), value);
        EXPECT_EQ(status, 0);
    }
    EXPECT_FALSE(exists(marker));
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
}

}  // namespace
}  // namespace qvsystemtools
}  // namespace KIVRA
