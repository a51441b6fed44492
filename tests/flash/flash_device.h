#pragma once
// Device-test helpers: the flash devices of the QEMU harness (tests/vm/run) and raw access to
// them that does not go through the code under test.
//
// /dev/mtd0, the boot flash, depends on the guest: mtdram (4 MiB, 64 KiB erase blocks, no bad
// blocks, a NOR-like RAM device) on the x86-64 guest; a small-page nandsim (32 MiB, 512-byte
// pages, 16 KiB erase blocks) on the 32-bit ARM guest, whose kernel builds no mtdram. That
// guest names the boot flash's nandsim parameters in QV_BOOT_NANDSIM. NAND for the flash
// tests comes from nandsim, loaded by each test with its own faults: 128 MiB, 2 KiB pages,
// 128 KiB erase blocks (on the ARM guest it replaces the boot flash until the test ends).

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {

constexpr const char* kNorNode = "/dev/mtd0";

// What /dev/mtd0 is, as the kernel describes it.
struct BootFlash {
    const char* driver;
    int type;
    const char* typeStr;
    const char* name;
    uint32_t size;
    uint32_t block;
    uint32_t page;  // minimal I/O unit
    uint32_t subpage;
    uint32_t oob;
    bool badBlocks;
};

inline const char* bootNandsim() {
    const char* params = std::getenv("QV_BOOT_NANDSIM");
    return params != nullptr && *params != '\0' ? params : nullptr;
}

inline const BootFlash& bootFlash() {
    static const BootFlash mtdram{
        "mtdram", MTD_RAM, "ram", "mtdram test device", 4u << 20, 64u << 10, 1, 1, 0, false};
    static const BootFlash smallPageNand{
        "nandsim", MTD_NANDFLASH, "nand", "NAND simulator partition 0",
        32u << 20, 16u << 10,     512,    256,
        16,        true};
    return bootNandsim() != nullptr ? smallPageNand : mtdram;
}

// Tests that fill the boot flash and compare all of it use its first 4 MiB (all of mtdram):
// both records (0xC0000, 0x1E0000) lie there, and the rest of a 32 MiB NAND would only cost
// emulated time.
inline uint32_t norSize() { return std::min<uint32_t>(bootFlash().size, 4u << 20); }
inline uint32_t norBlock() { return bootFlash().block; }

constexpr uint32_t kNandPage = 2048;
constexpr uint32_t kNandBlock = 128u << 10;
constexpr uint32_t kNandPagesPerBlock = kNandBlock / kNandPage;
constexpr const char* kNandGeometry =
    "first_id_byte=0x20 second_id_byte=0xa1 third_id_byte=0x00 fourth_id_byte=0x15";
constexpr const char* kNandName = "NAND simulator partition 0";

// Flash tests erase and rewrite whole devices: they refuse to run anywhere but in the harness.
inline void requireDeviceHarness() {
    const char* harness = std::getenv("QV_DEVICE_HARNESS");
    ASSERT_TRUE(harness != nullptr && std::string(harness) == "1")
        << "device tests write to /dev/mtd*; run them through tests/vm/run";
}

class DeviceTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (!HasFatalFailure()) {
            requireDeviceHarness();
        }
    }
};

inline std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// The node of the MTD device whose sysfs name is name, or "" when there is none.
inline std::string nodeNamed(const std::string& name) {
    for (int n = 0; n < 16; ++n) {
        std::ifstream in("/sys/class/mtd/mtd" + std::to_string(n) + "/name");
        std::string line;
        if (in && std::getline(in, line) && line == name) {
            return "/dev/mtd" + std::to_string(n);
        }
    }
    return "";
}

// Splits "a=1 b=2" into modprobe's arguments after argv.
inline void appendWords(std::vector<std::string>& argv, const std::string& params) {
    size_t at = 0;
    while (at < params.size()) {
        const size_t end = params.find(' ', at);
        const std::string word = params.substr(at, end == std::string::npos ? end : end - at);
        if (!word.empty()) {
            argv.push_back(word);
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
}

inline uint64_t sysfsNumber(const std::string& path) {
    std::ifstream in(path);
    uint64_t value = 0;
    return in >> value ? value : 0;
}

inline bool waitForNode(const std::string& node) {
    for (int i = 0; i < 100; ++i) {
        if (::access(node.c_str(), R_OK | W_OK) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Removes a test's nandsim. Where nandsim is the boot flash itself (the ARM guest), the boot
// flash comes back, erased, as /dev/mtd0; it is left alone when it is still loaded.
inline void unloadNandsim() {
    const char* boot = bootNandsim();
    if (boot != nullptr && sysfsNumber("/sys/class/mtd/mtd0/size") == bootFlash().size &&
        sysfsNumber("/sys/class/mtd/mtd0/erasesize") == bootFlash().block) {
        return;
    }
    (void)runProcess({"/sbin/modprobe", "-r", "nandsim"});
    if (boot == nullptr) {
        return;
    }
    std::vector<std::string> argv = {"/sbin/modprobe", "nandsim"};
    appendWords(argv, boot);
    const ProcessResult loaded = runProcess(argv);
    if (loaded.exitStatus != 0 || !waitForNode(kNorNode)) {
        ADD_FAILURE() << "cannot bring the boot flash back: " << loaded.err;
    }
}

// Loads nandsim afresh (all blocks erased) with the faults in extra, for example
// "badblocks=3" or "weakpages=67:0" (every program of page 67 fails with EIO). Returns the node.
inline std::string loadNandsim(const std::string& extra = "") {
    (void)runProcess({"/sbin/modprobe", "-r", "nandsim"});
    std::vector<std::string> argv = {"/sbin/modprobe", "nandsim"};
    appendWords(argv, std::string(kNandGeometry) + " " + extra);
    const ProcessResult loaded = runProcess(argv);
    if (loaded.exitStatus != 0) {
        ADD_FAILURE() << "modprobe nandsim failed: " << loaded.err;
        return "";
    }
    for (int i = 0; i < 100; ++i) {
        const std::string node = nodeNamed(kNandName);
        if (!node.empty() && ::access(node.c_str(), R_OK | W_OK) == 0) {
            return node;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "nandsim loaded but its device node did not appear";
    return "";
}

inline std::string rawRead(const std::string& node, uint64_t offset, size_t length) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << node;
        return "";
    }
    std::string data(length, '\0');
    const ssize_t n = ::pread(fd, &data[0], length, static_cast<off_t>(offset));
    (void)::close(fd);  // read-only descriptor
    if (n != static_cast<ssize_t>(length)) {
        ADD_FAILURE() << "raw read of " << length << " bytes at " << offset << " failed";
    }
    return data;
}

inline void rawWrite(const std::string& node, uint64_t offset, const std::string& data) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "cannot open " << node;
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    (void)::close(fd);  // the write's result is what matters
    ASSERT_EQ(n, static_cast<ssize_t>(data.size())) << "raw write at " << offset << " failed";
}

inline void rawErase(const std::string& node, uint64_t offset, uint64_t length) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "cannot open " << node;
    struct erase_info_user64 request {};
    request.start = offset;
    request.length = length;
    const int rc = ::ioctl(fd, MEMERASE64, &request);
    (void)::close(fd);
    ASSERT_EQ(rc, 0) << "raw erase at " << offset << " failed";
}

inline bool rawIsBad(const std::string& node, uint64_t offset) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    loff_t at = static_cast<loff_t>(offset);
    const int rc = ::ioctl(fd, MEMGETBADBLOCK, &at);
    (void)::close(fd);
    return rc == 1;
}

inline std::string erasedBytes(size_t length) { return std::string(length, '\xFF'); }

// Erases the blocks that data covers (offset starts a block) and writes data: NAND, unlike
// mtdram, takes a program only on erased pages.
inline void rawProgram(const std::string& node, uint64_t offset, const std::string& data,
                       uint32_t block) {
    rawErase(node, offset, (data.size() + block - 1) / block * block);
    rawWrite(node, offset, data);
}

}  // namespace testing
}  // namespace KIVRA
