#include "qvsystemtools/file_queries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "qvsystemtools/unique_fd.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace qvsystemtools {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

class FileQueriesTest : public testing::SandboxTest {};

TEST_F(FileQueriesTest, SameFileFollowsNamesToTheInodeAndIsFalseForMissingFiles) {
    const std::string file = tempDir() / "file";
    writeBytes(file, "x");
    writeBytes(tempDir() / "copy", "x");
    ASSERT_EQ(::link(file.c_str(), (tempDir() / "hard").c_str()), 0);
    ASSERT_EQ(::symlink(file.c_str(), (tempDir() / "soft").c_str()), 0);
    const struct {
        const char* other;
        bool same;
    } rows[] = {{"file", true}, {"hard", true}, {"soft", true}, {"copy", false}, {"gone", false}};
    const qvsystemtools::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    for (const auto& row : rows) {
        EXPECT_EQ(sameFile(file, tempDir() / row.other), row.same) << row.other;
        EXPECT_EQ(sameFile(fd.get(), tempDir() / row.other), row.same) << row.other;
    }
    EXPECT_FALSE(sameFile(-1, file));
}

TEST_F(FileQueriesTest, TypeTestsTellDevicesFifosAndFollowLinks) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    std::string block = dir / "block";
    const std::string file = dir / "file";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    if (::mknod(block.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) {
        // The unprivileged sandbox may not make device nodes; the host's loop device serves.
        block = "/dev/loop0";
        ASSERT_EQ(::access(block.c_str(), F_OK), 0) << "no block device to test with";
    }
    writeBytes(file, "x");
    ASSERT_EQ(::symlink(fifo.c_str(), (dir / "to-fifo").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", (dir / "to-null").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);

    const struct {
        std::string path;
        bool chr, blk, fifo;
    } rows[] = {
        {"/dev/null", true, false, false},
        {dir / "to-null", true, false, false},
        {block, false, true, false},
        {fifo, false, false, true},
        {dir / "to-fifo", false, false, true},
        {file, false, false, false},
        {dir.path(), false, false, false},
        {dir / "dangling", false, false, false},
        {"", false, false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isCharDevice(row.path), row.chr) << row.path;
        EXPECT_EQ(isBlockDevice(row.path), row.blk) << row.path;
        EXPECT_EQ(isFifo(row.path), row.fifo) << row.path;
    }
}

TEST_F(FileQueriesTest, CreateFileLeavesEmptyFileOrReportsWhyNot) {
    TempDir dir;
    EXPECT_EQ(createFile(""), TOOL_ERR_EMPTY_PATH);
    EXPECT_EQ(createFile(dir / "missing/file"), TOOL_ERR_OPEN_DIR);
    EXPECT_FALSE(testing::exists(dir / "missing"));

    EXPECT_EQ(createFile(dir / "new"), TOOL_OK);
    EXPECT_EQ(readBytes(dir / "new"), "");
    writeBytes(dir / "full", "old content");
    EXPECT_EQ(createFile(dir / "full"), TOOL_OK);
    EXPECT_EQ(readBytes(dir / "full"), "");
}

TEST_F(FileQueriesTest, CountLinesCountsUnendedLastLineAndNeverOpensNonFiles) {
    TempDir dir;
    const struct {
        const char* content;
        int lines;
    } rows[] = {
        {"", 0}, {"\n", 1}, {"a\nb\n", 2}, {"a\nb", 2}, {"\n\n\n", 3}, {"one line", 1},
    };
    for (const auto& row : rows) {
        writeBytes(dir / "f", row.content);
        EXPECT_EQ(countLines(dir / "f"), row.lines) << row.content;
    }
    EXPECT_EQ(countLines(dir / "missing"), 0);
    EXPECT_EQ(countLines(dir.path()), 0);
    // Opening a FIFO without a writer would block for ever.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(countLines(dir / "fifo"), 0);
}

}  // namespace
}  // namespace qvsystemtools
}  // namespace KIVRA
