// The MTD layer against the kernel's own MTD devices: the boot flash /dev/mtd0 (mtdram on the
// x86-64 guest, a small-page nandsim on the ARM guest) and nandsim.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "flash/mtd_library.h"
#include "qvsystemtools/unique_fd.h"
#include "tests/flash/flash_device.h"

namespace KIVRA {
namespace testing {
namespace {

using qvsystemtools::UniqueFd;

struct Described {
    int rc = -1;
    int error = 0;
    unsigned sysfsSupported = 0;
    MtdDevInfo info{};
};

Described describe(const std::string& node) {
    Described d;
    const ScopedMtdLibrary library(mtdOpenLibrary());
    if (library == nullptr) {
        return d;
    }
    d.sysfsSupported = library->sysfsSupported;
    d.rc = mtdGetDevInfo(library.get(), node.c_str(), &d.info);
    d.error = errno;
    return d;
}

struct LegacyRun {
    Described described;
    std::string output;  // standard output and standard error of the call
};

// Describes node the way a kernel without the MTD class in sysfs makes the layer do it: in a
// child with a mount namespace of its own, /sys/class/mtd is hidden under an empty tmpfs
// while /proc/mtd stays. The rest of the test run keeps its sysfs.
LegacyRun describeWithoutSysfs(const std::string& node) {
    LegacyRun run;
    char outputPath[] = "/tmp/legacy-output.XXXXXX";
    UniqueFd output(::mkstemp(outputPath));
    int pipeFds[2];
    if (!output.valid() || ::pipe(pipeFds) != 0) {
        ADD_FAILURE() << "cannot set up the child";
        return run;
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        (void)::dup2(output.get(), 1);
        (void)::dup2(output.get(), 2);
        Described d;
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("hide", "/sys/class/mtd", "tmpfs", 0, nullptr) != 0) {
            d.rc = -2;
        } else {
            d = describe(node);
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const ssize_t n = ::write(writeEnd.get(), &d, sizeof d);
        ::_exit(n == static_cast<ssize_t>(sizeof d) ? 0 : 1);
    }
    writeEnd.reset();
    int status = 0;
    char reply[sizeof(Described)];
    const ssize_t n = ::read(readEnd.get(), reply, sizeof reply);
    (void)::waitpid(child, &status, 0);
    if (n == static_cast<ssize_t>(sizeof reply)) {
        std::memcpy(&run.described, reply, sizeof reply);
    }
    EXPECT_EQ(n, static_cast<ssize_t>(sizeof run.described)) << "the child reported nothing";
    EXPECT_NE(run.described.rc, -2) << "cannot hide /sys/class/mtd in the child";
    run.output = readBytes(outputPath);
    (void)::unlink(outputPath);
    return run;
}

class MtdLibraryDeviceTest : public DeviceTest {
protected:
    void TearDown() override { unloadNandsim(); }
};

// The expected description is the one the harness promises for its guest (flash_device.h),
// not one read back from the device.
TEST_F(MtdLibraryDeviceTest, SysfsModeDescribesTheBootFlashAsItsDriverMadeIt) {
    const BootFlash& flash = bootFlash();
    const Described d = describe(kNorNode);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.sysfsSupported, 1u);
    EXPECT_EQ(d.info.mtdNum, 0);
    EXPECT_EQ(d.info.major, 90);
    EXPECT_EQ(d.info.minor, 0);
    EXPECT_EQ(d.info.type, flash.type);
    EXPECT_STREQ(d.info.typeStr, flash.typeStr);
    EXPECT_STREQ(d.info.name, flash.name);
    EXPECT_EQ(d.info.size, static_cast<int64_t>(flash.size));
    EXPECT_EQ(d.info.ebSize, static_cast<int>(flash.block));
    EXPECT_EQ(d.info.ebCnt, static_cast<int>(flash.size / flash.block));
    EXPECT_EQ(d.info.minIoSize, static_cast<int>(flash.page));
    EXPECT_EQ(d.info.subpageSize, static_cast<int>(flash.subpage));
    EXPECT_EQ(d.info.oobSize, static_cast<int>(flash.oob));
    EXPECT_EQ(d.info.writable, 1u);
    EXPECT_EQ(d.info.bbAllowed, flash.badBlocks ? 1u : 0u);
}

TEST_F(MtdLibraryDeviceTest, SysfsModeDescribesNandsimWithPagesSubpagesAndBadBlocks) {
    const std::string node = loadNandsim();
    ASSERT_FALSE(node.empty());
    const Described d = describe(node);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.info.mtdNum, std::stoi(node.substr(std::strlen("/dev/mtd"))));
    EXPECT_EQ(d.info.type, MTD_NANDFLASH);
    EXPECT_STREQ(d.info.typeStr, "nand");
    EXPECT_STREQ(d.info.name, kNandName);
    EXPECT_EQ(d.info.size, 128ll << 20);
    EXPECT_EQ(d.info.ebSize, static_cast<int>(kNandBlock));
    EXPECT_EQ(d.info.ebCnt, 1024);
    EXPECT_EQ(d.info.minIoSize, static_cast<int>(kNandPage));
    EXPECT_EQ(d.info.subpageSize, 512);
    EXPECT_EQ(d.info.oobSize, 64);
    EXPECT_EQ(d.info.writable, 1u);
    EXPECT_EQ(d.info.bbAllowed, 1u);
}

TEST_F(MtdLibraryDeviceTest, LegacyModeTakesNumberFromMinorAndNameFromProcMtd) {
    const std::string node = loadNandsim();
    ASSERT_FALSE(node.empty());
    const Described sysfs = describe(node);
    ASSERT_EQ(sysfs.rc, 0);
    // A node of another name for the read-only minor: the number must come from the minor.
    const std::string alias = "/tmp/flash-alias";
    ASSERT_EQ(::mknod(alias.c_str(), S_IFCHR | 0600,
                      makedev(90, static_cast<unsigned>(2 * sysfs.info.mtdNum + 1))),
              0);
    const LegacyRun legacy = describeWithoutSysfs(alias);
    ASSERT_EQ(legacy.described.rc, 0) << legacy.output;
    EXPECT_EQ(legacy.described.sysfsSupported, 0u);
    const MtdDevInfo& info = legacy.described.info;
    EXPECT_EQ(info.mtdNum, sysfs.info.mtdNum);
    EXPECT_EQ(info.major, 90);
    EXPECT_EQ(info.minor, 2 * sysfs.info.mtdNum + 1);
    EXPECT_EQ(info.type, MTD_NANDFLASH);
    EXPECT_STREQ(info.typeStr, "nand");
    EXPECT_STREQ(info.name, kNandName);
    EXPECT_EQ(info.size, sysfs.info.size);
    EXPECT_EQ(info.ebSize, sysfs.info.ebSize);
    EXPECT_EQ(info.ebCnt, sysfs.info.ebCnt);
    EXPECT_EQ(info.minIoSize, sysfs.info.minIoSize);
    EXPECT_EQ(info.subpageSize, info.minIoSize);  // the legacy request knows no subpages
    EXPECT_EQ(info.oobSize, sysfs.info.oobSize);
    EXPECT_EQ(info.bbAllowed, 1u);  // probed with MEMGETBADBLOCK
    EXPECT_EQ(info.writable, sysfs.info.writable);
    EXPECT_EQ(legacy.output, "");
}

// The bad-block probe cannot tell mtdram apart here: current kernels answer MEMGETBADBLOCK
// with "good" for devices without bad blocks instead of EOPNOTSUPP.
TEST_F(MtdLibraryDeviceTest, LegacyModeDescribesTheBootFlashFromMemgetinfo) {
    const BootFlash& flash = bootFlash();
    const LegacyRun legacy = describeWithoutSysfs(kNorNode);
    ASSERT_EQ(legacy.described.rc, 0) << legacy.output;
    const MtdDevInfo& info = legacy.described.info;
    EXPECT_EQ(info.mtdNum, 0);
    EXPECT_STREQ(info.name, flash.name);
    EXPECT_STREQ(info.typeStr, flash.typeStr);
    EXPECT_EQ(info.type, flash.type);
    EXPECT_EQ(info.size, static_cast<int64_t>(flash.size));
    EXPECT_EQ(info.ebCnt, static_cast<int>(flash.size / flash.block));
    EXPECT_EQ(info.minIoSize, static_cast<int>(flash.page));
    EXPECT_EQ(info.writable, 1u);
}

TEST_F(MtdLibraryDeviceTest, LegacyModeRefusesNodeOfAnotherDriver) {
    const LegacyRun legacy = describeWithoutSysfs("/dev/null");
    EXPECT_EQ(legacy.described.rc, -1);
    EXPECT_EQ(legacy.described.error, EINVAL);
    EXPECT_EQ(legacy.output,
              "libmtd: error!: \"/dev/null\" has major number 1, MTD devices have major 90\n");
}

TEST_F(MtdLibraryDeviceTest, LegacyModeExplainsThatNodesMustExist) {
    const LegacyRun legacy = describeWithoutSysfs("/dev/mtd77");
    EXPECT_EQ(legacy.described.rc, -1);
    EXPECT_EQ(legacy.described.error, ENOENT);
    EXPECT_EQ(legacy.output,
              "libmtd: error!: cannot open \"/dev/mtd77\"\n"
              "        error 2 (No such file or directory)\n"
              "libmtd: MTD subsystem is old and does not support sysfs, so MTD character device "
              "nodes have to exist\n");
}

class MtdBlockDeviceTest : public MtdLibraryDeviceTest {
protected:
    void SetUp() override {
        MtdLibraryDeviceTest::SetUp();
        library_.reset(mtdOpenLibrary());
        ASSERT_NE(library_, nullptr);
    }
    void TearDown() override {
        library_.reset();
        MtdLibraryDeviceTest::TearDown();
    }
    void openDevice(const std::string& node) {
        ASSERT_EQ(mtdGetDevInfo(library_.get(), node.c_str(), &info_), 0);
        fd_.reset(::open(node.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd_.valid());
    }

    ScopedMtdLibrary library_;
    MtdDevInfo info_{};
    UniqueFd fd_;
};

TEST_F(MtdBlockDeviceTest, EraseClearsOnlyTheNamedBlock) {
    const std::string pattern = randomBytes(3 * norBlock(), 11);
    rawProgram(kNorNode, 2 * norBlock(), pattern, norBlock());
    openDevice(kNorNode);
    ASSERT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 3), 0);
    EXPECT_EQ(library_->erase64State, 0u);  // a successful 64-bit erase decides nothing
    EXPECT_EQ(rawRead(kNorNode, 2 * norBlock(), norBlock()), pattern.substr(0, norBlock()));
    EXPECT_EQ(rawRead(kNorNode, 3 * norBlock(), norBlock()), erasedBytes(norBlock()));
    EXPECT_EQ(rawRead(kNorNode, 4 * norBlock(), norBlock()), pattern.substr(2 * norBlock()));
}

// No kernel at hand answers ENOTTY to MEMERASE64 any more, so this one case goes through the
// layer's request seam: MEMERASE64 is refused, MEMERASE reaches the real mtdram.
int requestsSeen64 = 0;
int requestsSeen32 = 0;
int kernelWithoutErase64(int fd, unsigned long request, void* argument) {
    if (request == MEMERASE64) {
        ++requestsSeen64;
        errno = ENOTTY;
        return -1;
    }
    ++requestsSeen32;
    return ::ioctl(fd, request, argument);
}

TEST_F(MtdBlockDeviceTest, EraseFallsBackToMemeraseForGoodAfterEnotty) {
    rawProgram(kNorNode, 5 * norBlock(), randomBytes(2 * norBlock(), 12), norBlock());
    openDevice(kNorNode);
    requestsSeen64 = requestsSeen32 = 0;
    library_->eraseRequest = kernelWithoutErase64;
    ASSERT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 5), 0);
    ASSERT_EQ(mtdEraseBlock(library_.get(), &info_, fd_.get(), 6), 0);
    EXPECT_EQ(requestsSeen64, 1);
    EXPECT_EQ(requestsSeen32, 2);
    EXPECT_EQ(library_->erase64State, 1u);
    EXPECT_EQ(rawRead(kNorNode, 5 * norBlock(), 2 * norBlock()), erasedBytes(2 * norBlock()));
}

TEST_F(MtdBlockDeviceTest, WriteAndReadMeetInsideAnEraseBlock) {
    rawErase(kNorNode, 0, norSize());
    openDevice(kNorNode);
    // Inside the block and off its start: at byte 300 where any offset goes, at the second
    // page where the device writes whole pages.
    const uint32_t page = bootFlash().page;
    const int offset = page == 1 ? 300 : static_cast<int>(page);
    const int length = page == 1 ? 1000 : static_cast<int>(2 * page);
    const std::string data = randomBytes(static_cast<size_t>(length), 13);
    ASSERT_EQ(mtdWrite(library_.get(), &info_, fd_.get(), 7, offset, data.data(), length), 0);
    EXPECT_EQ(rawRead(kNorNode, 7 * norBlock() + static_cast<uint32_t>(offset),
                      static_cast<size_t>(length)),
              data);
    std::string back(static_cast<size_t>(length), '\0');
    ASSERT_EQ(mtdRead(&info_, fd_.get(), 7, offset, &back[0], length), 0);
    EXPECT_EQ(back, data);
}

TEST_F(MtdBlockDeviceTest, ReadOneBytePastTheBlockIsRefused) {
    openDevice(kNorNode);
    std::string buffer(norBlock() + 1, '\0');
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mtdRead(&info_, fd_.get(), 0, 1, &buffer[0], static_cast<int>(norBlock())), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "libmtd: error!: bad offset 1 or length " + std::to_string(norBlock()) +
                  ", mtd0 eraseblock size is " + std::to_string(norBlock()) + "\n");
}

TEST_F(MtdBlockDeviceTest, IsBadReportsTheInjectedBadBlocksOnly) {
    const std::string node = loadNandsim("badblocks=3,7");
    ASSERT_FALSE(node.empty());
    openDevice(node);
    for (int eb = 0; eb < 10; ++eb) {
        EXPECT_EQ(mtdIsBad(&info_, fd_.get(), eb), (eb == 3 || eb == 7) ? 1 : 0) << eb;
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mtdIsBad(&info_, fd_.get(), 1024), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "libmtd: error!: bad eraseblock number 1024, mtd" + std::to_string(info_.mtdNum) +
                  " has 1024 eraseblocks\n");
}

TEST_F(MtdBlockDeviceTest, MarkBadRetiresBlockForLaterQueries) {
    const std::string node = loadNandsim();
    ASSERT_FALSE(node.empty());
    openDevice(node);
    ASSERT_EQ(mtdIsBad(&info_, fd_.get(), 9), 0);
    ASSERT_EQ(mtdMarkBad(&info_, fd_.get(), 9), 0);
    EXPECT_EQ(mtdIsBad(&info_, fd_.get(), 9), 1);
    EXPECT_TRUE(rawIsBad(node, 9ull * kNandBlock));
}

TEST_F(MtdBlockDeviceTest, NandWriteOfLengthOffTheSubpageGridIsRefused) {
    const std::string node = loadNandsim();
    ASSERT_FALSE(node.empty());
    openDevice(node);
    const std::string data = randomBytes(100, 14);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mtdWrite(library_.get(), &info_, fd_.get(), 0, 0, data.data(), 100), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "libmtd: error!: write length 100 is not aligned to mtd" +
                  std::to_string(info_.mtdNum) + " min. I/O size 512\n");
    EXPECT_EQ(rawRead(node, 0, kNandPage), erasedBytes(kNandPage));
}

TEST_F(MtdBlockDeviceTest, ProgramFailureComesBackAsEio) {
    // Every program of page 1 of block 1 fails.
    const std::string node =
        loadNandsim("weakpages=" + std::to_string(kNandPagesPerBlock + 1) + ":0");
    ASSERT_FALSE(node.empty());
    openDevice(node);
    const std::string data = randomBytes(kNandPage, 15);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mtdWrite(library_.get(), &info_, fd_.get(), 1, static_cast<int>(kNandPage),
                       data.data(), static_cast<int>(kNandPage)),
              -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "libmtd: error!: cannot write 2048 bytes to mtd" + std::to_string(info_.mtdNum) +
                  " (eraseblock 1, offset 2048)\n        error 5 (Input/output error)\n");
    EXPECT_EQ(
        mtdWrite(library_.get(), &info_, fd_.get(), 1, 0, data.data(), static_cast<int>(kNandPage)),
        0);
    EXPECT_EQ(rawRead(node, kNandBlock, kNandPage), data);
}

}  // namespace
}  // namespace testing
}  // namespace KIVRA
