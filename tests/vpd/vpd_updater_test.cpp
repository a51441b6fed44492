#include "vpd/vpd_updater.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

using testing::readBytes;
using testing::RecordBuilder;
using testing::writeBytes;
using Error = VpdUpdater::VpdUpdaterError;

class VpdUpdaterTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        testing::SandboxTest::SetUp();
        if (!HasFatalFailure()) {
            path = tempDir() / "vpd.bin";
        }
    }

    // The entries as the updater prints them, one "key=value" per line.
    static std::vector<std::string> entries(const VpdUpdater& updater) {
        std::ostringstream out;
        updater.print(0, false, out);
        return testing::lines(out.str());
    }

    std::string path;
};

using Lines = std::vector<std::string>;

TEST_F(VpdUpdaterTest, LoadsAllZeroAreaAsEmptyList) {
    // Written out literally: the CRC of 65531 zero bytes, least significant byte first.
    const std::string record = std::string("\x17\xf5\x0c\xda", 4) + std::string(1, '\x09') +
                               std::string(testing::kAreaBytes, '\0');
    writeBytes(path, record);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    EXPECT_TRUE(entries(updater).empty());
    EXPECT_EQ(updater.getFlag(), 9);
}

TEST_F(VpdUpdaterTest, RejectsFileOneByteShortAndKeepsEarlierRecord) {
    writeBytes(path, RecordBuilder().add("a=1").bytes());
    const std::string shortPath = tempDir() / "short.bin";
    writeBytes(shortPath, RecordBuilder().add("b=2").withFlag(3).bytes().substr(0, 65535));
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    updater.setPath(shortPath);
    EXPECT_EQ(updater.load(), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(updater.load(true), VpdUpdater::VpdInputAccessError);
    // The remains of the short read must not reach a later save.
    EXPECT_EQ(entries(updater), Lines{"a=1"});
    EXPECT_EQ(updater.getFlag(), 0);
    const std::string savedPath = tempDir() / "saved.bin";
    updater.setPath(savedPath);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes(savedPath), readBytes(path));
}

TEST_F(VpdUpdaterTest, RejectsHeaderOnlyAndMissingFiles) {
    writeBytes(path, std::string(4, '\0'));
    VpdUpdater updater(VpdTypeGeneric, path);
    EXPECT_EQ(updater.load(), VpdUpdater::VpdInputAccessError);
    updater.setPath(tempDir() / "missing.bin");
    EXPECT_EQ(updater.load(true), VpdUpdater::VpdInputError);
}

TEST_F(VpdUpdaterTest, IgnoresBytesBeyondTheRecord) {
    std::string bytes = RecordBuilder().add("x=1").add("y=2").withFlag(4).bytes();
    bytes += testing::randomBytes(70000 - bytes.size(), 3);
    ASSERT_EQ(bytes.size(), 70000U);
    writeBytes(path, bytes);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), (Lines{"x=1", "y=2"}));
    EXPECT_EQ(updater.getFlag(), 4);
}

TEST_F(VpdUpdaterTest, SkipsStringWithoutEqualsAndKeepsEqualsInsideValue) {
    writeBytes(path, RecordBuilder().add("a=1").add("b").add("c=x=y").bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), (Lines{"a=1", "c=x=y"}));
    std::string value;
    ASSERT_EQ(updater.getValue("c", value), VpdUpdater::VpdOk);
    EXPECT_EQ(value, "x=y");
    EXPECT_EQ(updater.getValue("b", value), VpdUpdater::VpdFieldMissing);
    EXPECT_EQ(value, "x=y") << "a failed lookup must leave the output alone";
}

TEST_F(VpdUpdaterTest, StopsAtEmptyStringAndIgnoresWhatFollows) {
    RecordBuilder builder;
    builder.add("a=1").add("").add("hidden=1");
    writeBytes(path, builder.bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), Lines{"a=1"});
}

TEST_F(VpdUpdaterTest, EmptyValueLoadsAndCountsAsPresentForRequiredKeys) {
    writeBytes(
        path,
        RecordBuilder().add("hwboot=").add("serial#=S1").add("ethmac=E").add("usbmac=U").bytes());
    VpdUpdater updater(VpdTypeHardware, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    std::string value = "unchanged";
    ASSERT_EQ(updater.getValue("hwboot", value), VpdUpdater::VpdOk);
    EXPECT_EQ(value, "");
    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("serial#", "S2"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdOk);
}

TEST_F(VpdUpdaterTest, ProtectedKeyRefusesEvenIdenticalValue) {
    writeBytes(path, RecordBuilder().add("k=v").bytes());
    const std::string before = readBytes(path);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.setValue("k", "v"), VpdUpdater::VpdFieldExists);
    EXPECT_EQ(updater.setValue("k", "w"), VpdUpdater::VpdFieldExists);
    EXPECT_EQ(updater.setValue("k", ""), VpdUpdater::VpdFieldExists);
    EXPECT_EQ(updater.setValue("new", "1"), VpdUpdater::VpdOk) << "new keys stay allowed";
    EXPECT_EQ(entries(updater), (Lines{"k=v", "new=1"}));

    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("k", ""), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), Lines{"new=1"});
    ASSERT_EQ(updater.setValue("absent", ""), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), Lines{"new=1"});
}

TEST_F(VpdUpdaterTest, RejectsKeysAndValuesThatWouldCorruptTheRecord) {
    VpdUpdater updater(VpdTypeGeneric, path);
    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("a", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.setValue("a=b", "1"), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(updater.setValue("=", "1"), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(updater.setValue("", "1"), VpdUpdater::VpdInputAccessError);
    // A NUL would end the string in the record and start a forged entry after it.
    EXPECT_EQ(updater.setValue("a", std::string("1\0bootcmd=evil", 14)),
              VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(updater.setValue(std::string("b\0c", 3), "1"), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(entries(updater), Lines{"a=1"});
}

TEST_F(VpdUpdaterTest, ValueMayHoldEqualsSignsAndSurvivesRoundTrip) {
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.setValue("bootargs", "console=ttyS0,115200 root=/dev/mtd4"),
              VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    VpdUpdater reader(VpdTypeGeneric, path);
    ASSERT_EQ(reader.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(reader), Lines{"bootargs=console=ttyS0,115200 root=/dev/mtd4"});
}

TEST_F(VpdUpdaterTest, EntriesFillingTheAreaExactlyFitAndOneMoreByteFails) {
    // Two strings: "a=" + filler and "b=" + filler, with their NULs exactly 65531 bytes.
    const std::string first = "a=" + std::string(40000, 'x');
    const std::string second =
        "b=" + std::string(testing::kAreaBytes - (first.size() + 1) - 1 - 2, 'y');
    ASSERT_EQ(first.size() + 1 + second.size() + 1, testing::kAreaBytes);

    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.setValue("a", first.substr(2)), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("b", second.substr(2)), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    RecordBuilder expected;
    expected.add(first).add(second);
    EXPECT_EQ(readBytes(path), expected.bytes()) << "no terminating empty string fits";

    VpdUpdater reader(VpdTypeGeneric, path);
    ASSERT_EQ(reader.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(reader), (Lines{first, second}));

    const std::string saved = readBytes(path);
    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("b", second.substr(2) + "z"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(readBytes(path), saved) << "a record that does not fit must not be written";
}

TEST_F(VpdUpdaterTest, RecordEndingWithoutNulInTheLastByteLoads) {
    // The last string runs into the end of the area: it must neither be read past the area
    // nor lost.
    const std::string last = "z=" + std::string(testing::kAreaBytes - 4 - 1 - 2, 'q');
    RecordBuilder builder;
    builder.add("a=1").add(last);
    builder.terminate = false;
    std::string bytes = builder.bytes();
    ASSERT_EQ(bytes.size(), testing::kRecordBytes);
    // Overwrite the final NUL with a visible byte and fix the CRC.
    bytes.back() = 'Q';
    const std::string area = bytes.substr(5);
    bytes.replace(0, 4, testing::littleEndian32(testing::referenceCrc32(area)));
    writeBytes(path, bytes);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    std::string value;
    ASSERT_EQ(updater.getValue("z", value), VpdUpdater::VpdOk);
    EXPECT_EQ(value.size(), last.size() - 2 + 1);
    EXPECT_EQ(value.back(), 'Q');
}

TEST_F(VpdUpdaterTest, BadCrcIsRefusedUnlessAcceptedAsEmptyRecord) {
    writeBytes(path, RecordBuilder().add("old=1").withFlag(12).withBadCrc().bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    EXPECT_EQ(updater.load(), VpdUpdater::VpdCrcError);
    EXPECT_TRUE(entries(updater).empty());

    ASSERT_EQ(updater.load(true), VpdUpdater::VpdOk);
    EXPECT_TRUE(entries(updater).empty());
    EXPECT_EQ(updater.getFlag(), 12) << "the flag of a bad copy is still the one read";
    ASSERT_EQ(updater.setValue("fwupdate_flag", "1"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes(path), RecordBuilder().add("fwupdate_flag=1").withFlag(12).bytes());
}

TEST_F(VpdUpdaterTest, AcceptedBadRecordSavedUnchangedIsWrittenBackAsRead) {
    // An unchanged bad record must not turn into a valid empty one: the boot loader falls
    // back to its defaults for a bad CRC, but would boot with nothing from an empty record.
    const std::string bad = RecordBuilder().add("bootcmd=run x").withBadCrc().bytes();
    writeBytes(path, bad);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(true), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("absent", ""), VpdUpdater::VpdOk);
    const std::string out = tempDir() / "out.bin";
    updater.setPath(out);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes(out), bad);
}

TEST_F(VpdUpdaterTest, MissingRequiredKeyFailsSaveAndLeavesFileUntouched) {
    const std::string original = RecordBuilder().add("hwboot=1").withFlag(2).bytes();
    writeBytes(path, original);
    VpdUpdater updater(VpdTypeHardware, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("serial#", "SN1"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("ethmac", "00:11:22:33:44:55"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdFieldMissing);
    EXPECT_EQ(readBytes(path), original);

    ASSERT_EQ(updater.setValue("usbmac", "00:11:22:33:44:56"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    updater.setRequiredFields(VpdTypeGeneric);
    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("usbmac", ""), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdOk) << "other types require nothing";
}

TEST_F(VpdUpdaterTest, SaveWritesExactlyTheBootLoaderLayout) {
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.setValue("bootdelay", "3"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("ethaddr", "00:04:9f:00:00:01"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("fwupdate_flag", "1"), VpdUpdater::VpdOk);
    updater.setFlag(0xA7);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    const std::string written = readBytes(path);
    const std::string expected = RecordBuilder()
                                     .add("bootdelay=3")
                                     .add("ethaddr=00:04:9f:00:00:01")
                                     .add("fwupdate_flag=1")
                                     .withFlag(0xA7)
                                     .bytes();
    ASSERT_EQ(written.size(), testing::kRecordBytes);
    EXPECT_EQ(written.substr(0, 5), expected.substr(0, 5)) << "CRC little-endian, then flag";
    EXPECT_EQ(written, expected);
}

TEST_F(VpdUpdaterTest, LoadsRecordPaddedWithFfAndRewritesItByteForByte) {
    const std::string padded = RecordBuilder()
                                   .add("baudrate=115200")
                                   .add("bootcmd=bootm")
                                   .paddedWith('\xff')
                                   .withFlag(1)
                                   .bytes();
    writeBytes(path, padded);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk) << "the CRC covers the 0xFF padding as it is";
    EXPECT_EQ(entries(updater), (Lines{"baudrate=115200", "bootcmd=bootm"}));
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes(path), padded);

    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("bootcmd", "run boot_a"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    EXPECT_EQ(readBytes(path),
              RecordBuilder().add("baudrate=115200").add("bootcmd=run boot_a").withFlag(1).bytes());
}

TEST_F(VpdUpdaterTest, ChangedDuplicateKeyLeavesOneEntryForTheBootLoader) {
    // The boot loader takes the last of duplicate entries; changing only the first would
    // leave the old value in force there.
    writeBytes(path, RecordBuilder().add("f=0").add("g=1").add("f=2").bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    std::ostringstream out;
    EXPECT_TRUE(updater.printValues({"f"}, 0, false, out));
    EXPECT_EQ(out.str(), "f=0\nf=2\n");
    updater.setProtected(false);
    ASSERT_EQ(updater.setValue("f", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), (Lines{"f=1", "g=1"}));
    ASSERT_EQ(updater.setValue("f", ""), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), Lines{"g=1"});
}

TEST_F(VpdUpdaterTest, PrintValuesReportsUndefinedKeyAndReturnsFalse) {
    writeBytes(path, RecordBuilder().add("serial#=KV123").bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    std::ostringstream out;
    EXPECT_FALSE(updater.printValues({"serial#", "none"}, 0, false, out));
    EXPECT_EQ(out.str(), "serial#=KV123\n## Error: \"none\" not defined\n");
    std::ostringstream found;
    EXPECT_TRUE(updater.printValues({"serial#"}, -3, false, found));
    EXPECT_EQ(found.str(), "serial#=KV123\n");
}

TEST_F(VpdUpdaterTest, PrintWithHeaderShowsCrcAndFlagInHex) {
    writeBytes(path, RecordBuilder().add("a=1").withFlag(0x0B).bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    const uint32_t crc = testing::referenceCrc32(RecordBuilder().add("a=1").area());
    std::ostringstream hex;
    hex << std::hex << crc;
    std::ostringstream out;
    updater.print(2, true, out);
    EXPECT_EQ(out.str(), "  # VPD content:\n  a=1\n  # VPD CRC:\n   - 0x" + hex.str() +
                             "\n  # VPD Flag:\n   - 0xb\n");
}

TEST_F(VpdUpdaterTest, FailedWriteIsReportedAndKeepsTheOldRecord) {
    // A file system with room for one record only: the new record cannot be completed.
    const std::string small = tempDir() / "small";
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    // Only its owner may write it: a record there is replaced, not written in place.
    ASSERT_EQ(::mount("qvtest", small.c_str(), "tmpfs", 0, "size=96k,mode=0755"), 0);
    struct Unmount {
        std::string path;
        ~Unmount() { (void)::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    const std::string record = small + "/vpd.bin";
    const std::string original = RecordBuilder().add("keep=1").bytes();
    writeBytes(record, original);

    VpdUpdater updater(VpdTypeGeneric, record);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("new", "2"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdInputAccessError);
    EXPECT_EQ(readBytes(record), original);
    EXPECT_EQ(testing::lines(testing::runProcess({"/bin/ls", "-A", small}).out), Lines{"vpd.bin"})
        << "no temporary file may stay behind";
}

TEST_F(VpdUpdaterTest, FailedHeaderWriteOnDeviceIsReported) {
    // A record path that is a device is written in place; /dev/full refuses the first byte.
    const std::string link = tempDir() / "full";
    ASSERT_EQ(::symlink("/dev/full", link.c_str()), 0);
    VpdUpdater updater(VpdTypeGeneric, link);
    ASSERT_EQ(updater.setValue("a", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdInputAccessError);
}

TEST_F(VpdUpdaterTest, SaveThroughSymlinkKeepsLinkAndPermissions) {
    const std::string target = tempDir() / "target.bin";
    const std::string link = tempDir() / "link.bin";
    writeBytes(target, RecordBuilder().add("a=1").bytes());
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    VpdUpdater updater(VpdTypeGeneric, link);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("b", "2"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(readBytes(target), RecordBuilder().add("a=1").add("b=2").bytes());
}

// Saving is writing the file: the caller's right to write it decides, and a record written
// in place keeps what a file write keeps, where replacing the file would change it.
TEST_F(VpdUpdaterTest, SaveAsAnotherUserKeepsWhatAFileWriteKeeps) {
    constexpr unsigned kUser = 65534;
    constexpr unsigned kOther = 1234;
    if (::geteuid() != 0 || !testing::uidMapped(kUser) || !testing::uidMapped(kOther)) {
        GTEST_SKIP() << "needs root with other users mapped (as in CI)";
    }
    struct Row {
        const char* name;
        unsigned owner;
        mode_t fileMode;
        mode_t dirMode;
        Error result;
    };
    const Row rows[] = {
        {"read-only file in a writable directory", 0, 0644, 0777, VpdUpdater::VpdInputError},
        {"another user's writable file", kOther, 0666, 0777, VpdUpdater::VpdOk},
        {"writable file in a directory the caller may not write", 0, 0666, 0755, VpdUpdater::VpdOk},
    };
    ASSERT_EQ(::chmod(tempDir().path().c_str(), 0755), 0);
    const std::string original = RecordBuilder().add("a=1").bytes();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string sub = tempDir() / "sub";
        ASSERT_EQ(::system(("rm -rf " + sub).c_str()), 0);
        ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
        const std::string record = sub + "/vpd.bin";
        writeBytes(record, original);
        ASSERT_EQ(::chown(record.c_str(), row.owner, row.owner), 0);
        ASSERT_EQ(::chmod(record.c_str(), row.fileMode), 0);
        ASSERT_EQ(::chmod(sub.c_str(), row.dirMode), 0);
        const int result = testing::runAsUser(kUser, kUser, [&] {
            VpdUpdater updater(VpdTypeGeneric, record);
            if (updater.load() != VpdUpdater::VpdOk || updater.setValue("b", "2") != 0) {
                return 100;
            }
            return static_cast<int>(updater.save());
        });
        EXPECT_EQ(result, row.result);
        EXPECT_TRUE(readBytes(record) == (row.result == VpdUpdater::VpdOk
                                              ? RecordBuilder().add("a=1").add("b=2").bytes()
                                              : original))
            << "the record file does not hold what the save should have left";
        struct stat st {};
        ASSERT_EQ(::stat(record.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, row.owner);
        EXPECT_EQ(st.st_mode & 07777, row.fileMode);
        EXPECT_EQ(testing::lines(testing::runProcess({"/bin/ls", "-A", sub}).out),
                  Lines{"vpd.bin"});
    }
}

TEST_F(VpdUpdaterTest, SaveKeepsTheRecordsOtherNames) {
    writeBytes(path, RecordBuilder().add("a=1").bytes());
    const std::string other = tempDir() / "other-name.bin";
    ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.setValue("b", "2"), VpdUpdater::VpdOk);
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    EXPECT_TRUE(readBytes(other) == RecordBuilder().add("a=1").add("b=2").bytes())
        << "the other name still shows the old record";
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat(path.c_str(), &a), 0);
    ASSERT_EQ(::stat(other.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST_F(VpdUpdaterTest, SaveIntoMissingDirectoryIsAnInputError) {
    VpdUpdater updater(VpdTypeGeneric, tempDir() / "no/such/dir/vpd.bin");
    ASSERT_EQ(updater.setValue("a", "1"), VpdUpdater::VpdOk);
    EXPECT_EQ(updater.save(), VpdUpdater::VpdInputError);
}

TEST_F(VpdUpdaterTest, SetPathKeepsEntriesAndLoadReplacesThem) {
    writeBytes(path, RecordBuilder().add("a=1").bytes());
    VpdUpdater updater(VpdTypeGeneric, path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    const std::string other = tempDir() / "other.bin";
    updater.setPath(other);
    EXPECT_EQ(entries(updater), Lines{"a=1"});
    ASSERT_EQ(updater.save(), VpdUpdater::VpdOk);
    writeBytes(path, RecordBuilder().add("b=2").bytes());
    updater.setPath(path);
    ASSERT_EQ(updater.load(), VpdUpdater::VpdOk);
    EXPECT_EQ(entries(updater), Lines{"b=2"});
}

TEST(VpdUpdaterThrow, ThrowOnErrorThrowsTheValueItselfAndNothingForOk) {
    EXPECT_NO_THROW(VpdUpdater::throwOnError(VpdUpdater::VpdOk));
    try {
        VpdUpdater::throwOnError(VpdUpdater::VpdCrcError);
        FAIL() << "no exception";
    } catch (const Error& error) {
        EXPECT_EQ(error, VpdUpdater::VpdCrcError);
    }
}

}  // namespace
}  // namespace KIVRA
