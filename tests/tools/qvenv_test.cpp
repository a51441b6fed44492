// qvenv on record files, and on /dev/mtd0 answered by the flash stand-in.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

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
    EXPECT_EQ(result.out.rfind("Usage: qvenv [--file FILE | --type N]", 0), 0U) << result.out;
    EXPECT_EQ(result.err, "");
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
        EXPECT_EQ(result.err, "qvenv: CRC error, invalid file\n");
    }
    EXPECT_EQ(readBytes(file), bad);
}

TEST_F(QvenvTest, RecordErrorsUseTheInstallerTexts) {
    writeBytes(file, RecordBuilder().add("a=1").bytes().substr(0, 65535));
    auto result = qvenv({"--file", file, "print"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvenv: VPD update failed, input access error\n");

    result = qvenv({"--file", tempDir() / "missing.bin", "print"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvenv: VPD update failed, input error\n");

    const std::string good = RecordBuilder().add("a=1").bytes();
    writeBytes(file, good);
    result = qvenv({"--file", file, "set", "a=b", "1"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvenv: VPD update failed, input access error\n");
    result = qvenv({"--file", file, "set", "big", std::string(70000, 'v')});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvenv: VPD update failed, input access error\n");
    EXPECT_EQ(readBytes(file), good);
}

// The flash mode changes flash through the installer's own update: the newer copy plus the
// change goes over the older one, and with no valid copy nothing is written.
TEST_F(QvenvTest, FlashModeReplacesTheOlderCopyAndRefusesWithoutAValidOne) {
    constexpr uint32_t kCopy1 = 0xC0000, kCopy2 = 0xD0000;
    testing::describeStandinFlash(0x100000);
    const std::string image = tempDir() / "flash.bin";
    const auto onFlash = [&](std::vector<std::string> args) {
        args.insert(args.begin(), testing::binPath("qvenv"));
        return testing::runProcess(args, testing::flashStandinEnv(image));
    };
    const auto flashWith = [&](const std::string& copies) {
        std::string flash(0x100000, '\xff');
        flash.replace(kCopy1, copies.size(), copies);
        writeBytes(image, flash);
        return flash;
    };
    flashWith(RecordBuilder().add("bootdelay=3").withFlag(1).bytes() +
              RecordBuilder().add("bootdelay=2").withFlag(0).bytes());
    const auto set = onFlash({"set", "board", "kv-1"});
    ASSERT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_EQ(readBytes(image).substr(kCopy2, 0x10000),
              RecordBuilder().add("bootdelay=3").add("board=kv-1").withFlag(2).bytes());
    const auto print = onFlash({"--type", "2", "print"});
    EXPECT_EQ(print.exitStatus, 0) << print.err;
    EXPECT_EQ(print.out, "bootdelay=3\nboard=kv-1\n");

    const std::pair<const char*, std::string> noValidCopy[] = {
        {"erased flash", std::string(0x20000, '\xff')},
        {"two damaged copies", RecordBuilder().add("a=1").withFlag(6).withBadCrc().bytes() +
                                   RecordBuilder().add("b=1").withFlag(7).withBadCrc().bytes()},
    };
    for (const auto& [name, copies] : noValidCopy) {
        SCOPED_TRACE(name);
        const std::string before = flashWith(copies);
        const auto result = onFlash({"set", "x", "1"});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, "qvenv: CRC error, invalid file\n");
        EXPECT_TRUE(readBytes(image) == before) << "flash changed";
    }
}

TEST_F(QvenvTest, BadCommandLinesFailWithUsage) {
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
    };
    for (const auto& args : cases) {
        const auto result = qvenv(args);
        EXPECT_EQ(result.exitStatus, 1) << ::testing::PrintToString(args);
        EXPECT_EQ(result.err.rfind("qvenv: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find("Usage: qvenv"), std::string::npos);
    }
    EXPECT_EQ(readBytes(file), RecordBuilder().add("a=1").bytes());
}

}  // namespace
}  // namespace KIVRA
