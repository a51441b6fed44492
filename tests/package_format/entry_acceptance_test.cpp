// The one acceptance rule for digest-list entries, shared by the installer and qvpack.

#include "package_format/entry_acceptance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using package_format::acceptEntry;
using package_format::EntryVerdict;

class EntryAcceptanceTest : public testing::SandboxTest {};

TEST_F(EntryAcceptanceTest, GivesEachKindOfEntryItsVerdict) {
    const std::string dir = tempDir().path();
    testing::writeBytes(dir + "/zImage", "image");
    testing::writeBytes(dir + "/init.sh", "echo");
    ASSERT_EQ(::symlink("zImage", (dir + "/uImage").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir + "/NTIM.bin").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((dir + "/rootfs.sqfs").c_str(), 0755), 0);
    const struct {
        const char* name;
        EntryVerdict verdict;
    } rows[] = {
        {"zImage", EntryVerdict::Accepted},
        {"uImage", EntryVerdict::NotRegular},
        {"NTIM.bin", EntryVerdict::NotRegular},
        {"rootfs.sqfs", EntryVerdict::NotRegular},
        {"dtb.recovery", EntryVerdict::Missing},
        {"init.sh", EntryVerdict::PackageFile},
        {"images.md5", EntryVerdict::ListItself},
        {"../zImage", EntryVerdict::BadName},
        {"", EntryVerdict::BadName},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(acceptEntry(dir, row.name).verdict, row.verdict);
    }
}

TEST_F(EntryAcceptanceTest, FindsALinkAfterGoodEntriesButStopsAtABadName) {
    const std::string dir = tempDir().path();
    testing::writeBytes(dir + "/zImage", "image");
    ASSERT_EQ(::symlink("/etc/passwd", (dir + "/dtb.recovery").c_str()), 0);
    package_format::DigestListEntry entry;
    package_format::EntryAcceptance acceptance;

    std::istringstream linked("d1 zImage\nd2 missing.bin\nd3 dtb.recovery\n");
    ASSERT_TRUE(package_format::findUndeliverableEntry(linked, dir, entry, acceptance));
    EXPECT_EQ(entry.name, "dtb.recovery");
    EXPECT_EQ(acceptance.imageClass, package_format::ImageClass::PlainImage);

    // The bad name is refused where it stands, with its own message: the link after it is
    // not the first failure.
    std::istringstream badFirst("d1 ../zImage\nd3 dtb.recovery\n");
    EXPECT_FALSE(package_format::findUndeliverableEntry(badFirst, dir, entry, acceptance));
}

}  // namespace
}  // namespace KIVRA
