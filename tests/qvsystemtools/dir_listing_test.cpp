#include "qvsystemtools/dir_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>

#include "qvsystemtools/dir_ops.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace qvsystemtools {
namespace {

using testing::TempDir;
using testing::writeBytes;

constexpr off_t kGiB = 1024LL * 1024 * 1024;

class DirListingTest : public testing::SandboxTest {};

void makeDir(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }

void makeLink(const std::string& text, const std::string& path) {
    ASSERT_EQ(::symlink(text.c_str(), path.c_str()), 0) << path;
}

// A sparse file: costs no space on tmpfs.
void makeSparse(const std::string& path, off_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::ftruncate(fd, size), 0);
    EXPECT_EQ(::close(fd), 0);
}

std::map<std::string, int32_t> asMap(const std::vector<FileEntry>& entries) {
    std::map<std::string, int32_t> result;
    for (const FileEntry& entry : entries) {
        EXPECT_TRUE(result.emplace(entry.path, entry.size).second) << "twice: " << entry.path;
    }
    return result;
}

TEST_F(DirListingTest, ListDirSeparatesFilesFromDirsClearsFilesButAppendsDirs) {
    TempDir dir;
    writeBytes(dir / "ten", "0123456789");
    makeDir(dir / "sub");
    writeBytes(dir / "sub/deeper", "not counted");
    makeLink("ten", dir / "link");          // followed: a second 10-byte file
    makeLink("missing", dir / "dangling");  // stat fails: left out

    std::vector<std::string> files = {"stale"}, dirs;
    int32_t total = -5;
    DirListing listing;
    listing.files = &files;
    listing.dirs = &dirs;
    listing.totalSize = &total;
    std::string error;
    ASSERT_TRUE(listDir(dir.path(), listing, error));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{dir / "link", dir / "ten"}));
    EXPECT_EQ(dirs, std::vector<std::string>{dir / "sub"});
    EXPECT_EQ(total, 20);

    ASSERT_TRUE(listDir(dir.path(), listing, error));
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(dirs, (std::vector<std::string>{dir / "sub", dir / "sub"}));
    EXPECT_EQ(total, 20);
    EXPECT_EQ(error, "");
}

TEST_F(DirListingTest, ListingOfMissingDirReportsAndLeavesOutputsUntouched) {
    TempDir dir;
    std::vector<std::string> files = {"kept"};
    int32_t total = 77;
    int size = 88;
    DirListing listing;
    listing.files = &files;
    listing.totalSize = &total;
    std::string error;
    EXPECT_FALSE(listDir(dir / "missing", listing, error));
    EXPECT_EQ(error, "Cannot open dir " + dir / "missing");
    EXPECT_EQ(files, std::vector<std::string>{"kept"});
    EXPECT_EQ(total, 77);
    error.clear();
    EXPECT_FALSE(listFiles(dir / "missing", files, error));
    EXPECT_FALSE(getDirSize(dir / "missing", size, error));
    EXPECT_EQ(size, 88);
    EXPECT_EQ(error, "Cannot open dir " + dir / "missing");
}

// A directory that opens but whose entries cannot be read (a damaged medium) is a failure
// with the reason an unopenable one gives, in every walk of the toolbox: taken for the end,
// it would pass an incomplete listing off as whole.
TEST_F(DirListingTest, DirectoryReadErrorFailsEveryWalkWithItsReason) {
    TempDir dir;
    makeDir(dir / "d");
    writeBytes(dir / "d/f", "x");
    const std::string d = dir / "d";
    std::string error;
    struct Walk {
        const char* name;
        bool givesText;  // the walks that have an error text to fill
        std::function<bool()> failed;
    };
    const Walk walks[] = {
        {"listDir", true,
         [&] {
             DirListing listing;
             return !listDir(d, listing, error);
         }},
        {"listNames", true,
         [&] {
             std::vector<std::string> names;
             return !listNames(d, names, error);
         }},
        {"walkDir", true,
         [&] {
             std::vector<FileEntry> entries;
             DirListing listing;
             listing.fileEntries = &entries;
             return !walkDir(d, listing, error);
         }},
        {"findFile", true,
         [&] {
             std::string found;
             return !findFile(d, {}, found, error);
         }},
        {"countDirEntries", false, [&] { return countDirEntries(d, true) == -1; }},
        {"removeDir", false, [&] { return removeDir(d) == TOOL_ERR_OPEN_DIR; }},
    };
    for (const Walk& walk : walks) {
        SCOPED_TRACE(walk.name);
        error.clear();
        bool failed = false;
        ::testing::internal::CaptureStderr();
        const bool ran = testing::withFailingDirectoryReads([&] { failed = walk.failed(); });
        (void)::testing::internal::GetCapturedStderr();
        if (!ran) {
            GTEST_SKIP() << "no seccomp filter here";
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(error, walk.givesText ? "Cannot open dir " + d : "");
        EXPECT_EQ(testing::readBytes(d + "/f"), "x");
    }
}

// A package folder is listed by name: a dangling link or a directory is named too (its
// caller refuses it), where listDir would leave out what it cannot stat.
TEST_F(DirListingTest, ListNamesGivesEveryEntryByNameInByteOrder) {
    TempDir dir;
    writeBytes(dir / "b", "");
    makeDir(dir / "a");
    makeLink("missing", dir / "Z");
    std::vector<std::string> names = {"stale"};
    std::string error;
    ASSERT_TRUE(listNames(dir.path(), names, error)) << error;
    EXPECT_EQ(names, (std::vector<std::string>{"Z", "a", "b"}));
    EXPECT_FALSE(listNames(dir / "none", names, error));
    EXPECT_EQ(error, "Cannot open dir " + (dir / "none"));
    EXPECT_EQ(names, (std::vector<std::string>{"Z", "a", "b"}));
}

TEST_F(DirListingTest, ListFilesAndGetDirSizeProduceOnlyTheirOutput) {
    TempDir dir;
    writeBytes(dir / "a", "abc");
    writeBytes(dir / "b", "defgh");
    makeDir(dir / "sub");
    std::vector<std::string> files;
    int size = -1;
    std::string error;
    ASSERT_TRUE(listFiles(dir.path(), files, error));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{dir / "a", dir / "b"}));
    ASSERT_TRUE(getDirSize(dir.path(), size, error));
    EXPECT_EQ(size, 8);
}

TEST_F(DirListingTest, SizesOfHugeFilesSaturateInsteadOfWrapping) {
    TempDir dir;
    makeSparse(dir / "three-gib", 3 * kGiB);  // 3 GiB wraps to a negative 32-bit number
    makeDir(dir / "pair");
    makeSparse(dir / "pair/a", kGiB + kGiB / 2);  // each fits, their sum does not
    makeSparse(dir / "pair/b", kGiB + kGiB / 2);
    writeBytes(dir / "pair/c", "after the total saturated");

    int size = 0;
    std::string error;
    ASSERT_TRUE(getDirSize(dir.path(), size, error));
    EXPECT_EQ(size, INT32_MAX);
    ASSERT_TRUE(getDirSize(dir / "pair", size, error));
    EXPECT_EQ(size, INT32_MAX);

    std::vector<FileEntry> entries;
    int32_t total = 0;
    DirListing listing;
    listing.fileEntries = &entries;
    listing.totalSize = &total;
    ASSERT_TRUE(walkDir(dir.path(), listing, error));
    const auto byPath = asMap(entries);
    EXPECT_EQ(byPath.at(dir / "three-gib"), INT32_MAX);
    EXPECT_EQ(byPath.at(dir / "pair/a"), static_cast<int32_t>(kGiB + kGiB / 2));
    EXPECT_EQ(total, INT32_MAX);
}

TEST_F(DirListingTest, WalkDirRecordsFilesLinksAndLinkTargetsWithTheirSizes) {
    TempDir dir;
    makeDir(dir / "sub");
    writeBytes(dir / "f1", "12345");
    writeBytes(dir / "sub/f2", "1234567");
    makeLink("f1", dir / "rel");                           // relative to the link's directory
    makeLink(dir / "sub/f2", dir / "abs");                 // absolute: taken as it is
    makeLink("gone", dir / "dangling");                    // no target: only the link
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // neither file nor link
    // A link text past 1023 bytes must not be cut into a wrong path.
    std::string longText;
    while (longText.size() < 1500) {
        longText += "./";
    }
    longText += "f1";
    makeLink(longText, dir / "long");

    std::vector<FileEntry> entries = {{"stale", 1}};
    int32_t total = 1000;
    DirListing listing;
    listing.fileEntries = &entries;
    listing.totalSize = &total;
    std::string error;
    ASSERT_TRUE(walkDir(dir.path(), listing, error));
    using Entry = std::pair<std::string, int32_t>;
    std::vector<Entry> want = {
        {dir / "f1", 5},       {dir / "f1", 5},      // target of rel
        {dir / "sub/f2", 7},   {dir / "sub/f2", 7},  // target of abs
        {dir / "rel", 2},      {dir / "abs", static_cast<int32_t>((dir / "sub/f2").size())},
        {dir / "dangling", 4}, {dir / "long", static_cast<int32_t>(longText.size())},
        {dir / longText, 5},
    };
    std::vector<Entry> got;
    for (const FileEntry& entry : entries) {
        got.emplace_back(entry.path, entry.size);
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    int64_t sum = 0;
    for (const Entry& entry : want) {
        sum += entry.second;
    }
    EXPECT_EQ(total, sum);
}

TEST_F(DirListingTest, WalkDirOfMissingDirClearsOutputsAndReports) {
    TempDir dir;
    std::vector<FileEntry> entries = {{"stale", 1}};
    int32_t total = 1000;
    DirListing listing;
    listing.fileEntries = &entries;
    listing.totalSize = &total;
    std::string error;
    EXPECT_FALSE(walkDir(dir / "missing", listing, error));
    EXPECT_EQ(error, "Cannot open dir " + dir / "missing");
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(total, 0);
}

TEST_F(DirListingTest, CountDirEntriesLeavesOutSubdirsWithOrWithoutTrailingSlash) {
    TempDir dir;
    makeDir(dir / "d");
    EXPECT_EQ(countDirEntries(dir / "d", true), 0);
    writeBytes(dir / "d/x", "");
    writeBytes(dir / "d/y", "");
    makeDir(dir / "d/sub");
    // A sibling directory named dir + entry name must not be mistaken for the entry.
    makeDir(dir / "dx");

    EXPECT_EQ(countDirEntries(dir / "d", true), 3);
    EXPECT_EQ(countDirEntries(dir / "d/", true), 3);
    EXPECT_EQ(countDirEntries(dir / "d", false), 2);
    EXPECT_EQ(countDirEntries(dir / "d/", false), 2);
    EXPECT_EQ(countDirEntries(dir / "d/x", true), -1);
    EXPECT_EQ(countDirEntries(dir / "missing", true), -1);
}

}  // namespace
}  // namespace qvsystemtools
}  // namespace KIVRA
