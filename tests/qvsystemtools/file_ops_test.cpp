#include "qvsystemtools/file_ops.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using namespace qvsystemtools;
using testing::readBytes;
using testing::writeBytes;

class FileOpsTest : public testing::SandboxTest {
protected:
    testing::TempDir dir;
};

TEST_F(FileOpsTest, FileTypeTestsFollowLinks) {
    writeBytes(dir / "f", "x");
    ASSERT_EQ(::symlink((dir / "f").c_str(), (dir / "lf").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "ld").c_str()), 0);
    EXPECT_TRUE(isFile(dir / "f"));
    EXPECT_TRUE(isFile(dir / "lf"));
    EXPECT_FALSE(isFile(dir / "dangling"));
    EXPECT_FALSE(isFile(dir.path()));
    EXPECT_FALSE(isFile(""));
    EXPECT_TRUE(isDir(dir / "ld"));
    EXPECT_FALSE(isDir(dir / "f"));
}

TEST_F(FileOpsTest, CopyReproducesBytesIncludingLargeAndEmptyFiles) {
    const std::string big = testing::randomBytes(3 * 1024 * 1024 + 17, 7);
    writeBytes(dir / "big", big);
    ASSERT_EQ(copyFile(dir / "big", dir / "big.copy"), TOOL_OK);
    EXPECT_EQ(readBytes(dir / "big.copy"), big);
    writeBytes(dir / "empty", "");
    writeBytes(dir / "target", "old content");
    ASSERT_EQ(copyFile(dir / "empty", dir / "target"), TOOL_OK);
    EXPECT_EQ(readBytes(dir / "target"), "");
}

TEST_F(FileOpsTest, CopyOntoItselfKeepsTheFile) {
    const std::string data = testing::randomBytes(200 * 1024, 11);
    writeBytes(dir / "f", data);
    ASSERT_EQ(::link((dir / "f").c_str(), (dir / "hard").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "f").c_str(), (dir / "soft").c_str()), 0);
    const std::string same[] = {dir / "f", dir / "hard", dir / "soft", dir.path() + "//./f"};
    for (const std::string& destination : same) {
        EXPECT_EQ(copyFile(dir / "f", destination), TOOL_OK) << destination;
        EXPECT_EQ(readBytes(dir / "f"), data) << destination;
    }
}

TEST_F(FileOpsTest, CopyWithMissingSourceEmptiesDestinationAndReportsSource) {
    writeBytes(dir / "dest", "stale image");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(copyFile(dir / "nosuch", dir / "dest"), TOOL_ERR_SOURCE_NOT_OPEN);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[qvsystemtools::copyFile] Source " + (dir / "nosuch") + " is not open\n");
    EXPECT_EQ(readBytes(dir / "dest"), "");
}

TEST_F(FileOpsTest, CopyToUnopenableDestinationReportsDestination) {
    writeBytes(dir / "src", "data");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(copyFile(dir / "src", dir / "nodir/dest"), TOOL_ERR_FILE_NOT_OPEN);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[qvsystemtools::copyFile] Destination " + (dir / "nodir/dest") + " is not open\n");
}

// A tiny file system stands in for a full data partition.
class FullDiskTest : public FileOpsTest {
protected:
    void SetUp() override {
        FileOpsTest::SetUp();
        ASSERT_EQ(::mkdir((dir / "small").c_str(), 0755), 0);
        ASSERT_EQ(::mount("qvfull", (dir / "small").c_str(), "tmpfs", 0, "size=64k"), 0);
    }
    void TearDown() override { (void)::umount((dir / "small").c_str()); }
};

TEST_F(FullDiskTest, CopyOntoFullPartitionIsAFailureNotSuccess) {
    writeBytes(dir / "src", testing::randomBytes(512 * 1024, 3));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(copyFile(dir / "src", dir / "small/dst"), TOOL_ERR_FILE_NOT_OPEN);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("[qvsystemtools::copyFile] "),
              std::string::npos);
}

TEST_F(FullDiskTest, WriteAndAppendOntoFullPartitionFail) {
    const std::string data = testing::randomBytes(256 * 1024, 4);
    EXPECT_EQ(writeFile(data, dir / "small/w"), TOOL_ERR_FILE_NOT_OPEN);
    EXPECT_EQ(appendFile(data, dir / "small/a"), TOOL_ERR_FILE_NOT_OPEN);
    ASSERT_EQ(::unlink((dir / "small/w").c_str()), 0);
    ASSERT_EQ(::unlink((dir / "small/a").c_str()), 0);
    EXPECT_EQ(writeFile("fits", dir / "small/ok"), TOOL_OK);
}

TEST_F(FileOpsTest, ReadFileAppendsBytesAndOneMoreLineEnd) {
    std::string content = "kept:";
    writeBytes(dir / "two", "l1\nl2\n");
    ASSERT_EQ(readFile(content, dir / "two"), TOOL_OK);
    EXPECT_EQ(content, "kept:l1\nl2\n\n");
    std::string noFinal;
    writeBytes(dir / "nofinal", "l1\nl2");
    ASSERT_EQ(readFile(noFinal, dir / "nofinal"), TOOL_OK);
    EXPECT_EQ(noFinal, "l1\nl2\n");
    std::string empty;
    writeBytes(dir / "empty", "");
    ASSERT_EQ(readFile(empty, dir / "empty"), TOOL_OK);
    EXPECT_EQ(empty, "\n");
}

TEST_F(FileOpsTest, ReadFileFailureLeavesContentUntouched) {
    std::string content = "before";
    EXPECT_EQ(readFile(content, dir / "missing"), TOOL_ERR_FILE_NOT_OPEN);
    EXPECT_EQ(readFile(content, dir.path()), TOOL_ERR_FILE_NOT_OPEN);
    EXPECT_EQ(content, "before");
}

TEST_F(FileOpsTest, WriteReplacesAndAppendExtends) {
    EXPECT_EQ(appendFile("a", dir / "new"), TOOL_OK);
    EXPECT_EQ(appendFile("b", dir / "new"), TOOL_OK);
    EXPECT_EQ(readBytes(dir / "new"), "ab");
    EXPECT_EQ(writeFile("", dir / "new"), TOOL_OK);
    EXPECT_EQ(readBytes(dir / "new"), "");
    EXPECT_EQ(writeFile("x", dir / "nodir/f"), TOOL_ERR_FILE_NOT_OPEN);
}

}  // namespace
}  // namespace KIVRA
