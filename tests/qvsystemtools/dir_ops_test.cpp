#include "qvsystemtools/dir_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include "qvsystemtools/file_ops.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using namespace qvsystemtools;
using testing::exists;
using testing::readBytes;
using testing::writeBytes;

class DirOpsTest : public testing::SandboxTest {
protected:
    testing::TempDir dir;
    void mk(const std::string& name) { ASSERT_EQ(::mkdir((dir / name).c_str(), 0755), 0); }
};

TEST_F(DirOpsTest, RemoveDirRemovesLinkButNotItsTargetOutsideTree) {
    mk("outside");
    writeBytes(dir / "outside/keep", "k");
    mk("tree");
    mk("tree/sub");
    writeBytes(dir / "tree/sub/f", "f");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "tree/link").c_str()), 0);
    EXPECT_EQ(removeDir(dir / "tree"), TOOL_OK);
    EXPECT_FALSE(exists(dir / "tree"));
    EXPECT_EQ(readBytes(dir / "outside/keep"), "k");
}

TEST_F(DirOpsTest, RemoveDirOnFileOrLinkRefusesToOpen) {
    writeBytes(dir / "f", "x");
    mk("target");
    writeBytes(dir / "target/keep", "k");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(removeDir(dir / "f"), TOOL_ERR_OPEN_DIR);
    EXPECT_EQ(removeDir(dir / "link"), TOOL_ERR_OPEN_DIR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[qvsystemtools::removeDir] Cannot open dir " + (dir / "f") +
                  "\n[qvsystemtools::removeDir] Cannot open dir " + (dir / "link") + "\n");
    EXPECT_EQ(readBytes(dir / "target/keep"), "k");
}

// Another user swaps a subdirectory for a link to a directory of the system at the moment
// the removal opens it.
TEST_F(DirOpsTest, RemoveDirNeverFollowsALinkSwappedInWhileItEmptiesADirectory) {
    mk("system");
    writeBytes(dir / "system/keep", "k");
    mk("tree");
    mk("tree/a");
    writeBytes(dir / "tree/a/keep", "planted");
    bool swapped = false;
    ToolStatus result = TOOL_OK;
    const bool held = testing::withOpenHeld(
        dir / "tree/a",
        [&] {
            swapped = ::rename((dir / "tree/a").c_str(), (dir / "tree/moved").c_str()) == 0 &&
                      ::symlink((dir / "system").c_str(), (dir / "tree/a").c_str()) == 0;
        },
        [&] {
            ::testing::internal::CaptureStderr();
            result = removeDir(dir / "tree");
            (void)::testing::internal::GetCapturedStderr();
        });
    if (!held) {
        GTEST_SKIP() << "no fanotify permission events here";
    }
    ASSERT_TRUE(swapped);
    EXPECT_EQ(readBytes(dir / "system/keep"), "k");
    EXPECT_FALSE(exists(dir / "tree/moved/keep")) << "the directory opened is the one emptied";
    EXPECT_EQ(result, TOOL_ERR_REMOVE_DIR) << "a link is no directory to remove";
}

TEST_F(DirOpsTest, NestedFailureReportsOneLinePerLevel) {
    // A mount point cannot be removed, so the innermost rmdir fails even for root.
    mk("a");
    mk("a/b");
    mk("a/b/m");
    ASSERT_EQ(::system(("mount -t tmpfs x " + (dir / "a/b/m")).c_str()), 0);
    writeBytes(dir / "a/b/m/inner", "i");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(forceCreateDir(dir / "a", true, 0700), TOOL_ERR_REMOVE_DIR);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::system(("umount " + (dir / "a/b/m")).c_str()), 0);
    EXPECT_EQ(err, "[qvsystemtools::removeDir] Cannot remove " + (dir / "a/b/m") + "\n" +
                       "[qvsystemtools::removeDir] Cannot remove dir " + (dir / "a/b/m") + "\n" +
                       "[qvsystemtools::removeDir] Cannot remove dir " + (dir / "a/b") + "\n" +
                       "[qvsystemtools::forceCreateDir] Cannot remove " + (dir / "a") + "\n");
}

TEST_F(DirOpsTest, ForceCreateDirKeepsOrRecreatesByFlag) {
    mk("d");
    writeBytes(dir / "d/f", "x");
    EXPECT_EQ(forceCreateDir(dir / "d", false), TOOL_OK);
    EXPECT_TRUE(isFile(dir / "d/f"));
    const mode_t old = ::umask(022);
    EXPECT_EQ(forceCreateDir(dir / "d", true, 0750), TOOL_OK);
    ::umask(old);
    EXPECT_FALSE(exists(dir / "d/f"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST_F(DirOpsTest, ForceCreateDirReplacesRegularFileWhateverTheFlag) {
    writeBytes(dir / "p", "x");
    EXPECT_EQ(forceCreateDir(dir / "p", false), TOOL_OK);
    EXPECT_TRUE(isDir(dir / "p"));
}

TEST_F(DirOpsTest, ForceCreateDirNeverEmptiesSymlinkTarget) {
    mk("victim");
    writeBytes(dir / "victim/keep", "k");
    ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "mnt").c_str()), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(forceCreateDir(dir / "mnt", true), TOOL_ERR_CREATE_DIR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[qvsystemtools::forceCreateDir] Cannot create " + (dir / "mnt") + "\n");
    EXPECT_EQ(readBytes(dir / "victim/keep"), "k");
}

TEST_F(DirOpsTest, ForceCreateDirWithoutRemovalTreatsLinksAsWhatTheyPointTo) {
    mk("target");
    writeBytes(dir / "target/keep", "k");
    writeBytes(dir / "file", "f");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "to-dir").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "to-file").c_str()), 0);
    EXPECT_EQ(forceCreateDir(dir / "to-dir", false), TOOL_OK);
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "to-dir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "a link to a directory is kept";
    EXPECT_EQ(readBytes(dir / "target/keep"), "k");
    EXPECT_EQ(forceCreateDir(dir / "to-file", false, 0750), TOOL_OK);
    ASSERT_EQ(::lstat((dir / "to-file").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << "the link is replaced by a directory";
    EXPECT_EQ(readBytes(dir / "file"), "f") << "the link's target is never touched";
}

TEST_F(DirOpsTest, ForceCreateDirWithMissingParentFails) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(forceCreateDir(dir / "no/such", true), TOOL_ERR_CREATE_DIR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[qvsystemtools::forceCreateDir] Cannot create " + (dir / "no/such") + "\n");
}

TEST_F(DirOpsTest, FindFileMatchesSuffixAndUpperCaseExtensionInSubdirectories) {
    mk("store");
    mk("store/sub");
    writeBytes(dir / "store/sub/R1_2.ISO", "iso");
    std::string found = "stale", error;
    ASSERT_TRUE(findFile(dir / "store", {".iso"}, found, error));
    EXPECT_EQ(found, dir / "store/sub/R1_2.ISO");
    ASSERT_TRUE(findFile(dir / "store", {".img"}, found, error));
    EXPECT_EQ(found, "");
}

TEST_F(DirOpsTest, FindFileWithoutNamesTakesFirstFile) {
    mk("one");
    writeBytes(dir / "one/only", "x");
    std::string found, error;
    ASSERT_TRUE(findFile(dir / "one", {}, found, error));
    EXPECT_EQ(found, dir / "one/only");
}

TEST_F(DirOpsTest, FindFileReportsDirectoryThatCannotBeOpened) {
    std::string found = "untouched", error = "old";
    EXPECT_FALSE(findFile(dir / "missing", {".iso"}, found, error));
    EXPECT_EQ(error, "Cannot open dir " + (dir / "missing"));
    EXPECT_EQ(found, "untouched");
}

}  // namespace
}  // namespace KIVRA
