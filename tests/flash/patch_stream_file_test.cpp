// PatchStreamFile: the file side of every flash copy.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "flash/patch_stream_file.h"
#include "flash/patch_stream_nand.h"
#include "flash/patch_stream_nor.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {
namespace {

class PatchStreamFileTest : public SandboxTest {
protected:
    std::string read(PatchStream& stream, size_t length) {
        std::string buffer(length, '\0');
        const int n = stream.read(&buffer[0], static_cast<uint32_t>(length));
        return n < 0 ? "<failed>" : buffer.substr(0, static_cast<size_t>(n));
    }
    int openDescriptors() {
        int count = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            count += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        }
        return count;
    }

    TempDir dir_;
    std::unique_ptr<PatchStream> stream_ = std::make_unique<PatchStreamFile>();
};

TEST_F(PatchStreamFileTest, WriteModeCreatesFileWithMode0644) {
    const mode_t old = ::umask(0);
    const int rc = stream_->open((dir_ / "new.bin").c_str(), 2, 0);
    (void)::umask(old);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(stream_->getMode(), 2);
    EXPECT_EQ(stream_->write("xyz", 3), 3);
    EXPECT_EQ(stream_->close(), 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readBytes(dir_ / "new.bin"), "xyz");
}

TEST_F(PatchStreamFileTest, WriteModeEmptiesAnExistingFile) {
    writeBytes(dir_ / "old.bin", randomBytes(5000, 1));
    ASSERT_EQ(stream_->open((dir_ / "old.bin").c_str(), 2, 0), 0);
    EXPECT_EQ(stream_->write("ab", 2), 2);
    stream_.reset();
    EXPECT_EQ(readBytes(dir_ / "old.bin"), "ab");
}

TEST_F(PatchStreamFileTest, ReadModeDeliversTheFileAndThenNothing) {
    const std::string data = randomBytes(70000, 2);
    writeBytes(dir_ / "data.bin", data);
    ASSERT_EQ(stream_->open((dir_ / "data.bin").c_str(), 1, 100), 0);  // the limit means nothing
    EXPECT_EQ(stream_->getMode(), 1);
    EXPECT_EQ(read(*stream_, 0x30000), data);
    EXPECT_EQ(read(*stream_, 0x30000), "");
}

TEST_F(PatchStreamFileTest, SeekPlacesTheNextReadAndWrite) {
    const std::string data = randomBytes(4096, 3);
    writeBytes(dir_ / "data.bin", data);
    ASSERT_EQ(stream_->open((dir_ / "data.bin").c_str(), 1, 0), 0);
    EXPECT_EQ(stream_->seek(1000), 1000);
    EXPECT_EQ(read(*stream_, 10), data.substr(1000, 10));

    ASSERT_EQ(stream_->open((dir_ / "out.bin").c_str(), 2, 0), 0);
    EXPECT_EQ(stream_->seek(5), 5);
    EXPECT_EQ(stream_->write("z", 1), 1);
    stream_->close();
    EXPECT_EQ(readBytes(dir_ / "out.bin"), std::string(5, '\0') + "z");
}

TEST_F(PatchStreamFileTest, EraseChangesNothing) {
    const std::string data = randomBytes(100, 4);
    writeBytes(dir_ / "data.bin", data);
    ASSERT_EQ(stream_->open((dir_ / "data.bin").c_str(), 1, 0), 0);
    EXPECT_EQ(stream_->erase(), 0);
    EXPECT_EQ(read(*stream_, 200), data);
}

TEST_F(PatchStreamFileTest, UnknownModeAndMissingFileFail) {
    EXPECT_EQ(stream_->open((dir_ / "data.bin").c_str(), 3, 0), -1);
    EXPECT_FALSE(exists(dir_ / "data.bin"));
    EXPECT_EQ(stream_->open((dir_ / "missing.bin").c_str(), 1, 0), -1);
    EXPECT_EQ(stream_->read(nullptr, 0), -1);  // nothing is open
}

TEST_F(PatchStreamFileTest, ReadOnlyStreamRefusesWrites) {
    writeBytes(dir_ / "data.bin", "abc");
    ASSERT_EQ(stream_->open((dir_ / "data.bin").c_str(), 1, 0), 0);
    EXPECT_EQ(stream_->write("x", 1), -1);
    EXPECT_EQ(readBytes(dir_ / "data.bin"), "abc");
}

TEST_F(PatchStreamFileTest, WriteThatFindsNoSpaceIsAFailureNotSuccess) {
    ASSERT_EQ(stream_->open("/dev/full", 2, 0), 0);
    EXPECT_EQ(stream_->write("abc", 3), -1);
}

TEST_F(PatchStreamFileTest, OpeningAgainReleasesTheEarlierFile) {
    writeBytes(dir_ / "a.bin", "a");
    writeBytes(dir_ / "b.bin", "b");
    const int before = openDescriptors();
    ASSERT_EQ(stream_->open((dir_ / "a.bin").c_str(), 1, 0), 0);
    ASSERT_EQ(stream_->open((dir_ / "b.bin").c_str(), 1, 0), 0);
    EXPECT_EQ(openDescriptors(), before + 1);
    EXPECT_EQ(read(*stream_, 10), "b");
    stream_.reset();
    EXPECT_EQ(openDescriptors(), before);
}

// Without an MTD device the flash streams refuse to open and stay harmless.
TEST_F(PatchStreamFileTest, FlashStreamsRefuseWhatIsNoMtdDevice) {
    writeBytes(dir_ / "data.bin", randomBytes(4096, 5));
    PatchStreamNand nand;
    PatchStreamNor nor;
    EXPECT_EQ(nand.open((dir_ / "data.bin").c_str(), 3, 0), -1);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(nand.open((dir_ / "data.bin").c_str(), 1, 0), -1);
    EXPECT_EQ(nor.open("/dev/null", 2, 0), -1);
    (void)::testing::internal::GetCapturedStdout();
    (void)::testing::internal::GetCapturedStderr();
    char buffer[16];
    EXPECT_EQ(nand.read(buffer, sizeof buffer), -1);
    EXPECT_EQ(nor.write(buffer, sizeof buffer), -1);
    EXPECT_EQ(nor.erase(), -1);
    EXPECT_EQ(nand.close(), 0);
}

}  // namespace
}  // namespace testing
}  // namespace KIVRA
