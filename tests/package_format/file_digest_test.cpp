// File digests: the text form, agreement with coreutils md5sum, and the step error lines.

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "installer/kivra_installer.h"
#include "package_format/file_digest.h"
#include "tests/support/package_builder.h"

namespace KIVRA {
namespace {

using testing::TempDir;
using testing::writeBytes;

// Digest steps log through the install log, whose path lies below /mnt.
class FileDigest : public testing::SandboxTest {};

// Length 0 included: the empty input's digest needs its leading zeros (bytes 0b, 04, 09, 00).
TEST_F(FileDigest, AgreesWithCoreutilsMd5sumAtBlockBoundaries) {
    TempDir dir;
    const size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 8191, 8192, 8193, 100000};
    for (const size_t length : lengths) {
        const std::string path = dir / ("f" + std::to_string(length));
        const std::string data = testing::randomBytes(length, static_cast<unsigned>(length));
        writeBytes(path, data);
        std::string digest;
        ASSERT_EQ(KivraInstaller::getMd5Sum(path, digest), KivraInstaller::Success);
        EXPECT_EQ(digest, testing::md5Of(data)) << length;
    }
}

TEST_F(FileDigest, StreamedDigestIsTheFilesDigestWhateverThePieces) {
    TempDir dir;
    for (const size_t length : {size_t{0}, size_t{63}, size_t{64}, size_t{100000}}) {
        const std::string data = testing::randomBytes(length, 7);
        const std::string path = dir / "whole";
        writeBytes(path, data);
        std::string expected;
        ASSERT_TRUE(package_format::md5Text(path, expected));
        // Pieces of uneven sizes, as reads and the cipher hand them over.
        package_format::Md5Stream md5;
        for (size_t at = 0, piece = 1; at < data.size();
             at += piece, piece = piece * 3 % 4099 + 1) {
            const size_t n = std::min(piece, data.size() - at);
            md5.update(reinterpret_cast<const unsigned char*>(data.data()) + at, n);
        }
        EXPECT_EQ(md5.size(), length);
        EXPECT_EQ(md5.finish(), expected) << length;
    }
}

TEST_F(FileDigest, MissingFileFailsWithFileErrorAndKeepsTheDigest) {
    TempDir dir;
    std::string digest = "unchanged";
    ::testing::internal::CaptureStdout();
    const int result = KivraInstaller::getMd5Sum(dir / "missing", digest);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, KivraInstaller::FileError);
    EXPECT_EQ(digest, "unchanged");
    EXPECT_EQ(out, "[KivraInstaller::getMd5Sum] Cannot compute MD5 sum of " + (dir / "missing") +
                       " (err 5)\n");
}

TEST_F(FileDigest, DirectoryIsNotHashedAsAnEmptyFile) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    std::string digest = "unchanged";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KivraInstaller::getMd5Sum(dir / "sub", digest), KivraInstaller::FileError);
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(digest, "unchanged");
    bool match = true;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KivraInstaller::md5sum(dir / "sub", "d41d8cd98f00b204e9800998ecf8427e", match),
              KivraInstaller::Failure);
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(match);
}

TEST_F(FileDigest, Md5sumOnMissingFileLogsBothLevelsAndClearsMatch) {
    TempDir dir;
    bool match = true;
    ::testing::internal::CaptureStdout();
    const int result = KivraInstaller::md5sum(dir / "missing", "x", match);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, KivraInstaller::Failure);
    EXPECT_FALSE(match);
    EXPECT_EQ(out,
              "[KivraInstaller::getMd5Sum] Cannot compute MD5 sum of " + (dir / "missing") +
                  " (err 5)\n[KivraInstaller::md5sum] Failed to compute MD5 Checksum (err 1)\n");
}

struct ExpectedCase {
    const char* expected;
    bool match;
};

TEST_F(FileDigest, Md5sumMatchesOnlyTheExactLowerCaseText) {
    TempDir dir;
    writeBytes(dir / "abc", "abc");
    // RFC 1321 test suite: MD5("abc").
    const ExpectedCase cases[] = {
        {"900150983cd24fb0d6963f7d28e17f72", true},
        {"900150983CD24FB0D6963F7D28E17F72", false},
        {"900150983cd24fb0d6963f7d28e17f72 ", false},
        {"900150983cd24fb0d6963f7d28e17f72\n", false},
        {" 900150983cd24fb0d6963f7d28e17f72", false},
        {"900150983cd24fb0d6963f7d28e17f7", false},
        {"", false},
    };
    for (const ExpectedCase& c : cases) {
        bool match = !c.match;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(KivraInstaller::md5sum(dir / "abc", c.expected, match), KivraInstaller::Success);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "a mismatch is not logged";
        EXPECT_EQ(match, c.match) << "expected \"" << c.expected << "\"";
    }
}

}  // namespace
}  // namespace KIVRA
