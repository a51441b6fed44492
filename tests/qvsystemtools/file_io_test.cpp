// The toolbox's file I/O layer: full reads, copies, the atomic file and directory walks.

#include "qvsystemtools/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using qvsystemtools::AtomicFile;
using qvsystemtools::DirEntries;
using qvsystemtools::UniqueDir;
using qvsystemtools::UniqueFd;
using testing::exists;
using testing::TempDir;

std::set<std::string> namesIn(const std::string& dir) {
    UniqueDir handle(::opendir(dir.c_str()));
    DirEntries entries(handle.get());
    std::set<std::string> names;
    while (const dirent* entry = entries.next()) {
        names.insert(entry->d_name);
    }
    EXPECT_EQ(entries.error(), 0);
    return names;
}

TEST(FileIo, ReadFullStopsAtTheEndAndKeepsTheErrnoOfAFailedRead) {
    TempDir dir;
    testing::writeBytes(dir / "f", "abc");
    UniqueFd fd(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[8];
    const qvsystemtools::ReadResult got = qvsystemtools::readFull(fd.get(), buffer, sizeof buffer);
    EXPECT_EQ(got.count, 3U);
    EXPECT_EQ(got.error, 0);

    UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(qvsystemtools::readFull(directory.get(), buffer, sizeof buffer).error, EISDIR);
    std::string text = "kept";
    EXPECT_EQ(qvsystemtools::readToEnd(directory.get(), text), EISDIR);
    EXPECT_EQ(text, "kept");
}

// Several chunks arrive whole; a failure names its side, so a copy can say which file failed.
TEST(FileIo, CopyToEndCopiesEveryByteAndTellsAFailedReadFromAFailedWrite) {
    TempDir dir;
    const std::string data = testing::randomBytes(3 * 128 * 1024 + 7, 5);
    testing::writeBytes(dir / "in", data);
    UniqueFd in(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const qvsystemtools::CopyResult copied = qvsystemtools::copyToEnd(in.get(), out.get());
    EXPECT_EQ(copied.error, 0);
    EXPECT_TRUE(testing::readBytes(dir / "out") == data);

    UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const qvsystemtools::CopyResult fromDir = qvsystemtools::copyToEnd(directory.get(), out.get());
    EXPECT_EQ(fromDir.error, EISDIR);
    EXPECT_TRUE(fromDir.failedRead);
    ASSERT_EQ(::lseek(in.get(), 0, SEEK_SET), 0);
    const qvsystemtools::CopyResult toReadOnly = qvsystemtools::copyToEnd(in.get(), in.get());
    EXPECT_EQ(toReadOnly.error, EBADF);
    EXPECT_FALSE(toReadOnly.failedRead);
}

TEST(FileIo, ReadToEndAppendsTheWholeFile) {
    TempDir dir;
    const std::string data(10000, 'x');
    testing::writeBytes(dir / "f", data);
    UniqueFd fd(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
    std::string text = ">";
    EXPECT_EQ(qvsystemtools::readToEnd(fd.get(), text), 0);
    EXPECT_EQ(text, ">" + data);
}

TEST(FileIo, AtomicFileReplacesTheTargetOnlyOnCommit) {
    TempDir dir;
    testing::writeBytes(dir / "target", "old");
    {
        AtomicFile dropped(dir / "target");
        ASSERT_TRUE(dropped.valid());
        ASSERT_TRUE(qvsystemtools::writeAllFd(dropped.fd(), "half", 4));
    }
    EXPECT_EQ(testing::readBytes(dir / "target"), "old");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"target"});

    AtomicFile file(dir / "target");
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(qvsystemtools::writeAllFd(file.fd(), "new", 3));
    EXPECT_EQ(testing::readBytes(dir / "target"), "old");
    EXPECT_EQ(file.commit(), 0);
    EXPECT_EQ(testing::readBytes(dir / "target"), "new");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"target"});
}

TEST(FileIo, AtomicFileInAMissingDirectoryIsInvalidWithItsReason) {
    TempDir dir;
    AtomicFile file(dir / "missing/target");
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(file.commit(), EBADF);
    EXPECT_FALSE(exists(dir / "missing"));
}

TEST(FileIo, DirEntriesSkipDotEntriesAndTellTheEnd) {
    TempDir dir;
    testing::writeBytes(dir / "a", "");
    ASSERT_EQ(::mkdir((dir / "b").c_str(), 0700), 0);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a", "b"}));
    DirEntries none(nullptr);
    EXPECT_EQ(none.next(), nullptr);
    EXPECT_EQ(none.error(), EBADF);
}

}  // namespace
}  // namespace KIVRA
