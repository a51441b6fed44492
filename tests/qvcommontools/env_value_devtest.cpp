// The installer's environment update on the real MTD device of the QEMU harness.

#include "qvcommontools/env_value.h"

#include <string>
#include <utility>

#include "tests/flash/flash_device.h"
#include "tests/support/test_support.h"
#include "tests/vpd/raw_mtd.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

using testing::RecordBuilder;

constexpr uint32_t kCopy1 = 0xC0000;
constexpr uint32_t kCopy2 = 0xD0000;
constexpr uint32_t kCopy = 0x10000;

class SetEnvValueDeviceTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        testing::SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        mtd.write(kCopy1 - kCopy, testing::randomBytes(4 * kCopy, 23));
    }

    std::string device() const { return mtd.read(0, testing::norSize()); }

    testing::RawMtd mtd;
};

TEST_F(SetEnvValueDeviceTest, NewerCopy2IsKeptAndCopy1GetsItsVariablesPlusTheFlag) {
    const std::string copy2 =
        RecordBuilder().add("bootcmd=run boot_b").add("baudrate=115200").withFlag(4).bytes();
    mtd.write(kCopy1, RecordBuilder().add("bootcmd=run boot_a").withFlag(3).bytes());
    mtd.write(kCopy2, copy2);
    const std::string before = device();
    std::string errorText = "untouched";
    ASSERT_TRUE(qvcommontools::setEnvValue("fwupdate_flag", "1", 1, errorText));
    EXPECT_EQ(errorText, "untouched") << "errorText is only written on failure";
    EXPECT_EQ(mtd.read(kCopy1, kCopy), RecordBuilder()
                                           .add("bootcmd=run boot_b")
                                           .add("baudrate=115200")
                                           .add("fwupdate_flag=1")
                                           .withFlag(5)
                                           .bytes());
    EXPECT_EQ(mtd.read(kCopy2, kCopy), copy2);
    const std::string after = device();
    EXPECT_EQ(after.substr(0, kCopy1), before.substr(0, kCopy1));
    EXPECT_EQ(after.substr(kCopy2), before.substr(kCopy2));
}

TEST_F(SetEnvValueDeviceTest, FlagAlreadySetIsStillWrittenOverTheOlderCopy) {
    mtd.write(kCopy1, RecordBuilder().add("fwupdate_flag=1").add("x=1").withFlag(9).bytes());
    mtd.write(kCopy2, RecordBuilder().add("fwupdate_flag=0").withFlag(8).bytes());
    std::string errorText;
    ASSERT_TRUE(qvcommontools::setEnvValue("fwupdate_flag", "1", 0, errorText));
    const std::string expected =
        RecordBuilder().add("fwupdate_flag=1").add("x=1").withFlag(10).bytes();
    EXPECT_EQ(mtd.read(kCopy2, kCopy), expected);
    EXPECT_EQ(mtd.read(kCopy1, kCopy).substr(5), expected.substr(5)) << "same variables";
}

// The boot loader runs on its built-in environment when no copy is valid; a record with
// only the flag would take its place and lack bootcmd: the device would not boot.
TEST_F(SetEnvValueDeviceTest, NoValidCopyIsRefusedWithCrcErrorAndFlashKept) {
    const std::pair<const char*, std::string> rows[] = {
        {"erased flash", std::string(2 * kCopy, '\xff')},
        {"two damaged copies", RecordBuilder().add("a=1").withFlag(6).withBadCrc().bytes() +
                                   RecordBuilder().add("b=1").withFlag(7).withBadCrc().bytes()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        mtd.write(kCopy1, row.second);
        const std::string before = device();
        std::string errorText;
        EXPECT_FALSE(qvcommontools::setEnvValue("fwupdate_flag", "1", -1, errorText));
        EXPECT_EQ(errorText, "CRC error, invalid file");
        EXPECT_EQ(device(), before);
        const auto qvenv = testing::runProcess({testing::binPath("qvenv"), "set", "x", "1"});
        EXPECT_EQ(qvenv.exitStatus, 1);
        EXPECT_EQ(qvenv.err, "qvenv: CRC error, invalid file\n");
        EXPECT_EQ(device(), before);
    }
}

TEST_F(SetEnvValueDeviceTest, UnopenableDeviceReportsInputErrorAndLeavesFlashAlone) {
    mtd.write(kCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    mtd.write(kCopy2, RecordBuilder().add("a=2").withFlag(2).bytes());
    const std::string before = device();
    std::string errorText = "earlier text";
    {
        testing::HiddenDeviceNode hidden;
        EXPECT_FALSE(qvcommontools::setEnvValue("fwupdate_flag", "1", 1, errorText));
    }
    EXPECT_EQ(errorText, "VPD update failed, input error");
    EXPECT_EQ(device(), before);
}

TEST_F(SetEnvValueDeviceTest, ValueThatWouldForgeAnotherVariableIsRefused) {
    mtd.write(kCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    mtd.write(kCopy2, RecordBuilder().add("a=2").withFlag(2).bytes());
    const std::string before = device();
    std::string errorText;
    EXPECT_FALSE(
        qvcommontools::setEnvValue("fwupdate_flag", std::string("1\0bootcmd=x", 11), 1, errorText));
    EXPECT_EQ(errorText, "VPD update failed, input access error");
    EXPECT_FALSE(qvcommontools::setEnvValue("fw=flag", "1", 1, errorText));
    EXPECT_EQ(errorText, "VPD update failed, input access error");
    EXPECT_EQ(device(), before);
}

TEST_F(SetEnvValueDeviceTest, QvenvSetsAndPrintsTheBootEnvironment) {
    mtd.write(kCopy1, RecordBuilder().add("bootdelay=3").withFlag(1).bytes());
    mtd.write(kCopy2, RecordBuilder().add("bootdelay=2").withFlag(0).bytes());
    const auto set = testing::runProcess({testing::binPath("qvenv"), "set", "board", "kv-1"});
    ASSERT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_EQ(mtd.read(kCopy2, kCopy),
              RecordBuilder().add("bootdelay=3").add("board=kv-1").withFlag(2).bytes());
    const auto print = testing::runProcess({testing::binPath("qvenv"), "--type", "2", "print"});
    ASSERT_EQ(print.exitStatus, 0) << print.err;
    EXPECT_EQ(print.out, "bootdelay=3\nboard=kv-1\n");
}

}  // namespace
}  // namespace KIVRA
