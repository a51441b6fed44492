// The two-copy record on the real MTD device of the QEMU harness (/dev/mtd0: mtdram with
// 64 KiB erase blocks, or the ARM guest's NAND with 16 KiB blocks), through the real NOR and
// file streams. The choice of the copy to replace, damaged copies and a missing device are
// tested on the host (vpd_handler_test.cpp); here each region and mode is written once.

#include "vpd/vpd_handler.h"

#include <memory>
#include <string>

#include "tests/flash/flash_device.h"
#include "tests/support/test_support.h"
#include "tests/vpd/env_layout.h"
#include "tests/vpd/raw_mtd.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

using testing::readBytes;
using testing::RecordBuilder;

using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::kHardwareCopy1;

class VpdHandlerDeviceTest : public testing::DeviceTest {
protected:
    void SetUp() override {
        testing::DeviceTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // Known bytes around both regions, so that a write out of place shows.
        mtd.write(kEnvCopy1 - kEnvCopySize, testing::randomBytes(4 * kEnvCopySize, 17));
        mtd.write(kHardwareCopy1 - kEnvCopySize, testing::randomBytes(3 * kEnvCopySize, 18));
        before = mtd.read(0, testing::norSize());
    }

    std::string after() const { return mtd.read(0, testing::norSize()); }

    // Everything outside [offset, offset + size) is as it was before the test's action.
    void expectUntouchedOutside(uint32_t offset, uint32_t size) const {
        const std::string now = after();
        EXPECT_EQ(now.substr(0, offset), before.substr(0, offset));
        EXPECT_EQ(now.substr(offset + size), before.substr(offset + size));
    }

    VpdUpdater::VpdUpdaterError update(VpdHandler& handler, const std::string& key,
                                       const std::string& value) {
        VpdUpdater::VpdUpdaterError result = handler.readNand();
        if (result == VpdUpdater::VpdOk) {
            result = handler.load(false, true);
        }
        if (result == VpdUpdater::VpdOk) {
            result = handler.setValue(key, value);
        }
        if (result == VpdUpdater::VpdOk) {
            result = handler.save();
        }
        if (result == VpdUpdater::VpdOk) {
            result = handler.writeNand();
        }
        return result;
    }

    testing::RawMtd mtd;
    std::string before;
};

TEST_F(VpdHandlerDeviceTest, ReadNandCopiesTheTwoBootEnvironmentCopies) {
    VpdHandler handler(VpdTypeBootEnv, 1);
    ASSERT_EQ(handler.readNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes("/tmp/vpd1.bin"), before.substr(kEnvCopy1, kEnvCopySize));
    EXPECT_EQ(readBytes("/tmp/vpd2.bin"), before.substr(kEnvCopy2, kEnvCopySize));
    EXPECT_EQ(after(), before);
}

TEST_F(VpdHandlerDeviceTest, RecordPaddedWithFfByTheBootLoaderToolsIsKept) {
    const std::string copy1 = RecordBuilder()
                                  .add("bootcmd=run boot_a")
                                  .add("bootdelay=1")
                                  .paddedWith('\xff')
                                  .withFlag(3)
                                  .bytes();
    mtd.write(kEnvCopy1, copy1);
    mtd.write(kEnvCopy2, RecordBuilder().add("old=1").withFlag(2).bytes());
    VpdHandler handler(VpdTypeBootEnv, 1);
    ASSERT_EQ(update(handler, "fwupdate_flag", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(mtd.read(kEnvCopy2, kEnvCopySize), RecordBuilder()
                                                     .add("bootcmd=run boot_a")
                                                     .add("bootdelay=1")
                                                     .add("fwupdate_flag=1")
                                                     .withFlag(4)
                                                     .bytes());
    EXPECT_EQ(mtd.read(kEnvCopy1, kEnvCopySize), copy1);
}

TEST_F(VpdHandlerDeviceTest, BothCopiesWrittenAlikeInUpdateModeOtherThanOne) {
    mtd.write(kEnvCopy1, RecordBuilder().add("a=1").withFlag(20).bytes());
    mtd.write(kEnvCopy2, RecordBuilder().add("a=2").withFlag(19).bytes());
    before = after();
    VpdHandler handler(VpdTypeBootEnv, 0);
    ASSERT_EQ(update(handler, "b", "2"), VpdUpdater::VpdOk);
    const std::string expected = RecordBuilder().add("a=1").add("b=2").withFlag(21).bytes();
    EXPECT_EQ(mtd.read(kEnvCopy1, kEnvCopySize), expected);
    EXPECT_EQ(mtd.read(kEnvCopy2, kEnvCopySize), expected);
    expectUntouchedOutside(kEnvCopy1, 2 * kEnvCopySize);
}

TEST_F(VpdHandlerDeviceTest, HardwareRecordIsUpdatedAtItsOwnRegion) {
    const std::string copy1 = RecordBuilder()
                                  .add("hwboot=1")
                                  .add("serial#=KV7")
                                  .add("ethmac=00:11:22:33:44:55")
                                  .add("usbmac=00:11:22:33:44:56")
                                  .withFlag(1)
                                  .bytes();
    mtd.write(kHardwareCopy1, copy1);
    mtd.write(kHardwareCopy1 + kEnvCopySize, RecordBuilder().withFlag(0).withBadCrc().bytes());
    before = after();
    VpdHandler handler(VpdTypeHardware, 1);
    ASSERT_EQ(handler.readNand(), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.load(true, false), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.setValue("boardrev", "C"), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.save(), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.writeNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(mtd.read(kHardwareCopy1 + kEnvCopySize, kEnvCopySize),
              RecordBuilder()
                  .add("hwboot=1")
                  .add("serial#=KV7")
                  .add("ethmac=00:11:22:33:44:55")
                  .add("usbmac=00:11:22:33:44:56")
                  .add("boardrev=C")
                  .withFlag(2)
                  .bytes());
    expectUntouchedOutside(kHardwareCopy1 + kEnvCopySize, kEnvCopySize);
}

TEST_F(VpdHandlerDeviceTest, WriteToMissingDeviceNodeIsAFailure) {
    mtd.write(kEnvCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    mtd.write(kEnvCopy2, RecordBuilder().add("a=2").withFlag(2).bytes());
    before = after();
    VpdHandler handler(VpdTypeBootEnv, 1);
    ASSERT_EQ(handler.readNand(), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.load(false, true), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.setValue("a", "3"), VpdUpdater::VpdOk);
    ASSERT_EQ(handler.save(), VpdUpdater::VpdOk);
    {
        testing::HiddenDeviceNode hidden;
        EXPECT_EQ(handler.writeNand(), VpdUpdater::VpdInputError);
    }
    EXPECT_EQ(after(), before);
}

}  // namespace
}  // namespace KIVRA
