// qvenv on record files, and on /dev/mtd0 answered by the flash stand-in.

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/vpd/env_layout.h"
#include "tests/vpd/record_builder.h"
#include "vpd/vpd_updater.h"

namespace KIVRA {
namespace {

using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::ProcessResult;
using testing::readBytes;
using testing::RecordBuilder;
using testing::writeBytes;

class QvenvTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        testing::SandboxTest::SetUp();
        if (!HasFatalFailure()) {
            file = tempDir() / "env.bin";
        }
    }

    ProcessResult qvenv(std::vector<std::string> args) const {
        args.insert(args.begin(), testing::binPath("qvenv"));
        return testing::runProcess(args);
    }

    std::string file;
};

TEST_F(QvenvTest, HelpPrintsUsageAndSucceeds) {
    const auto result = qvenv({"--help"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out.rfind("Usage: qvenv [--file FILE [--offsets A,B] | --type N]", 0), 0U)
        << result.out;
    EXPECT_EQ(result.err, "");
    const auto version = qvenv({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out.rfind("qvenv ", 0), 0U) << version.out;
}

TEST_F(QvenvTest, PrintsAllVariablesOrTheNamedOnes) {
    writeBytes(file, RecordBuilder().add("a=1").add("b=x=y").add("c=").bytes());
    auto result = qvenv({"--file", file, "print"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "a=1\nb=x=y\nc=\n");
    result = qvenv({"--file", file, "print", "c", "a"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "c=\na=1\n");
}

TEST_F(QvenvTest, UndefinedNameIsReportedAndFails) {
    writeBytes(file, RecordBuilder().add("a=1").bytes());
    const auto result = qvenv({"--file", file, "print", "a", "none"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "a=1\n## Error: \"none\" not defined\n");
}

TEST_F(QvenvTest, HeaderShowsCrcAndFlag) {
    const RecordBuilder builder = RecordBuilder().add("a=1").withFlag(0x2A);
    writeBytes(file, builder.bytes());
    char crc[16];
    std::snprintf(crc, sizeof crc, "%x", testing::referenceCrc32(builder.area()));
    const auto result = qvenv({"--file", file, "--header", "print"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, std::string("# VPD content:\na=1\n# VPD CRC:\n - 0x") + crc +
                              "\n# VPD Flag:\n - 0x2a\n");
}

TEST_F(QvenvTest, SetAddsChangesAndRemovesKeepingTheFlag) {
    writeBytes(file, RecordBuilder().add("a=1").add("b=2").paddedWith('\xff').withFlag(7).bytes());
    ASSERT_EQ(qvenv({"--file", file, "set", "c", "three words"}).exitStatus, 0);
    ASSERT_EQ(qvenv({"--file", file, "set", "a", "10"}).exitStatus, 0);
    ASSERT_EQ(qvenv({"--file", file, "set", "b"}).exitStatus, 0);
    EXPECT_EQ(readBytes(file),
              RecordBuilder().add("a=10").add("c=three words").withFlag(7).bytes());
}

TEST_F(QvenvTest, SetOnMissingFileCreatesAFreshRecord) {
    const auto result = qvenv({"--file", file, "set", "fwupdate_flag", "1"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(readBytes(file), RecordBuilder().add("fwupdate_flag=1").bytes());
}

TEST_F(QvenvTest, BadCrcFileIsRefusedAndKept) {
    const std::string bad = RecordBuilder().add("a=1").withBadCrc().bytes();
    writeBytes(file, bad);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--file", file, "print"}, {"--file", file, "set", "a", "2"}}) {
        const auto result = qvenv(args);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, "qvenv: " + file + ": CRC error, invalid file\n");
    }
    EXPECT_EQ(readBytes(file), bad);
}

TEST_F(QvenvTest, ErrorsNameTheFileAndTheCause) {
    const std::string good = RecordBuilder().add("a=1").bytes();
    writeBytes(file, good);
    writeBytes(tempDir() / "short.bin", good.substr(0, 65535));
    ASSERT_EQ(::mkdir((tempDir() / "dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((tempDir() / "nowhere").c_str(), (tempDir() / "dangling").c_str()), 0);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {{"--file", tempDir() / "missing.bin", "print"},
         "qvenv: " + (tempDir() / "missing.bin") + ": no such file\n"},
        {{"--file", tempDir() / "short.bin", "print"},
         "qvenv: " + (tempDir() / "short.bin") +
             ": 65535 bytes; a record is 65536 bytes (a flash dump needs --offsets A,B)\n"},
        {{"--file", tempDir() / "dir", "print"},
         "qvenv: " + (tempDir() / "dir") + ": not a regular file\n"},
        {{"--file", tempDir() / "dangling", "set", "a", "1"},
         "qvenv: " + (tempDir() / "dangling") + ": a link to nothing\n"},
        {{"--file", file, "set", "a=b", "1"}, "qvenv: variable name \"a=b\" holds \"=\"\n"},
        {{"--file", file, "set", "", "1"}, "qvenv: empty variable name\n"},
        {{"--file", file, "set", "big", std::string(70000, 'v')},
         "qvenv: " + file + ": no room left for the end of the record: 4479 bytes over\n"},
    };
    for (const auto& row : rows) {
        const auto result = qvenv(row.args);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, row.err);
    }
    EXPECT_EQ(readBytes(file), good);
    EXPECT_FALSE(testing::exists(tempDir() / "nowhere"));
}

TEST_F(QvenvTest, PrintsAValueAloneAndSetsAScriptInOneWrite) {
    writeBytes(file, RecordBuilder().add("a=1").add("b=2").withFlag(3).bytes());
    auto result = qvenv({"--file", file, "print", "-n", "b"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "2\n");
    result = qvenv({"--file", file, "print", "-n", "none"});
    EXPECT_EQ(result.exitStatus, 1);

    const std::string script = tempDir() / "script";
    writeBytes(script, "# a comment\n\nc three words\r\nb\n  a   10\n");
    result = qvenv({"--file", file, "set", "--script", script});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(readBytes(file),
              RecordBuilder().add("a=10").add("c=three words").withFlag(3).bytes());

    // One bad line refuses the whole script, before anything is written.
    writeBytes(script, "d 4\nx=y 1\n");
    result = qvenv({"--file", file, "set", "--script", script});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvenv: " + script + ":2: variable name \"x=y\" holds \"=\"\n");
    EXPECT_EQ(readBytes(file),
              RecordBuilder().add("a=10").add("c=three words").withFlag(3).bytes());
}

// A flash dump read out of a device: the two copies at their offsets, as U-Boot's own
// userspace tools see them with a configuration naming the dump at those offsets.
TEST_F(QvenvTest, FlashDumpAgreesWithFwPrintenvInBothDirections) {
    if (::access("/usr/bin/fw_printenv", X_OK) != 0 || ::access("/usr/bin/fw_setenv", X_OK) != 0) {
        GTEST_SKIP() << "fw_printenv/fw_setenv (Debian package libubootenv-tool) not installed";
    }
    constexpr uint32_t kA = 0x20000, kB = 0x40000;
    const std::string dump = tempDir() / "flash.dump";
    std::string flash(0x80000, '\xff');
    flash.replace(kA, 0x10000, RecordBuilder().add("bootdelay=3").withFlag(4).bytes());
    flash.replace(kB, 0x10000, RecordBuilder().add("bootdelay=2").withFlag(3).bytes());
    writeBytes(dump, flash);
    const std::string config = tempDir() / "fw_env.config";
    writeBytes(config, dump + " 0x20000 0x10000\n" + dump + " 0x40000 0x10000\n");
    const std::vector<std::string> at = {"--file", dump, "--offsets", "0x20000,0x40000"};
    const auto withDump = [&](std::vector<std::string> args) {
        args.insert(args.begin(), at.begin(), at.end());
        return args;
    };

    // qvenv writes, fw_printenv reads: the newer copy with the change, over the older one.
    ASSERT_EQ(qvenv(withDump({"set", "board", "kv-1"})).exitStatus, 0);
    EXPECT_EQ(readBytes(dump).substr(kA, 0x10000),
              RecordBuilder().add("bootdelay=3").withFlag(4).bytes())
        << "the newer copy must stay as it was";
    auto theirs = testing::runProcess({"/usr/bin/fw_printenv", "-c", config});
    EXPECT_EQ(theirs.exitStatus, 0) << theirs.err;
    EXPECT_EQ(theirs.out, "board=kv-1\nbootdelay=3\n");  // fw_printenv sorts by name

    // fw_setenv writes, qvenv reads.
    theirs = testing::runProcess({"/usr/bin/fw_setenv", "-c", config, "bootdelay", "0"});
    ASSERT_EQ(theirs.exitStatus, 0) << theirs.err;
    const auto ours = qvenv(withDump({"print"}));
    EXPECT_EQ(ours.exitStatus, 0) << ours.err;
    EXPECT_EQ(ours.out, "board=kv-1\nbootdelay=0\n");  // in the order fw_setenv wrote
    EXPECT_EQ(qvenv(withDump({"print", "-n", "board"})).out, "kv-1\n");
}

// Two factory copies written by mkenvimage -r carry the same flag: U-Boot and fw_printenv read
// copy 1, and so must qvenv, writing over copy 2. A record filled to its last byte has no empty
// string to end its list, and fw_printenv cannot read it: the largest record qvenv writes is
// one byte short of that.
TEST_F(QvenvTest, EqualFlagsAndAFullRecordAreReadAsFwPrintenvReadsThem) {
    if (::access("/usr/bin/mkenvimage", X_OK) != 0 || ::access("/usr/bin/fw_printenv", X_OK) != 0) {
        GTEST_SKIP() << "mkenvimage or fw_printenv (u-boot-tools, libubootenv-tool) missing";
    }
    std::string copies;
    for (const char* variables : {"b=1\n", "b=2\n"}) {
        writeBytes(tempDir() / "env.txt", variables);
        ASSERT_EQ(testing::runProcess({"/usr/bin/mkenvimage", "-r", "-s", "0x10000", "-o", file,
                                       tempDir() / "env.txt"})
                      .exitStatus,
                  0);
        copies += readBytes(file);
    }
    const std::string dump = tempDir() / "flash.dump";
    writeBytes(dump, copies);
    writeBytes(tempDir() / "fw_env.config", dump + " 0x0 0x10000\n" + dump + " 0x10000 0x10000\n");
    const auto fwPrintenv = [&] {
        return testing::runProcess({"/usr/bin/fw_printenv", "-c", tempDir() / "fw_env.config"}).out;
    };
    EXPECT_EQ(fwPrintenv(), "b=1\n");
    const std::vector<std::string> at = {"--file", dump, "--offsets", "0,0x10000", "set", "a"};
    const auto set = [&](size_t valueBytes) {
        std::vector<std::string> args = at;
        args.emplace_back(valueBytes, 'v');
        return qvenv(args);
    };
    // Beside "b=1", "a=" + value, their NULs and the ending NUL fill the area with these.
    constexpr size_t kFits = VpdUpdater::kAreaSize - 8;
    const auto refused = set(kFits + 1);
    EXPECT_EQ(refused.err,
              "qvenv: " + dump + ": no room left for the end of the record: 1 byte over\n");
    EXPECT_TRUE(readBytes(dump) == copies);
    ASSERT_EQ(set(kFits).exitStatus, 0);
    EXPECT_TRUE(readBytes(dump).substr(0, kEnvCopySize) == copies.substr(0, kEnvCopySize));
    EXPECT_TRUE(fwPrintenv() == "a=" + std::string(kFits, 'v') + "\nb=1\n");
}

// The same refusal in flash mode, nothing written (the file mode's is among the errors).
TEST_F(QvenvTest, AChangeLeavingNoRoomForTheEndOfTheRecordIsRefusedOnFlash) {
    testing::describeStandinFlash(0x100000);
    const std::string image = tempDir() / "flash.bin";
    std::string flash(0x100000, '\xff');
    flash.replace(kEnvCopy1, kEnvCopySize, RecordBuilder().add("b=1").withFlag(1).bytes());
    writeBytes(image, flash);
    const auto result = testing::runProcess({testing::binPath("qvenv"), "--type", "2", "set", "a",
                                             std::string(VpdUpdater::kAreaSize - 4, 'v')},
                                            testing::flashStandinEnv(image));
    EXPECT_EQ(result.err, "qvenv: no room left for the end of the record: 4 bytes over\n");
    EXPECT_TRUE(readBytes(image) == flash);
}

TEST_F(QvenvTest, FlashDumpWithoutAValidCopyOrTooShortIsRefusedUntouched) {
    const std::string dump = tempDir() / "flash.dump";
    const std::string erased(0x30000, '\xff');
    writeBytes(dump, erased);
    auto result = qvenv({"--file", dump, "--offsets", "0,0x10000", "set", "a", "1"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "qvenv: " + dump + ": no valid copy at 0x0 or 0x10000 (erased or damaged)\n");
    result = qvenv({"--file", dump, "--offsets", "0,0x30000", "print"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "qvenv: " + dump + ": 196608 bytes; copies at 0x0 and 0x30000 need 262144\n");
    EXPECT_TRUE(readBytes(dump) == erased);
}

// The flash mode changes flash through the installer's own update: the newer copy plus the
// change goes over the older one, and with no valid copy qvenv says so and writes nothing.
TEST_F(QvenvTest, FlashModeReplacesTheOlderCopyAndRefusesWithoutAValidOne) {
    testing::describeStandinFlash(0x100000);
    const std::string image = tempDir() / "flash.bin";
    const auto onFlash = [&](std::vector<std::string> args) {
        args.insert(args.begin(), testing::binPath("qvenv"));
        return testing::runProcess(args, testing::flashStandinEnv(image));
    };
    const auto flashWith = [&](const std::string& copies) {
        std::string flash(0x100000, '\xff');
        flash.replace(kEnvCopy1, copies.size(), copies);
        writeBytes(image, flash);
        return flash;
    };
    flashWith(RecordBuilder().add("bootdelay=3").withFlag(1).bytes() +
              RecordBuilder().add("bootdelay=2").withFlag(0).bytes());
    const auto set = onFlash({"set", "board", "kv-1"});
    ASSERT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_EQ(readBytes(image).substr(kEnvCopy2, 0x10000),
              RecordBuilder().add("bootdelay=3").add("board=kv-1").withFlag(2).bytes());
    const auto print = onFlash({"--type", "2", "print"});
    EXPECT_EQ(print.exitStatus, 0) << print.err;
    EXPECT_EQ(print.out, "bootdelay=3\nboard=kv-1\n");

    // Which copies count as valid is the handler's to test; qvenv's is to say so and write
    // nothing.
    const std::string before = flashWith(std::string(0x20000, '\xff'));
    const auto refused = onFlash({"set", "x", "1"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err, "qvenv: CRC error, invalid file\n");
    EXPECT_TRUE(readBytes(image) == before) << "flash changed";
}

TEST_F(QvenvTest, BadCommandLinesFailWithOneLineAndStatus2) {
    writeBytes(file, RecordBuilder().add("a=1").bytes());
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--file", file},
        {"--file", file, "--type", "2", "print"},
        {"--type", "5", "print"},
        {"--type"},
        {"--file", file, "set"},
        {"--file", file, "set", "a", "b", "c"},
        {"--file", file, "dump"},
        {"--bogus", "print"},
        {"--offsets", "0,0x10000", "print"},
        {"--file", file, "--offsets", "0,0x8000", "print"},
        {"--file", file, "--offsets", "0x10000", "print"},
        {"--file", file, "print", "-n"},
        {"--file", file, "set", "--script"},
    };
    for (const auto& args : cases) {
        const auto result = qvenv(args);
        EXPECT_EQ(result.exitStatus, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(result.err.rfind("qvenv: ", 0), 0U) << result.err;
        EXPECT_EQ(testing::lines(result.err).size(), 1U) << result.err;
        EXPECT_NE(result.err.find("(see qvenv --help)"), std::string::npos) << result.err;
    }
    EXPECT_EQ(readBytes(file), RecordBuilder().add("a=1").bytes());
}

}  // namespace
}  // namespace KIVRA
