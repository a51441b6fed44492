// The flash patch streams against the kernel's nandsim (2 KiB pages, 128 KiB blocks) and the
// boot flash /dev/mtd0 (mtdram with 64 KiB blocks on the x86-64 guest, a small-page NAND with
// 16 KiB blocks on the ARM guest), with bad blocks and program failures injected by nandsim.

#include <memory>
#include <string>

#include "flash/patch_stream_file.h"
#include "flash/patch_stream_nand.h"
#include "flash/patch_stream_nor.h"
#include "tests/flash/flash_device.h"

namespace KIVRA {
namespace testing {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

int writeIn(PatchStream& stream, const std::string& data, size_t chunk) {
    size_t done = 0;
    while (done < data.size()) {
        const size_t n = std::min(chunk, data.size() - done);
        const int accepted = stream.write(data.data() + done, static_cast<uint32_t>(n));
        if (accepted != static_cast<int>(n)) {
            return -1;
        }
        done += n;
    }
    return static_cast<int>(done);
}

std::string readUpTo(PatchStream& stream, size_t length) {
    std::string buffer(length, '\0');
    const int n = stream.read(&buffer[0], static_cast<uint32_t>(length));
    return n < 0 ? std::string("<failed>") : buffer.substr(0, static_cast<size_t>(n));
}

class NandStreamTest : public DeviceTest {
protected:
    void load(const std::string& faults = "") {
        node_ = loadNandsim(faults);
        ASSERT_FALSE(node_.empty());
    }
    void TearDown() override {
        stream_.reset();  // closes the device before nandsim goes
        unloadNandsim();
    }

    std::string node_;
    std::unique_ptr<PatchStream> stream_ = std::make_unique<PatchStreamNand>();
};

TEST_F(NandStreamTest, WriteBeforeEraseIsRefusedAndWritesNothing) {
    load();
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 0), 0);
    EXPECT_EQ(stream_->getMode(), 2);
    const std::string data = randomBytes(kNandPage, 21);
    CaptureStderr();
    EXPECT_EQ(stream_->write(data.data(), kNandPage), -1);
    EXPECT_EQ(GetCapturedStderr(), "write failed : erase is required before write\n");
    EXPECT_EQ(stream_->close(), 0);
    EXPECT_EQ(rawRead(node_, 0, kNandPage), erasedBytes(kNandPage));
}

TEST_F(NandStreamTest, ThreeBytesWaitForCloseThenFillOnePagePaddedWithFF) {
    load();
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 4 * kNandBlock), 0);
    ASSERT_EQ(stream_->erase(), 0);
    EXPECT_EQ(stream_->write("abc", 3), 3);
    EXPECT_EQ(rawRead(node_, 0, kNandPage), erasedBytes(kNandPage));  // nothing programmed yet
    EXPECT_EQ(stream_->close(), 0);
    EXPECT_EQ(rawRead(node_, 0, kNandPage), "abc" + erasedBytes(kNandPage - 3));
    EXPECT_EQ(rawRead(node_, kNandPage, kNandPage), erasedBytes(kNandPage));
}

TEST_F(NandStreamTest, ReadPassesOverBadBlockAndCountsItAgainstTheLimit) {
    load("badblocks=1");
    const std::string first = randomBytes(kNandBlock, 22);
    const std::string third = randomBytes(kNandBlock, 23);
    rawWrite(node_, 0, first);
    rawWrite(node_, 2 * kNandBlock, third);
    ASSERT_EQ(stream_->open(node_.c_str(), 1, 3 * kNandBlock), 0);
    EXPECT_EQ(readUpTo(*stream_, 3 * kNandBlock), first + third);
    EXPECT_EQ(readUpTo(*stream_, kNandBlock), "");  // the bad block used up the region
}

TEST_F(NandStreamTest, WritePassesOverBadBlockAndReadsBackTheSame) {
    load("badblocks=1");
    const std::string data = randomBytes(2 * kNandBlock, 24);
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 4 * kNandBlock), 0);
    ASSERT_EQ(stream_->erase(), 0);
    EXPECT_EQ(writeIn(*stream_, data, 5000), static_cast<int>(data.size()));
    ASSERT_EQ(stream_->close(), 0);
    EXPECT_EQ(rawRead(node_, 0, kNandBlock), data.substr(0, kNandBlock));
    EXPECT_EQ(rawRead(node_, 2 * kNandBlock, kNandBlock), data.substr(kNandBlock));
    ASSERT_EQ(stream_->open(node_.c_str(), 1, 3 * kNandBlock), 0);
    EXPECT_EQ(readUpTo(*stream_, 3 * kNandBlock), data);
}

TEST_F(NandStreamTest, SeekInsideAPageThenReadsContinueWhereTheyStopped) {
    load();
    const std::string device = randomBytes(8 * kNandPage, 25);
    rawWrite(node_, 0, device);
    ASSERT_EQ(stream_->open(node_.c_str(), 1, 0), 0);
    ASSERT_EQ(stream_->seek(100), 100);
    EXPECT_EQ(readUpTo(*stream_, 4096), device.substr(100, 4096));
    EXPECT_EQ(readUpTo(*stream_, 4096), device.substr(4196, 4096));
}

TEST_F(NandStreamTest, ReadsShorterThanTheConsumedPartOfAPageAreServed) {
    load();
    const std::string device = randomBytes(4 * kNandPage, 26);
    rawWrite(node_, 0, device);
    ASSERT_EQ(stream_->open(node_.c_str(), 1, 0), 0);
    ASSERT_EQ(stream_->seek(100), 100);
    EXPECT_EQ(readUpTo(*stream_, 10), device.substr(100, 10));
    EXPECT_EQ(readUpTo(*stream_, 50), device.substr(110, 50));
    EXPECT_EQ(readUpTo(*stream_, 2000), device.substr(160, 2000));
    EXPECT_EQ(readUpTo(*stream_, 1), device.substr(2160, 1));
}

TEST_F(NandStreamTest, ReadStopsAtALimitInsideAPage) {
    load();
    const std::string device = randomBytes(4 * kNandPage, 27);
    rawWrite(node_, 0, device);
    ASSERT_EQ(stream_->open(node_.c_str(), 1, 5000), 0);
    EXPECT_EQ(readUpTo(*stream_, 8192), device.substr(0, 5000));
    EXPECT_EQ(readUpTo(*stream_, 8192), "");
    EXPECT_EQ(stream_->seek(5001), -1);
}

TEST_F(NandStreamTest, SeekForWritingMustLandOnAPage) {
    load();
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 0), 0);
    CaptureStderr();
    EXPECT_EQ(stream_->seek(100), -1);
    EXPECT_EQ(GetCapturedStderr(), "Nand seek must be block aligned\n");
    EXPECT_EQ(stream_->seek(2 * kNandPage), static_cast<int>(2 * kNandPage));
}

TEST_F(NandStreamTest, EraseKeepsTheBytesFromTheLimitOnInTheLastBlock) {
    load();
    const std::string device = randomBytes(3 * kNandBlock, 28);
    rawWrite(node_, 0, device);
    const uint32_t limit = kNandBlock + 10000;
    ASSERT_EQ(stream_->open(node_.c_str(), 2, limit), 0);
    ASSERT_EQ(stream_->erase(), 0);
    EXPECT_EQ(rawRead(node_, 0, limit), erasedBytes(limit));
    EXPECT_EQ(rawRead(node_, limit, 3 * kNandBlock - limit), device.substr(limit));
}

TEST_F(NandStreamTest, EraseKeepsTheBytesBeforeTheStartInTheFirstBlock) {
    load();
    const std::string device = randomBytes(2 * kNandBlock, 29);
    rawWrite(node_, 0, device);
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 2 * kNandBlock), 0);
    ASSERT_EQ(stream_->seek(2 * kNandPage), static_cast<int>(2 * kNandPage));
    ASSERT_EQ(stream_->erase(), 0);
    EXPECT_EQ(rawRead(node_, 0, 2 * kNandPage), device.substr(0, 2 * kNandPage));
    EXPECT_EQ(rawRead(node_, 2 * kNandPage, 2 * kNandBlock - 2 * kNandPage),
              erasedBytes(2 * kNandBlock - 2 * kNandPage));
    // The pages after the start were left unprogrammed, so the stream can write them.
    const std::string data = randomBytes(kNandPage, 30);
    EXPECT_EQ(stream_->write(data.data(), kNandPage), static_cast<int>(kNandPage));
    ASSERT_EQ(stream_->close(), 0);
    EXPECT_EQ(rawRead(node_, 2 * kNandPage, kNandPage), data);
}

TEST_F(NandStreamTest, ProgramFailureMovesTheWholeBlockToTheNextWithNothingLost) {
    // Every program of page 3 of block 1 fails with EIO.
    load("weakpages=" + std::to_string(kNandPagesPerBlock + 3) + ":0");
    const std::string data = randomBytes(3 * kNandBlock, 31);
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 6 * kNandBlock), 0);
    ASSERT_EQ(stream_->erase(), 0);
    CaptureStderr();
    EXPECT_EQ(writeIn(*stream_, data, 10000), static_cast<int>(data.size()));
    EXPECT_EQ(stream_->close(), 0);
    const std::string messages = GetCapturedStderr();
    EXPECT_NE(messages.find("wrote at offset 137216(1, 6144) failed, retrying\n"),
              std::string::npos)
        << messages;
    EXPECT_TRUE(rawIsBad(node_, kNandBlock));
    EXPECT_EQ(rawRead(node_, 0, kNandBlock), data.substr(0, kNandBlock));
    // The three pages written into block 1 before the failure came along to block 2.
    EXPECT_EQ(rawRead(node_, 2 * kNandBlock, 2 * kNandBlock), data.substr(kNandBlock));
    ASSERT_EQ(stream_->open(node_.c_str(), 1, 6 * kNandBlock), 0);
    EXPECT_EQ(readUpTo(*stream_, 3 * kNandBlock), data);
}

TEST_F(NandStreamTest, ProgramFailureNeverSpillsPastTheLimit) {
    load("weakpages=" + std::to_string(kNandPagesPerBlock + 3) + ":0");
    const std::string neighbour = randomBytes(kNandBlock, 32);
    rawWrite(node_, 2 * kNandBlock, neighbour);
    const std::string data = randomBytes(2 * kNandBlock, 33);
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 2 * kNandBlock), 0);
    ASSERT_EQ(stream_->erase(), 0);
    CaptureStderr();
    EXPECT_EQ(stream_->write(data.data(), static_cast<uint32_t>(data.size())), -1);
    const std::string messages = GetCapturedStderr();
    EXPECT_NE(messages.find("wrote at offset 137216(1, 6144) failed, retrying\n"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find("write failed : no space left on device\n"), std::string::npos)
        << messages;
    EXPECT_EQ(rawRead(node_, 2 * kNandBlock, kNandBlock), neighbour);
}

TEST_F(NandStreamTest, ReopenedStreamNeedsAFreshErase) {
    load();
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 2 * kNandBlock), 0);
    ASSERT_EQ(stream_->erase(), 0);
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 4 * kNandBlock), 0);
    ASSERT_EQ(stream_->seek(2 * kNandBlock), static_cast<int>(2 * kNandBlock));
    const std::string data = randomBytes(kNandPage, 34);
    CaptureStderr();
    EXPECT_EQ(stream_->write(data.data(), kNandPage), -1);
    EXPECT_EQ(GetCapturedStderr(), "write failed : erase is required before write\n");
}

TEST_F(NandStreamTest, WriteBelowTheErasedPartIsRefused) {
    load();
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 2 * kNandBlock), 0);
    ASSERT_EQ(stream_->seek(kNandBlock), static_cast<int>(kNandBlock));
    ASSERT_EQ(stream_->erase(), 0);
    ASSERT_EQ(stream_->seek(0), 0);
    const std::string data = randomBytes(kNandPage, 35);
    CaptureStderr();
    EXPECT_EQ(stream_->write(data.data(), kNandPage), -1);
    EXPECT_EQ(GetCapturedStderr(), "write failed : erase is required before write\n");
}

TEST_F(NandStreamTest, SeekWritesCollectedBytesWhereTheyWereMeantToGo) {
    load();
    ASSERT_EQ(stream_->open(node_.c_str(), 2, 4 * kNandBlock), 0);
    ASSERT_EQ(stream_->erase(), 0);
    ASSERT_EQ(stream_->write("abc", 3), 3);
    ASSERT_EQ(stream_->seek(kNandBlock), static_cast<int>(kNandBlock));
    const std::string data = randomBytes(kNandPage, 36);
    ASSERT_EQ(stream_->write(data.data(), kNandPage), static_cast<int>(kNandPage));
    ASSERT_EQ(stream_->close(), 0);
    EXPECT_EQ(rawRead(node_, 0, kNandPage), "abc" + erasedBytes(kNandPage - 3));
    EXPECT_EQ(rawRead(node_, kNandBlock, kNandPage), data);
}

class NorStreamTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        device_ = randomBytes(norSize(), 40);
        rawProgram(kNorNode, 0, device_, norBlock());
    }
    std::string device_;
    PatchStreamNor stream_;
};

TEST_F(NorStreamTest, WritesWholeEraseBlocksOnly) {
    ASSERT_EQ(stream_.open(kNorNode, 2, 3 * norBlock()), 0);
    ASSERT_EQ(stream_.erase(), 0);
    const std::string data = randomBytes(norBlock() + 10, 41);
    EXPECT_EQ(stream_.write(data.data(), 100), 100);
    EXPECT_EQ(rawRead(kNorNode, 0, norBlock()), erasedBytes(norBlock()));
    EXPECT_EQ(stream_.write(data.data() + 100, norBlock() - 100),
              static_cast<int>(norBlock() - 100));
    EXPECT_EQ(rawRead(kNorNode, 0, norBlock()), data.substr(0, norBlock()));
    EXPECT_EQ(stream_.write(data.data() + norBlock(), 10), 10);
    EXPECT_EQ(rawRead(kNorNode, norBlock(), norBlock()), erasedBytes(norBlock()));
    EXPECT_EQ(stream_.close(), 0);
    EXPECT_EQ(rawRead(kNorNode, norBlock(), norBlock()),
              data.substr(norBlock()) + erasedBytes(norBlock() - 10));
    EXPECT_EQ(rawRead(kNorNode, 3 * norBlock(), norSize() - 3 * norBlock()),
              device_.substr(3 * norBlock()));
}

TEST_F(NorStreamTest, EraseKeepsTheBytesFromTheLimitOnInTheLastBlock) {
    const uint32_t limit = 2 * norBlock() + 1000;
    ASSERT_EQ(stream_.open(kNorNode, 2, limit), 0);
    ASSERT_EQ(stream_.erase(), 0);
    EXPECT_EQ(rawRead(kNorNode, 0, limit), erasedBytes(limit));
    EXPECT_EQ(rawRead(kNorNode, limit, norSize() - limit), device_.substr(limit));
}

TEST_F(NorStreamTest, RecordCopiedFromFileLandsInItsBlockAndNowhereElse) {
    TempDir dir;
    const std::string record = randomBytes(norBlock(), 42);
    writeBytes(dir / "vpd1.bin", record);
    PatchStreamFile file;
    ASSERT_EQ(file.open((dir / "vpd1.bin").c_str(), 1, 0), 0);
    const uint32_t at = 0xC0000;
    ASSERT_EQ(stream_.open(kNorNode, 2, at + norBlock()), 0);
    ASSERT_EQ(stream_.seek(at), static_cast<int>(at));
    ASSERT_EQ(stream_.erase(), 0);
    std::string buffer(0x30000, '\0');
    const int n = file.read(&buffer[0], 0x30000);
    ASSERT_EQ(n, static_cast<int>(norBlock()));
    EXPECT_EQ(stream_.write(buffer.data(), static_cast<uint32_t>(n)), n);
    ASSERT_EQ(stream_.close(), 0);
    EXPECT_EQ(rawRead(kNorNode, 0, at), device_.substr(0, at));
    EXPECT_EQ(rawRead(kNorNode, at, norBlock()), record);
    EXPECT_EQ(rawRead(kNorNode, at + norBlock(), norSize() - at - norBlock()),
              device_.substr(at + norBlock()));

    ASSERT_EQ(stream_.open(kNorNode, 1, at + norBlock()), 0);
    ASSERT_EQ(stream_.seek(at), static_cast<int>(at));
    EXPECT_EQ(readUpTo(stream_, 0x30000), record);
}

TEST_F(NorStreamTest, WritePastTheLimitIsRefused) {
    ASSERT_EQ(stream_.open(kNorNode, 2, norBlock()), 0);
    ASSERT_EQ(stream_.erase(), 0);
    const std::string data = randomBytes(norBlock() + 1, 43);
    CaptureStderr();
    EXPECT_EQ(stream_.write(data.data(), norBlock() + 1), -1);
    EXPECT_EQ(GetCapturedStderr(), "write failed : no space left on device\n");
    EXPECT_EQ(rawRead(kNorNode, norBlock(), norBlock()), device_.substr(norBlock(), norBlock()));
}

}  // namespace
}  // namespace testing
}  // namespace KIVRA
