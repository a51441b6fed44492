// The package statement: the strict reader refuses every text that is not the one form, the
// writer's text reads back as it was written, and the SHA-256 stream is coreutils' digest.

#include <string>

#include "package_format/file_digest.h"
#include "package_format/statement.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using package_format::StatementVerdict;

const std::string kDigest(64, 'a');
const std::string kHead =
    "KIVRA-PACKAGE-STATEMENT 1\nPRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\nSECURITY_EPOCH=7\n";
const std::string kFiles = kDigest + " 12 manifest.txt\n" + kDigest + " 0 images.md5\n";

struct ReaderCase {
    const char* fault;  // what a reader that accepted the row would let through
    std::string text;
    StatementVerdict verdict;
    size_t line;
};

TEST(Statement, ReaderRefusesEveryTextButTheOneFormAndNamesTheLine) {
    using V = StatementVerdict;
    const std::string epoch = kHead.substr(0, kHead.find("SECURITY_EPOCH=") + 15);
    const std::string line7 = kHead + kFiles + kDigest;  // the digest of a seventh line
    const ReaderCase cases[] = {
        {"a good statement refused", line7 + " 5 zImage\n", V::Valid, 0},
        {"an unbounded statement read", kHead + kFiles + std::string(64 * 1024, '#'), V::TooLarge,
         0},
        {"a last line without its line feed", line7 + " 5 zImage", V::BadLineEnd, 7},
        {"CR LF line ends", "KIVRA-PACKAGE-STATEMENT 1\r\n", V::BadLineEnd, 1},
        {"a NUL byte hiding the rest of a name", line7 + " 5 zIm" + std::string(1, '\0') + "age\n",
         V::BadLineEnd, 7},
        {"an empty statement", "", V::BadHeader, 1},
        {"another format version", "KIVRA-PACKAGE-STATEMENT 2\n", V::BadHeader, 1},
        {"keys in another order",
         "KIVRA-PACKAGE-STATEMENT 1\nKIVRA_VERSION=4.2\nPRODUCT_TYPE=BIRCH\n", V::BadProductType,
         2},
        {"no version line", "KIVRA-PACKAGE-STATEMENT 1\nPRODUCT_TYPE=BIRCH\n", V::BadVersion, 3},
        {"no epoch line", "KIVRA-PACKAGE-STATEMENT 1\nPRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\n",
         V::BadEpoch, 4},
        {"an epoch beyond 32 bits", epoch + "4294967296\n", V::BadEpoch, 4},
        {"an epoch with a leading zero", epoch + "07\n", V::BadEpoch, 4},
        {"a signed epoch", epoch + "-1\n", V::BadEpoch, 4},
        {"an upper-case digest", kHead + std::string(64, 'A') + " 12 manifest.txt\n",
         V::BadFileLine, 5},
        {"a short digest", kHead + std::string(63, 'a') + " 12 manifest.txt\n", V::BadFileLine, 5},
        {"two blanks", kHead + kDigest + "  12 manifest.txt\n", V::BadFileLine, 5},
        {"a size with a sign", kHead + kDigest + " +12 manifest.txt\n", V::BadFileLine, 5},
        {"a size beyond 64 bits", kHead + kDigest + " 18446744073709551616 manifest.txt\n",
         V::BadFileLine, 5},
        {"an empty line", kHead + kFiles + "\n", V::BadFileLine, 7},
        {"a name leaving the directory", line7 + " 5 ../zImage\n", V::BadName, 7},
        {"a name with a blank", line7 + " 5 z Image\n", V::BadName, 7},
        {"the statement listing itself", line7 + " 5 package.sha256\n", V::BadName, 7},
        {"the signature listed", line7 + " 5 package.sha256.sig\n", V::BadName, 7},
        {"a name twice", line7 + " 5 zImage\n" + kDigest + " 6 zImage\n", V::RepeatedName, 8},
        {"no manifest line", kHead + kDigest + " 0 images.md5\n", V::NoManifestLine, 0},
        {"no digest list line", kHead + kDigest + " 12 manifest.txt\n", V::NoDigestListLine, 0},
    };
    for (const ReaderCase& row : cases) {
        const package_format::StatementReading reading = package_format::readStatement(row.text);
        EXPECT_EQ(reading.verdict, row.verdict) << row.fault;
        EXPECT_EQ(reading.line, row.line) << row.fault;
        EXPECT_EQ(package_format::describe(reading).empty(), row.verdict == StatementVerdict::Valid)
            << row.fault;
    }
}

TEST(Statement, WriterTextReadsBackAsWrittenWithTheExtremeEpoch) {
    package_format::Statement statement;
    statement.productType = "BIRCH";
    statement.version = "";  // the installer accepts an empty version
    statement.securityEpoch = package_format::kSecurityEpochMax;
    statement.files = {{kDigest, 1, "manifest.txt"},
                       {std::string(64, '0'), 0, "images.md5"},
                       {kDigest, UINT64_MAX, "rootfs.sqfs"}};
    const std::string text = package_format::formatStatement(statement);
    EXPECT_EQ(text,
              "KIVRA-PACKAGE-STATEMENT 1\nPRODUCT_TYPE=BIRCH\nKIVRA_VERSION=\n"
              "SECURITY_EPOCH=4294967295\n" +
                  kDigest + " 1 manifest.txt\n" + std::string(64, '0') + " 0 images.md5\n" +
                  kDigest + " 18446744073709551615 rootfs.sqfs\n");
    const package_format::StatementReading reading = package_format::readStatement(text);
    ASSERT_EQ(reading.verdict, StatementVerdict::Valid) << package_format::describe(reading);
    EXPECT_EQ(package_format::formatStatement(reading.statement), text);
    ASSERT_NE(reading.statement.find("rootfs.sqfs"), nullptr);
    EXPECT_EQ(reading.statement.find("rootfs.sqfs")->size, UINT64_MAX);
    EXPECT_EQ(reading.statement.find("zImage"), nullptr);
}

TEST(Statement, Sha256StreamGivesTheKnownDigestWhateverThePiecesAndTheFileTheSame) {
    const std::string abc = "abc";  // FIPS 180-2's example
    package_format::Sha256Stream stream;
    for (const char c : abc) stream.update(reinterpret_cast<const unsigned char*>(&c), 1);
    EXPECT_EQ(stream.size(), 3u);
    EXPECT_EQ(stream.finish(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    testing::TempDir dir;
    testing::writeBytes(dir / "abc", abc);
    std::string digest;
    ASSERT_TRUE(package_format::sha256Text(dir / "abc", digest));
    EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace KIVRA
