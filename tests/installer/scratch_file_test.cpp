#include "installer/scratch_file.h"

#include <sys/stat.h>

#include <vector>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::readBytes;
using testing::writeBytes;

class ScratchFileTest : public testing::SandboxTest {};

// A run killed while it writes a working copy leaves nothing behind: the file has no name
// until it is complete.
TEST_F(ScratchFileTest, HasNoNameUntilPutInPlaceThenReplacesTheTarget) {
    testing::TempDir dir;
    writeBytes(dir / "elsewhere", "keep");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "target").c_str()), 0);
    {
        installer::ScratchFile scratch(dir / "target", 0640);
        ASSERT_TRUE(scratch.valid());
        writeBytes(scratch.path(), "new");
        EXPECT_EQ(testing::dirEntries(dir.path()),
                  (std::vector<std::string>{"elsewhere", "target"}));
        ASSERT_TRUE(scratch.putInPlace());
    }
    EXPECT_EQ(testing::dirEntries(dir.path()), (std::vector<std::string>{"elsewhere", "target"}));
    EXPECT_EQ(readBytes(dir / "target"), "new");
    EXPECT_EQ(readBytes(dir / "elsewhere"), "keep") << "written through the planted link";
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "target").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    {
        installer::ScratchFile dropped(dir / "other", 0600);
        ASSERT_TRUE(dropped.valid());
    }
    EXPECT_EQ(testing::dirEntries(dir.path()), (std::vector<std::string>{"elsewhere", "target"}));
}

}  // namespace
}  // namespace KIVRA
