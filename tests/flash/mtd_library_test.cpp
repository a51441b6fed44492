// The MTD layer where no MTD kernel is needed: sysfs parsing against a fake /sys/class/mtd
// (the sandbox puts a tmpfs there), and the checks and loops of the block operations against
// a regular file, which the kernel reads and writes like a device node.

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>  // the request numbers
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "flash/mtd_library.h"
#include "qvsystemtools/unique_fd.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {
namespace {

using qvsystemtools::UniqueFd;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const std::string kClass = "/sys/class/mtd";

// A NAND device "boot" whose dev attribute names /dev/null (1:3), so that node lookups find it.
std::map<std::string, std::string> nandAttributes() {
    return {{"dev", "1:3\n"},          {"name", "boot\n"},      {"type", "nand\n"},
            {"erasesize", "131072\n"}, {"size", "134217728\n"}, {"writesize", "2048\n"},
            {"subpagesize", "512\n"},  {"oobsize", "64\n"},     {"numeraseregions", "0\n"},
            {"flags", "0x400\n"}};
}

class MtdSysfsTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(::mkdir(kClass.c_str(), 0755), 0) << "the sandbox must give an empty /sys/class";
    }
    void TearDown() override { (void)runProcess({"/bin/rm", "-rf", kClass}); }

    void addDevice(const std::string& entry, const std::map<std::string, std::string>& attributes) {
        const std::string dir = kClass + "/" + entry;
        ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        for (const auto& [name, content] : attributes) {
            writeBytes(dir + "/" + name, content);
        }
    }

    // Describes /dev/null through the fake class; the text on standard error is kept.
    int describe(MtdDevInfo* info, const char* node = "/dev/null") {
        const ScopedMtdLibrary library(mtdOpenLibrary());
        EXPECT_NE(library, nullptr);
        if (library == nullptr) {
            return -2;
        }
        EXPECT_EQ(library->sysfsSupported, 1u);
        CaptureStderr();
        const int rc = mtdGetDevInfo(library.get(), node, info);
        error_ = errno;
        messages_ = GetCapturedStderr();
        return rc;
    }

    int error_ = 0;
    std::string messages_;
};

TEST_F(MtdSysfsTest, MissingClassDirectoryMeansLegacyMode) {
    ASSERT_EQ(::rmdir(kClass.c_str()), 0);
    const ScopedMtdLibrary library(mtdOpenLibrary());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->sysfsSupported, 0u);
    EXPECT_EQ(library->sysfsMtd, "");
    EXPECT_EQ(library->devFile, "");
}

TEST_F(MtdSysfsTest, EntriesWithTextAfterTheNumberCountNoDevice) {
    addDevice("mtd0ro", nandAttributes());
    addDevice("mtd1x", nandAttributes());
    addDevice("mtdblock2", nandAttributes());
    const ScopedMtdLibrary library(mtdOpenLibrary());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->sysfsSupported, 0u);
}

TEST_F(MtdSysfsTest, DeviceWithoutNameAttributeMeansLegacyMode) {
    auto attributes = nandAttributes();
    attributes.erase("name");
    addDevice("mtd0", attributes);
    const ScopedMtdLibrary library(mtdOpenLibrary());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->sysfsSupported, 0u);
}

TEST_F(MtdSysfsTest, BuildsEveryAttributePathUnderTheClass) {
    addDevice("mtd0", nandAttributes());
    const ScopedMtdLibrary library(mtdOpenLibrary());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->sysfsMtd, "/sys/class/mtd");
    EXPECT_EQ(library->mtdDir, "/sys/class/mtd/mtd%d");
    EXPECT_EQ(library->devFile, "/sys/class/mtd/mtd%d/dev");
    EXPECT_EQ(library->minIoFile, "/sys/class/mtd/mtd%d/writesize");
    EXPECT_EQ(library->flagsFile, "/sys/class/mtd/mtd%d/flags");
    EXPECT_EQ(library->erase64State, 0u);
}

TEST_F(MtdSysfsTest, DescribesDeviceFromItsAttributes) {
    addDevice("mtd0", nandAttributes());
    MtdDevInfo info{};
    ASSERT_EQ(describe(&info), 0) << messages_;
    EXPECT_EQ(info.mtdNum, 0);
    EXPECT_EQ(info.major, 1);
    EXPECT_EQ(info.minor, 3);
    EXPECT_STREQ(info.name, "boot");
    EXPECT_STREQ(info.typeStr, "nand");
    EXPECT_EQ(info.type, MTD_NANDFLASH);
    EXPECT_EQ(info.size, 134217728);
    EXPECT_EQ(info.ebSize, 131072);
    EXPECT_EQ(info.ebCnt, 1024);
    EXPECT_EQ(info.minIoSize, 2048);
    EXPECT_EQ(info.subpageSize, 512);
    EXPECT_EQ(info.oobSize, 64);
    EXPECT_EQ(info.regionCnt, 0);
    EXPECT_EQ(info.writable, 1u);
    EXPECT_EQ(info.bbAllowed, 1u);
    EXPECT_EQ(messages_, "");
}

struct TypeRow {
    const char* typeText;
    const char* flags;
    int type;
    unsigned bbAllowed;
    unsigned writable;
};

TEST_F(MtdSysfsTest, TypeDecidesBadBlocksAndFlagBitDecidesWritable) {
    const TypeRow rows[] = {
        {"nand\n", "0x400\n", MTD_NANDFLASH, 1, 1},
        {"mlc-nand\n", "0xc00\n", MTD_MLCNANDFLASH, 1, 1},
        {"nor\n", "0xc00\n", MTD_NORFLASH, 0, 1},
        {"ram\n", "0x1c00\n", MTD_RAM, 0, 1},
        {"rom\n", "0x0\n", MTD_ROM, 0, 0},
        {"ubi\n", "0x800\n", MTD_UBIVOLUME, 0, 0},
        {"dataflash\n", "400\n", MTD_DATAFLASH, 0, 1},
        {"tape\n", "0x400\n", -1, 0, 1},
    };
    for (const TypeRow& row : rows) {
        auto attributes = nandAttributes();
        attributes["type"] = row.typeText;
        attributes["flags"] = row.flags;
        addDevice("mtd0", attributes);
        MtdDevInfo info{};
        ASSERT_EQ(describe(&info), 0) << row.typeText << messages_;
        EXPECT_EQ(info.type, row.type) << row.typeText;
        EXPECT_EQ(info.bbAllowed, row.bbAllowed) << row.typeText;
        EXPECT_EQ(info.writable, row.writable) << row.typeText;
        (void)runProcess({"/bin/rm", "-rf", kClass + "/mtd0"});
    }
}

TEST_F(MtdSysfsTest, FindsTheDeviceWhoseMajorMinorMatchesSkippingGaps) {
    auto other = nandAttributes();
    other["dev"] = "90:0\n";
    addDevice("mtd0", other);
    auto noDev = nandAttributes();
    noDev.erase("dev");
    addDevice("mtd1", noDev);  // a number without dev attribute is passed over
    addDevice("mtd3", nandAttributes());
    MtdDevInfo info{};
    ASSERT_EQ(describe(&info), 0) << messages_;
    EXPECT_EQ(info.mtdNum, 3);
}

TEST_F(MtdSysfsTest, NoDeviceWithTheNodesNumbersGivesEnodev) {
    auto other = nandAttributes();
    other["dev"] = "90:0\n";
    addDevice("mtd0", other);
    MtdDevInfo info{};
    EXPECT_EQ(describe(&info), -1);
    EXPECT_EQ(error_, ENODEV);
    EXPECT_EQ(messages_, "");
}

TEST_F(MtdSysfsTest, NodeThatIsNoCharacterDeviceIsRefused) {
    addDevice("mtd0", nandAttributes());
    MtdDevInfo info{};
    EXPECT_EQ(describe(&info, "/sys/class/mtd/mtd0/name"), -1);
    EXPECT_EQ(error_, EINVAL);
    EXPECT_EQ(messages_,
              "libmtd: error!: \"/sys/class/mtd/mtd0/name\" is not a character device\n");
}

struct BadAttribute {
    const char* attribute;
    std::string content;
    std::string message;  // after "libmtd: error!: "
};

TEST_F(MtdSysfsTest, MalformedAttributesFailWithTheirMessages) {
    const std::string dir = "/sys/class/mtd/mtd0/";
    const BadAttribute rows[] = {
        {"name", std::string(128, 'n'), "contents of \"" + dir + "name\" is too long"},
        {"type", std::string(65, 't'), "contents of \"" + dir + "type\" is too long"},
        {"size", "-5\n", "negative value -5 in \"" + dir + "size\""},
        {"size", "lots\n", "cannot read integer from \"" + dir + "size\"\n"},
        {"size", std::string(50, '1'), "contents of \"" + dir + "size\" is too long"},
        {"erasesize", "2147483648\n",
         "value 2147483648 read from file \"" + dir + "erasesize\" is out of range"},
        {"writesize", "-1\n", "negative value -1 in \"" + dir + "writesize\""},
        {"flags", "zz\n", "cannot read integer from \"" + dir + "flags\"\n"},
    };
    for (const BadAttribute& row : rows) {
        auto attributes = nandAttributes();
        attributes[row.attribute] = row.content;
        addDevice("mtd0", attributes);
        MtdDevInfo info{};
        EXPECT_EQ(describe(&info), -1) << row.attribute;
        EXPECT_EQ(error_, EINVAL) << row.attribute;
        EXPECT_EQ(messages_, "libmtd: error!: " + row.message + "\n") << row.attribute;
        (void)runProcess({"/bin/rm", "-rf", kClass + "/mtd0"});
    }
}

TEST_F(MtdSysfsTest, MalformedDevAttributeFailsTheLookup) {
    auto attributes = nandAttributes();
    attributes["dev"] = "1-3\n";
    addDevice("mtd0", attributes);
    MtdDevInfo info{};
    EXPECT_EQ(describe(&info), -1);
    EXPECT_EQ(messages_,
              "libmtd: error!: \"/sys/class/mtd/mtd0/dev\" does not have major:minor format\n");
    writeBytes("/sys/class/mtd/mtd0/dev", "1:-3\n");
    EXPECT_EQ(describe(&info), -1);
    EXPECT_EQ(error_, EINVAL);
    EXPECT_EQ(messages_, "libmtd: error!: bad major:minor 1:-3 in \"/sys/class/mtd/mtd0/dev\"\n");
}

TEST_F(MtdSysfsTest, MissingAttributeFailsWithoutMessage) {
    auto attributes = nandAttributes();
    attributes.erase("oobsize");
    addDevice("mtd0", attributes);
    MtdDevInfo info{};
    EXPECT_EQ(describe(&info), -1);
    EXPECT_EQ(error_, ENOENT);
    EXPECT_EQ(messages_, "");
}

TEST_F(MtdSysfsTest, OverlongEntryNameIsReported) {
    addDevice("mtd0", nandAttributes());
    const std::string longName(255, 'x');
    ASSERT_EQ(::mkdir((kClass + "/" + longName).c_str(), 0755), 0);
    const std::string message =
        "libmtd: error!: invalid entry in /sys/class/mtd: \"" + longName + "\"\n";
    CaptureStderr();
    // Whichever entry the support check meets first, the class counts as there.
    const ScopedMtdLibrary library(mtdOpenLibrary());
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->sysfsSupported, 1u);
    MtdDevInfo info{};
    EXPECT_EQ(mtdGetDevInfo(library.get(), "/dev/null", &info), -1);
    EXPECT_EQ(errno, EINVAL);
    const std::string messages = GetCapturedStderr();
    ASSERT_GE(messages.size(), message.size());
    EXPECT_EQ(messages.substr(messages.size() - message.size()), message);
}

// Block operations over a regular file standing in for a device of 4 blocks of 4096 bytes.
class MtdBlockTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        content_ = randomBytes(4 * 4096, 7);
        writeBytes(dir_ / "flash", content_);
        fd_.reset(::open((dir_ / "flash").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd_.valid());
        info_.mtdNum = 5;
        info_.size = 4 * 4096;
        info_.ebSize = 4096;
        info_.ebCnt = 4;
        info_.minIoSize = 2048;
        info_.subpageSize = 2048;
        info_.bbAllowed = 0;
    }

    TempDir dir_;
    std::string content_;
    UniqueFd fd_;
    MtdDevInfo info_{};
    ScopedMtdLibrary library_{new MtdLibrary()};
};

TEST_F(MtdBlockTest, ReadTakesBytesAtTheOffsetInsideTheBlock) {
    std::string buffer(100, '\0');
    ASSERT_EQ(mtdRead(&info_, fd_.get(), 2, 10, &buffer[0], 100), 0);
    EXPECT_EQ(buffer, content_.substr(2 * 4096 + 10, 100));
}

TEST_F(MtdBlockTest, ReadOneBytePastTheBlockIsRefused) {
    std::string buffer(4096, '\0');
    CaptureStderr();
    EXPECT_EQ(mtdRead(&info_, fd_.get(), 0, 1, &buffer[0], 4096), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: bad offset 1 or length 4096, mtd5 eraseblock size is 4096\n");
}

TEST_F(MtdBlockTest, ReadThatFindsNoMoreDataFailsInsteadOfSpinning) {
    info_.ebCnt = 8;  // the description claims more than the file holds
    std::string buffer(4096, '\0');
    CaptureStderr();
    EXPECT_EQ(mtdRead(&info_, fd_.get(), 5, 0, &buffer[0], 4096), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: cannot read 4096 bytes from mtd5 (eraseblock 5, offset 0)\n"
              "        error 5 (Input/output error)\n");
}

TEST_F(MtdBlockTest, BlockNumberOutsideTheDeviceIsRefused) {
    std::string buffer(16, '\0');
    CaptureStderr();
    EXPECT_EQ(mtdRead(&info_, fd_.get(), 4, 0, &buffer[0], 16), -1);
    EXPECT_EQ(mtdRead(&info_, fd_.get(), -1, 0, &buffer[0], 16), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: bad eraseblock number 4, mtd5 has 4 eraseblocks\n"
              "libmtd: error!: bad eraseblock number -1, mtd5 has 4 eraseblocks\n");
}

TEST_F(MtdBlockTest, WriteLandsAtTheOffsetInsideTheBlock) {
    const std::string data = randomBytes(2048, 8);
    ASSERT_EQ(mtdWrite(library_.get(), &info_, fd_.get(), 3, 2048, data.data(), 2048), 0);
    std::string expected = content_;
    expected.replace(3 * 4096 + 2048, 2048, data);
    EXPECT_EQ(readBytes(dir_ / "flash"), expected);
}

TEST_F(MtdBlockTest, WriteOffTheSubpageGridIsRefusedAndWritesNothing) {
    const std::string data = randomBytes(100, 9);
    CaptureStderr();
    EXPECT_EQ(mtdWrite(library_.get(), &info_, fd_.get(), 0, 0, data.data(), 100), -1);
    EXPECT_EQ(mtdWrite(library_.get(), &info_, fd_.get(), 0, 100, data.data(), 2048), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: write length 100 is not aligned to mtd5 min. I/O size 2048\n"
              "libmtd: error!: write offset 100 is not aligned to mtd5 min. I/O size 2048\n");
    EXPECT_EQ(readBytes(dir_ / "flash"), content_);
}

TEST_F(MtdBlockTest, FailedWriteKeepsTheSystemsErrno) {
    UniqueFd readOnly(::open((dir_ / "flash").c_str(), O_RDONLY | O_CLOEXEC));
    const std::string data = randomBytes(2048, 10);
    CaptureStderr();
    EXPECT_EQ(mtdWrite(library_.get(), &info_, readOnly.get(), 0, 0, data.data(), 2048), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: cannot write 2048 bytes to mtd5 (eraseblock 0, offset 0)\n"
              "        error 9 (Bad file descriptor)\n");
}

TEST_F(MtdBlockTest, DeviceWithoutBadBlocksIsAskedNothing) {
    EXPECT_EQ(mtdIsBad(&info_, -1, 2), 0);  // no descriptor at all: no request was made
    info_.bbAllowed = 1;
    CaptureStderr();
    EXPECT_EQ(mtdIsBad(&info_, -1, 2), -1);
    EXPECT_NE(errno, 0);
    const std::string messages = GetCapturedStderr();
    EXPECT_EQ(messages.substr(0, messages.find('\n') + 1),
              "libmtd: error!: MEMGETBADBLOCK ioctl failed for eraseblock 2 (mtd5)\n");
}

TEST_F(MtdBlockTest, MarkBadOnDeviceWithoutBadBlocksIsNotSupported) {
    EXPECT_EQ(mtdMarkBad(&info_, -1, 1), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

// A kernel that knows neither erase request (as a regular file, which answers ENOTTY to every
// MTD request): the layer falls back to MEMERASE once and stays there. Another failure of the
// wide request is reported as it is.
int seen64 = 0;
int seen32 = 0;
int answer64 = ENOTTY;
int refusingKernel(int fd, unsigned long request, void* argument) {
    (void)fd;
    (void)argument;
    (request == MEMERASE64 ? seen64 : seen32)++;
    errno = request == MEMERASE64 ? answer64 : ENOTTY;
    return -1;
}

TEST_F(MtdBlockTest, EnottyForTheWideEraseSwitchesToMemeraseForGood) {
    seen64 = seen32 = 0;
    answer64 = ENOTTY;
    library_->eraseRequest = refusingKernel;
    CaptureStderr();
    EXPECT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 1), -1);
    EXPECT_EQ(library_->erase64State, 1u);
    EXPECT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 2), -1);
    EXPECT_EQ(seen64, 1);
    EXPECT_EQ(seen32, 2);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: MEMERASE ioctl failed for eraseblock 1 (mtd5)\n"
              "        error 25 (Inappropriate ioctl for device)\n"
              "libmtd: error!: MEMERASE ioctl failed for eraseblock 2 (mtd5)\n"
              "        error 25 (Inappropriate ioctl for device)\n");
}

TEST_F(MtdBlockTest, WideEraseFailureOtherThanEnottyIsReported) {
    seen64 = seen32 = 0;
    answer64 = EIO;
    library_->eraseRequest = refusingKernel;
    CaptureStderr();
    EXPECT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(library_->erase64State, 0u);
    EXPECT_EQ(seen32, 0);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: MEMERASE64 ioctl failed for eraseblock 1 (mtd5)\n"
              "        error 5 (Input/output error)\n");
}

TEST_F(MtdBlockTest, NarrowEraseRefusesBlocksBeyondFourGibibytes) {
    library_->erase64State = 1;
    info_.ebSize = 65536;
    info_.ebCnt = 70000;
    CaptureStderr();
    EXPECT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 65536), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetCapturedStderr(),
              "libmtd: error!: this system can address only 65535 eraseblocks\n");
}

TEST(MtdTypeTest, NamesAndCodesMatchTheKernelsConstants) {
    EXPECT_EQ(mtdTypeCode("absent"), MTD_ABSENT);
    EXPECT_EQ(mtdTypeCode("ram"), MTD_RAM);
    EXPECT_EQ(mtdTypeCode("rom"), MTD_ROM);
    EXPECT_EQ(mtdTypeCode("nor"), MTD_NORFLASH);
    EXPECT_EQ(mtdTypeCode("nand"), MTD_NANDFLASH);
    EXPECT_EQ(mtdTypeCode("dataflash"), MTD_DATAFLASH);
    EXPECT_EQ(mtdTypeCode("ubi"), MTD_UBIVOLUME);
    EXPECT_EQ(mtdTypeCode("mlc-nand"), MTD_MLCNANDFLASH);
    EXPECT_EQ(mtdTypeCode("NAND"), -1);
    EXPECT_STREQ(mtdTypeName(MTD_MLCNANDFLASH), "mlc-nand");
    EXPECT_EQ(mtdTypeName(5), nullptr);
}

}  // namespace
}  // namespace testing
}  // namespace KIVRA
