#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"
#include "tests/support/test_support.h"

// Images and their staging copies can exceed what a 32-bit file offset reaches; on the
// router's 32-bit ARM that holds only while every file access uses 64-bit offsets.
static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit on every target");

namespace KIVRA {
namespace {

using namespace qvsystemtools;

class LargeFileTest : public testing::SandboxTest {
protected:
    // A sparse file past 4 GiB: no memory or disk is spent on it.
    std::string makeSparse(const std::string& name, off_t size) {
        const std::string path = dir / name;
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        EXPECT_TRUE(fd.valid());
        EXPECT_EQ(::ftruncate(fd.get(), size), 0);
        return path;
    }
    testing::TempDir dir;
};

constexpr off_t kBeyond4GiB = (off_t{1} << 32) + 4096 + 3;

TEST_F(LargeFileTest, FileBeyondFourGiBIsStillAFile) {
    const std::string path = makeSparse("image", kBeyond4GiB);
    // A 32-bit stat answers EOVERFLOW here, and the image would be reported missing.
    EXPECT_TRUE(isFile(path));
    EXPECT_FALSE(isDir(path));
}

// The next two catch an open without large-file access, which the device's 32-bit kernel
// refuses (EOVERFLOW) for files beyond 2 GiB; tests/support/large_file_rule.cpp applies the
// same rule under emulation.
TEST_F(LargeFileTest, AppendToFileBeyondFourGiBLandsAtItsEnd) {
    const std::string path = makeSparse("log", kBeyond4GiB);
    ASSERT_EQ(appendFile("tail", path), TOOL_OK);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_size), static_cast<int64_t>(kBeyond4GiB) + 4);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    char text[4] = {};
    ASSERT_EQ(::pread(fd.get(), text, sizeof text, kBeyond4GiB), 4);
    EXPECT_EQ(std::string(text, 4), "tail");
    // Nothing wrapped round to the start of the file.
    char head[4] = {1, 1, 1, 1};
    ASSERT_EQ(::pread(fd.get(), head, sizeof head, 4096 + 3), 4);
    EXPECT_EQ(std::string(head, 4), std::string(4, '\0'));
}

TEST_F(LargeFileTest, CopyReadsSourceBeyondTwoGiBFromItsStart) {
    // Only the opening matters here: a source that a 32-bit open refuses (EOVERFLOW) must be
    // read, so the copy is given a destination it cannot fill and stops at the first write.
    const std::string path = makeSparse("big", kBeyond4GiB);
    EXPECT_EQ(copyFile(path, "/dev/full"), TOOL_ERR_FILE_NOT_OPEN);
}

}  // namespace
}  // namespace KIVRA
