#include "vpd/vpd_handler.h"

#include <sys/mount.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "flash/patch_stream_file.h"
#include "tests/support/test_support.h"
#include "tests/vpd/env_layout.h"
#include "tests/vpd/file_flash_stream.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

using testing::FakeFlash;
using testing::FileFlashStream;
using testing::readBytes;
using testing::RecordBuilder;
using testing::writeBytes;

using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::kHardwareCopy1;
constexpr uint32_t kDeviceSize = 0x210000;

// The copy scheme on a file standing in for /dev/mtd0; the temporary files are the real
// ones in the sandbox's /tmp.
class VpdHandlerTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        testing::SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        flash.backingFile = tempDir() / "mtd0";
        device = testing::randomBytes(kDeviceSize, 42);
        writeBytes(flash.backingFile, device);
    }

    std::unique_ptr<VpdHandler> handler(VpdType type = VpdTypeBootEnv, int updateMode = 1) {
        return std::make_unique<VpdHandler>(type, updateMode, [this] {
            return std::unique_ptr<PatchStream>(new FileFlashStream(flash));
        });
    }

    // Puts a record into the device image (and the expected image).
    void place(uint32_t offset, const std::string& record) {
        device.replace(offset, record.size(), record);
        writeBytes(flash.backingFile, device);
    }

    std::string region(uint32_t offset, uint32_t size = kEnvCopySize) const {
        return readBytes(flash.backingFile).substr(offset, size);
    }

    // What the installer does: the whole update of one variable.
    VpdUpdater::VpdUpdaterError update(VpdHandler& h, const std::string& key,
                                       const std::string& value) {
        for (auto step : {0, 1, 2, 3, 4}) {
            VpdUpdater::VpdUpdaterError result = VpdUpdater::VpdOk;
            switch (step) {
                case 0:
                    result = h.readNand();
                    break;
                case 1:
                    result = h.load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc);
                    break;
                case 2:
                    result = h.setValue(key, value);
                    break;
                case 3:
                    result = h.save();
                    break;
                case 4:
                    result = h.writeNand();
                    break;
            }
            if (result != VpdUpdater::VpdOk) {
                return result;
            }
        }
        return VpdUpdater::VpdOk;
    }

    FakeFlash flash;
    std::string device;
};

struct FlagCase {
    int flag1;
    int flag2;
    int newer;  // the copy whose content is loaded
    int nextFlag;
};

class VpdHandlerFlagTest : public VpdHandlerTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(VpdHandlerFlagTest, LoadsNewerCopyAndReplacesOnlyTheOlderOne) {
    const FlagCase row = GetParam();
    place(kEnvCopy1, RecordBuilder().add("copy=1").withFlag(row.flag1).bytes());
    place(kEnvCopy2, RecordBuilder().add("copy=2").withFlag(row.flag2).bytes());
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    ASSERT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc), VpdUpdater::VpdOk);
    std::string copy;
    ASSERT_EQ(h->getUpdater().getValue("copy", copy), VpdUpdater::VpdOk);
    EXPECT_EQ(copy, std::to_string(row.newer));
    ASSERT_EQ(h->setValue("fwupdate_flag", "1"), VpdUpdater::VpdOk);
    ASSERT_EQ(h->save(), VpdUpdater::VpdOk);
    ASSERT_EQ(h->writeNand(), VpdUpdater::VpdOk);

    const uint32_t older = row.newer == 1 ? kEnvCopy2 : kEnvCopy1;
    const uint32_t newer = row.newer == 1 ? kEnvCopy1 : kEnvCopy2;
    const std::string expected = RecordBuilder()
                                     .add("copy=" + std::to_string(row.newer))
                                     .add("fwupdate_flag=1")
                                     .withFlag(static_cast<uint8_t>(row.nextFlag))
                                     .bytes();
    EXPECT_EQ(region(older), expected);
    EXPECT_EQ(region(newer), device.substr(newer, kEnvCopySize)) << "the newer copy must stay";
    const std::string after = readBytes(flash.backingFile);
    EXPECT_EQ(after.substr(0, kEnvCopy1), device.substr(0, kEnvCopy1));
    EXPECT_EQ(after.substr(kEnvCopy1 + 2 * kEnvCopySize),
              device.substr(kEnvCopy1 + 2 * kEnvCopySize));
}

INSTANTIATE_TEST_SUITE_P(Flags, VpdHandlerFlagTest,
                         ::testing::Values(FlagCase{7, 8, 2, 9}, FlagCase{8, 7, 1, 9},
                                           FlagCase{0, 255, 1, 1}, FlagCase{255, 0, 2, 1},
                                           FlagCase{5, 5, 1, 6}, FlagCase{254, 255, 2, 0},
                                           FlagCase{200, 10, 1, 201}),
                         [](const ::testing::TestParamInfo<FlagCase>& info) {
                             return "Copy1Flag" + std::to_string(info.param.flag1) + "Copy2Flag" +
                                    std::to_string(info.param.flag2);
                         });

TEST_F(VpdHandlerTest, ReadsExactlyTheTwoCopiesOfTheBootEnvironment) {
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes("/tmp/vpd1.bin"), device.substr(kEnvCopy1, kEnvCopySize));
    EXPECT_EQ(readBytes("/tmp/vpd2.bin"), device.substr(kEnvCopy2, kEnvCopySize));
    EXPECT_EQ(flash.opened, (std::vector<std::string>{"/dev/mtd0 1 851968", "/dev/mtd0 1 917504"}));
    EXPECT_EQ(readBytes(flash.backingFile), device) << "reading must not change flash";
}

TEST_F(VpdHandlerTest, LinksPlantedAtTheWorkingCopiesAreNeverWrittenThrough) {
    place(kEnvCopy1, RecordBuilder().add("copy=1").withFlag(1).bytes());
    place(kEnvCopy2, RecordBuilder().add("copy=2").withFlag(2).bytes());
    writeBytes(tempDir() / "victim1", "system file 1");
    writeBytes(tempDir() / "victim2", "system file 2");
    ASSERT_EQ(::symlink((tempDir() / "victim1").c_str(), "/tmp/vpd1.bin"), 0);
    ASSERT_EQ(::link((tempDir() / "victim2").c_str(), "/tmp/vpd2.bin"), 0);
    auto h = handler();
    ASSERT_EQ(update(*h, "fwupdate_flag", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes(tempDir() / "victim1"), "system file 1");
    EXPECT_EQ(readBytes(tempDir() / "victim2"), "system file 2");
    EXPECT_EQ(region(kEnvCopy1),
              RecordBuilder().add("copy=2").add("fwupdate_flag=1").withFlag(3).bytes());
}

// A name that survives the removal stands for another user's file put there just after it:
// the read fails rather than hand that file the record (or wait on a FIFO).
TEST_F(VpdHandlerTest, AWorkingCopyThatCannotBeMadeAnewFailsTheRead) {
    writeBytes(tempDir() / "theirs", "their file");
    writeBytes("/tmp/vpd2.bin", "");
    ASSERT_EQ(::mount((tempDir() / "theirs").c_str(), "/tmp/vpd2.bin", nullptr, MS_BIND, nullptr),
              0);
    auto h = handler();
    ::testing::internal::CaptureStdout();
    const auto result = h->readNand();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(::umount("/tmp/vpd2.bin"), 0);
    EXPECT_EQ(result, VpdUpdater::VpdInputError);
    EXPECT_EQ(out, "VpdHandler::readNand : ERR_FILE 6\n");
    EXPECT_EQ(readBytes(tempDir() / "theirs"), "their file");
}

TEST_F(VpdHandlerTest, HardwareRecordLivesAtItsOwnOffset) {
    const std::string full = RecordBuilder()
                                 .add("hwboot=1")
                                 .add("serial#=KV1")
                                 .add("ethmac=a")
                                 .add("usbmac=b")
                                 .withFlag(3)
                                 .bytes();
    place(kHardwareCopy1, full);
    place(kHardwareCopy1 + kEnvCopySize, RecordBuilder().add("hwboot=1").withFlag(2).bytes());
    auto h = handler(VpdTypeHardware);
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    ASSERT_EQ(h->load(VpdHandler::kProtected, VpdHandler::kRefuseBadCrc), VpdUpdater::VpdOk);
    EXPECT_EQ(h->setValue("serial#", "KV2"), VpdUpdater::VpdFieldExists) << "protected";
    ASSERT_EQ(h->setValue("boardrev", "B"), VpdUpdater::VpdOk);
    ASSERT_EQ(h->save(), VpdUpdater::VpdOk);
    ASSERT_EQ(h->writeNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(region(kHardwareCopy1 + kEnvCopySize), RecordBuilder()
                                                         .add("hwboot=1")
                                                         .add("serial#=KV1")
                                                         .add("ethmac=a")
                                                         .add("usbmac=b")
                                                         .add("boardrev=B")
                                                         .withFlag(4)
                                                         .bytes());
    EXPECT_EQ(region(kHardwareCopy1), full);
}

TEST_F(VpdHandlerTest, HardwareRecordWithoutRequiredKeysIsNotWritten) {
    place(kHardwareCopy1, RecordBuilder().add("hwboot=1").add("serial#=KV1").withFlag(3).bytes());
    place(kHardwareCopy1 + kEnvCopySize, RecordBuilder().withBadCrc().bytes());
    auto h = handler(VpdTypeHardware);
    EXPECT_EQ(update(*h, "ethmac", "a"), VpdUpdater::VpdFieldMissing);
    EXPECT_EQ(readBytes(flash.backingFile), device);
}

TEST_F(VpdHandlerTest, BothCopiesWithBadCrcGiveRecordWithOnlyTheNewValue) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(6).withBadCrc().bytes());
    place(kEnvCopy2, RecordBuilder().add("b=2").withFlag(9).withBadCrc().bytes());
    auto h = handler();
    ASSERT_EQ(update(*h, "fwupdate_flag", "1"), VpdUpdater::VpdOk);
    // Copy 1 serves as the (empty) base, so copy 2 is the one replaced.
    EXPECT_EQ(region(kEnvCopy2), RecordBuilder().add("fwupdate_flag=1").withFlag(7).bytes());
    EXPECT_EQ(region(kEnvCopy1), device.substr(kEnvCopy1, kEnvCopySize));
}

TEST_F(VpdHandlerTest, BadCopiesAreRefusedUnlessAccepted) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withBadCrc().bytes());
    place(kEnvCopy2, RecordBuilder().add("b=2").withBadCrc().bytes());
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(h->load(VpdHandler::kProtected, VpdHandler::kRefuseBadCrc), VpdUpdater::VpdCrcError);
    EXPECT_EQ(h->setValue("x", "1"), VpdUpdater::VpdInputAccessError) << "nothing loaded";
}

TEST_F(VpdHandlerTest, BadCopyOneWithCopyTwoCutOffLoadsEmptyRecordOnlyWhenAccepted) {
    // The device ends 100 bytes into copy 2, so that copy is short.
    device.resize(kEnvCopy2 + 100);
    writeBytes(flash.backingFile, device);
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(4).withBadCrc().bytes());
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes("/tmp/vpd2.bin").size(), 100U);
    EXPECT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kRefuseBadCrc),
              VpdUpdater::VpdCrcError);
    ASSERT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc), VpdUpdater::VpdOk);
    std::string value;
    EXPECT_EQ(h->getUpdater().getValue("a", value), VpdUpdater::VpdFieldMissing);
}

TEST_F(VpdHandlerTest, ShortTemporaryFilesFailLoadWhateverBadCrcsAreAccepted) {
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    writeBytes("/tmp/vpd1.bin", std::string(1000, '\0'));
    writeBytes("/tmp/vpd2.bin", std::string(65535, '\0'));
    EXPECT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc),
              VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kRefuseBadCrc),
              VpdUpdater::VpdInputAccessError);
}

TEST_F(VpdHandlerTest, CallsOutOfOrderAreRefused) {
    auto h = handler();
    EXPECT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc),
              VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(h->setValue("a", "1"), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(h->save(), VpdUpdater::VpdInputAccessError);
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    EXPECT_EQ(h->setValue("a", "1"), VpdUpdater::VpdInputAccessError);
    ASSERT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc), VpdUpdater::VpdOk);
    writeBytes("/tmp/vpd1.bin", "short");
    writeBytes("/tmp/vpd2.bin", "short");
    EXPECT_NE(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc), VpdUpdater::VpdOk);
    EXPECT_EQ(h->save(), VpdUpdater::VpdInputAccessError) << "a failed load leaves nothing to save";
}

TEST_F(VpdHandlerTest, UnopenableDeviceFailsReadAndLeavesFlashAndFilesAlone) {
    flash.failOpen = true;
    writeBytes("/tmp/vpd1.bin", "earlier");
    auto h = handler();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h->readNand(), VpdUpdater::VpdInputError);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "VpdHandler::readNand : ERR_FILE 2\n");
    EXPECT_EQ(readBytes("/tmp/vpd1.bin"), "earlier");
    EXPECT_EQ(readBytes(flash.backingFile), device);
}

TEST_F(VpdHandlerTest, TypeWithoutFlashLocationFailsToRead) {
    auto h = handler(static_cast<VpdType>(7));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h->readNand(), VpdUpdater::VpdInputError);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "VpdHandler::readNand : ERR_FILE 2\n");
    EXPECT_EQ(flash.opened, std::vector<std::string>{" 1 65536"});
}

TEST_F(VpdHandlerTest, FailingFlashReadIsAFailedCopyNotAShortRecord) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    place(kEnvCopy2, RecordBuilder().add("b=2").withFlag(2).bytes());
    flash.failReadAfter = kEnvCopySize + 4096;  // inside copy 2
    auto h = handler();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(h->readNand(), VpdUpdater::VpdInputError);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "src read failed\nVpdHandler::readNand : ERR_FILE 7\n");
    EXPECT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc),
              VpdUpdater::VpdInputAccessError)
        << "a partly read copy must not be loaded";
}

TEST_F(VpdHandlerTest, FailingFlashWriteIsReportedAndNewerCopyStays) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    place(kEnvCopy2, RecordBuilder().add("b=2").withFlag(2).bytes());
    flash.failWriteAfter = 30000;
    auto h = handler();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(update(*h, "fwupdate_flag", "1"), VpdUpdater::VpdInputError);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "read write error\nVpdHandler::writeNand : ERR_FILE 4\n");
    EXPECT_EQ(region(kEnvCopy2), device.substr(kEnvCopy2, kEnvCopySize));
}

TEST_F(VpdHandlerTest, WriteThatDoesNotReachFlashIsCaughtByReadBack) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    place(kEnvCopy2, RecordBuilder().add("b=2").withFlag(2).bytes());
    flash.corruptWrites = true;
    auto h = handler();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(update(*h, "fwupdate_flag", "1"), VpdUpdater::VpdInputError);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "VpdHandler::writeNand : ERR_FILE 5\n");
    EXPECT_EQ(region(kEnvCopy2), device.substr(kEnvCopy2, kEnvCopySize));
}

TEST_F(VpdHandlerTest, RecordFileOfWrongSizeIsNotWrittenToFlash) {
    auto h = handler();
    for (const size_t size : {size_t{70000}, size_t{65535}, size_t{0}}) {
        writeBytes("/tmp/vpd1.bin", std::string(size, 'r'));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(h->writeNand(), VpdUpdater::VpdInputError) << size;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "VpdHandler::writeNand : ERR_FILE 2\n");
        EXPECT_EQ(readBytes(flash.backingFile), device) << size;
    }
}

TEST_F(VpdHandlerTest, UpdateModeOtherThanOneWritesBothCopiesAlike) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(10).bytes());
    place(kEnvCopy2, RecordBuilder().add("a=2").withFlag(11).bytes());
    auto h = handler(VpdTypeBootEnv, 2);
    ASSERT_EQ(update(*h, "b", "3"), VpdUpdater::VpdOk);
    const std::string expected = RecordBuilder().add("a=2").add("b=3").withFlag(12).bytes();
    EXPECT_EQ(region(kEnvCopy1), expected);
    EXPECT_EQ(region(kEnvCopy2), expected);
}

TEST_F(VpdHandlerTest, UnchangedValueStillRewritesTheOlderCopy) {
    place(kEnvCopy1, RecordBuilder().add("fwupdate_flag=1").add("x=old").withFlag(3).bytes());
    place(kEnvCopy2, RecordBuilder().add("fwupdate_flag=1").withFlag(4).bytes());
    auto h = handler();
    ASSERT_EQ(update(*h, "fwupdate_flag", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(region(kEnvCopy1), RecordBuilder().add("fwupdate_flag=1").withFlag(5).bytes());
}

TEST_F(VpdHandlerTest, SaveWithoutChangeWritesNothing) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    place(kEnvCopy2, RecordBuilder().add("a=2").withFlag(2).bytes());
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    ASSERT_EQ(h->load(VpdHandler::kUnprotected, VpdHandler::kRefuseBadCrc), VpdUpdater::VpdOk);
    ASSERT_EQ(h->save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes("/tmp/vpd1.bin"), device.substr(kEnvCopy1, kEnvCopySize));
}

TEST_F(VpdHandlerTest, FailedSetValueStillMarksTheRecordForSaving) {
    place(kEnvCopy1, RecordBuilder().add("a=1").withFlag(1).bytes());
    place(kEnvCopy2, RecordBuilder().add("a=2").withFlag(2).bytes());
    auto h = handler();
    ASSERT_EQ(h->readNand(), VpdUpdater::VpdOk);
    ASSERT_EQ(h->load(VpdHandler::kProtected, VpdHandler::kRefuseBadCrc), VpdUpdater::VpdOk);
    EXPECT_EQ(h->setValue("a", "3"), VpdUpdater::VpdFieldExists);
    ASSERT_EQ(h->save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes("/tmp/vpd1.bin"), RecordBuilder().add("a=2").withFlag(3).bytes());
}

// copyStream between real file streams and the fault-injecting flash stand-in.
class CopyStreamTest : public VpdHandlerTest {};

TEST_F(CopyStreamTest, CopiesFromOffsetToOffsetAcrossSeveralChunks) {
    const std::string data = testing::randomBytes(0x30000 * 2 + 1234, 5);
    writeBytes(tempDir() / "src", data);
    writeBytes(tempDir() / "dst", "");
    PatchStreamFile source;
    PatchStreamFile destination;
    ASSERT_EQ(source.open((tempDir() / "src").c_str(), 1, 0), 0);
    ASSERT_EQ(destination.open((tempDir() / "dst").c_str(), 2, 0), 0);
    ASSERT_EQ(VpdHandler::copyStream(&source, &destination, 1000, 10), 0);
    ASSERT_EQ(destination.close(), 0);
    const std::string copied = readBytes(tempDir() / "dst");
    EXPECT_EQ(copied.substr(0, 10), std::string(10, '\0')) << "seek past the end leaves a hole";
    EXPECT_EQ(copied.substr(10), data.substr(1000));
}

TEST_F(CopyStreamTest, FailingSourceReadIsAFailure) {
    // A file stream opened for writing cannot be read: every read fails.
    writeBytes(tempDir() / "src", "content");
    PatchStreamFile source;
    PatchStreamFile destination;
    ASSERT_EQ(source.open((tempDir() / "src").c_str(), 2, 0), 0);
    ASSERT_EQ(destination.open((tempDir() / "dst").c_str(), 2, 0), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(VpdHandler::copyStream(&source, &destination, 0, 0), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "src read failed\n");
}

TEST_F(CopyStreamTest, ReadFailingAfterSomeDataIsAFailure) {
    flash.failReadAfter = 5000;
    FileFlashStream source(flash);
    PatchStreamFile destination;
    ASSERT_EQ(source.open("/dev/mtd0", 1, 0), 0);
    ASSERT_EQ(destination.open((tempDir() / "dst").c_str(), 2, 0), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(VpdHandler::copyStream(&source, &destination, 0, 0), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "src read failed\n");
}

TEST_F(CopyStreamTest, ShortWriteSeekAndEraseFailuresAreReported) {
    writeBytes(tempDir() / "src", testing::randomBytes(100000, 9));
    PatchStreamFile source;
    ASSERT_EQ(source.open((tempDir() / "src").c_str(), 1, 0), 0);
    {
        flash.failWriteAfter = 10;
        FileFlashStream destination(flash);
        ASSERT_EQ(destination.open("/dev/mtd0", 2, 0), 0);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(VpdHandler::copyStream(&source, &destination, 0, 0x10000), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "read write error\n");
    }
    {
        FileFlashStream destination(flash);
        ASSERT_EQ(destination.open("/dev/mtd0", 2, 0x20000), 0);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(VpdHandler::copyStream(&source, &destination, 0, 0x30000), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dst seek to 196608 failed\n");
    }
    {
        flash.failErase = true;
        FileFlashStream destination(flash);
        ASSERT_EQ(destination.open("/dev/mtd0", 2, 0), 0);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(VpdHandler::copyStream(&source, &destination, 0, 0), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dst erase failed\n");
    }
    {
        flash.failErase = false;
        FileFlashStream limited(flash);
        PatchStreamFile destination;
        ASSERT_EQ(limited.open("/dev/mtd0", 1, 0x1000), 0);
        ASSERT_EQ(destination.open((tempDir() / "dst").c_str(), 2, 0), 0);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(VpdHandler::copyStream(&limited, &destination, 0x2000, 0), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "src seek to failed\n");
    }
    EXPECT_EQ(VpdHandler::copyStream(nullptr, &source, 0, 0), -1);
    EXPECT_EQ(VpdHandler::copyStream(&source, nullptr, 0, 0), -1);
}

}  // namespace
}  // namespace KIVRA
