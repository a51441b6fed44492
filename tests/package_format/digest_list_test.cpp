// The digest-list reader shared by the installer and qvpack.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "package_format/digest_list.h"
#include "package_format/image_classes.h"

namespace KIVRA {
namespace {

using package_format::DigestListEntry;
using package_format::DigestListReader;
using Next = DigestListReader::Next;

// Reads text to its end; each entry as "digest name", then the closing result.
std::vector<std::string> readAll(const std::string& text, Next& last) {
    std::istringstream in(text);
    DigestListReader reader(in);
    std::vector<std::string> entries;
    DigestListEntry entry;
    while ((last = reader.next(entry)) == Next::Entry) {
        entries.push_back(entry.digest + " " + entry.name);
    }
    if (last == Next::MissingName) {
        entries.push_back(entry.digest + " <no name>");
    }
    return entries;
}

struct ListCase {
    const char* text;
    std::vector<std::string> entries;
    Next last;
};

TEST(DigestList, ReadsWhiteSpaceSeparatedPairsAndTellsALoneDigest) {
    const ListCase cases[] = {
        {"", {}, Next::End},
        {" \n\t ", {}, Next::End},
        {"d1  a\nd2 b\n", {"d1 a", "d2 b"}, Next::End},
        {"d1 a", {"d1 a"}, Next::End},       // no line end after the last name
        {"d1\na\r\n", {"d1 a"}, Next::End},  // a pair may span lines
        {"d1 a\nd2", {"d1 a", "d2 <no name>"}, Next::MissingName},
        {"d1 a\nd2\n\n", {"d1 a", "d2 <no name>"}, Next::MissingName},
        {"d1 a b", {"d1 a", "b <no name>"}, Next::MissingName},
    };
    for (const ListCase& c : cases) {
        Next last = Next::Entry;
        EXPECT_EQ(readAll(c.text, last), c.entries) << "\"" << c.text << "\"";
        EXPECT_EQ(last, c.last) << "\"" << c.text << "\"";
    }
}

TEST(DigestList, KeepsANulByteInTheNameForTheNameCheckToRefuse) {
    Next last = Next::Entry;
    const std::vector<std::string> entries = readAll(std::string("d a\0b\n", 6), last);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0], std::string("d a\0b", 5));
    EXPECT_FALSE(package_format::isPlainFileName(std::string("a\0b", 3)));
}

TEST(DigestList, StreamThatFailsToReadIsAReadErrorNotTheEnd) {
    std::istringstream in("d1 a\nd2 b\n");
    in.setstate(std::ios::badbit);
    DigestListReader reader(in);
    DigestListEntry entry{"kept", "kept"};
    EXPECT_EQ(reader.next(entry), Next::ReadError);
    EXPECT_EQ(entry.digest, "kept");
}

TEST(DigestList, DigestTextIsThirtyTwoLowerCaseHexDigits) {
    EXPECT_TRUE(package_format::isDigestText("0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(package_format::isDigestText("0123456789ABCDEF0123456789abcdef"));
    EXPECT_FALSE(package_format::isDigestText("0123456789abcdef0123456789abcde"));
    EXPECT_FALSE(package_format::isDigestText("0123456789abcdef0123456789abcdeg"));
}

TEST(DigestList, PackageOwnNamesAreReserved) {
    for (const char* name : {"manifest.txt", "images.md5", "init.sh"}) {
        EXPECT_TRUE(package_format::isReservedName(name)) << name;
    }
    for (const char* name : {"Manifest.txt", "images.md5 ", "zImage", ""}) {
        EXPECT_FALSE(package_format::isReservedName(name)) << name;
    }
}

}  // namespace
}  // namespace KIVRA
