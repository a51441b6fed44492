// Flash wear of the installer's environment update on the real MTD device of the QEMU
// harness: one update erases and writes the older 64 KiB copy once, and nothing else. Where
// the erase block is smaller than a copy (the ARM guest's 16 KiB NAND blocks) the copy is
// erased block by block, each block once.
//
// Counted two ways: the update runs under ptrace (update_child.h), which records every erase
// request (MEMERASE, MEMERASE64) and every write on a descriptor of /dev/mtd0 with its device
// offset; and the whole device is compared before and after, everything but the environment
// filled with bytes other than 0xFF so that a stray erase shows.

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "qvcommontools/env_value.h"
#include "tests/flash/flash_device.h"
#include "tests/vpd/boot_env_loader.h"
#include "tests/vpd/env_samples.h"
#include "tests/vpd/update_child.h"

namespace KIVRA {
namespace {

using testing::ChildEnd;
using testing::DeviceOps;
using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::recordOf;
using testing::sampleVariables;
using testing::withUpdateFlagSet;

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

int setFlagOnPartition0() {
    std::string errorText;
    return qvcommontools::setEnvValue("fwupdate_flag", "1", 0, errorText) ? 0 : 1;
}

std::string hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

// Erase requests of consecutive blocks as one range, so that an erase of a whole copy reads
// the same whatever the erase block size; overlapping or repeated requests stay apart.
Ranges coalesced(const Ranges& ranges) {
    Ranges merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && merged.back().first + merged.back().second == range.first) {
            merged.back().second += range.second;
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

std::string text(const Ranges& ranges) {
    std::string out;
    for (const auto& [start, length] : ranges) {
        out += (out.empty() ? "" : ", ") + std::to_string(length) + " bytes at " + hex(start);
    }
    return out.empty() ? "none" : out;
}

class FlashWearTest : public testing::DeviceTest {
protected:
    void SetUp() override {
        testing::DeviceTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        size = testing::norSize();
        mtd.write(0, testing::unerasedPattern(size, 81));
    }

    // Runs one traced update; its device operations, and fails the test when it failed.
    DeviceOps tracedUpdate() {
        ChildEnd end;
        const auto calls = testing::traceChild(setFlagOnPartition0, &end);
        EXPECT_EQ(end.exitStatus, 0) << "the update failed";
        return testing::deviceOps(calls);
    }

    // The update replaced the copy at target, and only it: one erase of exactly that copy,
    // writes that cover it once, and every other byte of the device as it was.
    void expectOnlyCopyRewritten(const DeviceOps& ops, uint32_t target, const std::string& before,
                                 const std::string& record) {
        EXPECT_EQ(coalesced(ops.erases), (Ranges{{target, kEnvCopySize}}))
            << "erased: " << text(ops.erases);
        uint64_t next = target;
        for (const auto& [offset, length] : ops.writes) {
            EXPECT_EQ(offset, next) << "writes: " << text(ops.writes);
            next = offset + length;
        }
        EXPECT_EQ(next, target + kEnvCopySize) << "writes: " << text(ops.writes);
        EXPECT_TRUE(ops.others.empty()) << "also changed the device by " << ops.others.front();
        const std::string after = mtd.read(0, size);
        EXPECT_TRUE(after.substr(0, target) == before.substr(0, target))
            << "flash below the rewritten copy changed";
        EXPECT_TRUE(after.substr(target + kEnvCopySize) == before.substr(target + kEnvCopySize))
            << "flash above the rewritten copy changed";
        EXPECT_TRUE(after.substr(target, kEnvCopySize) == record)
            << "the rewritten copy does not hold the new record";
    }

    testing::RawMtd mtd;
    uint32_t size = 0;
};

// Which copy is the older one for each pair of flags is settled by the host tests of the
// environment handler; here one update is counted.
TEST_F(FlashWearTest, UpdateErasesAndWritesOnlyTheOlderCopyOnce) {
    const auto current = sampleVariables(2);
    mtd.write(kEnvCopy1, recordOf(sampleVariables(1), 7) + recordOf(current, 8));
    const std::string before = mtd.read(0, size);
    const DeviceOps ops = tracedUpdate();
    expectOnlyCopyRewritten(ops, kEnvCopy1, before, recordOf(withUpdateFlagSet(current), 9));
    std::cout << "[ figures  ] one update: erases " << ops.erases.size() << " (" << text(ops.erases)
              << "), writes " << ops.writes.size() << " (" << text(ops.writes) << "), reads "
              << ops.reads << std::endl;
}

// Updates take turns over the two copies, so each erase block wears at half the update rate.
TEST_F(FlashWearTest, ConsecutiveUpdatesAlternateBetweenTheCopies) {
    const auto current = sampleVariables(2);
    mtd.write(kEnvCopy1, recordOf(sampleVariables(1), 4) + recordOf(current, 5));
    const std::string untouched = mtd.read(0, size);
    Ranges erased;
    for (int i = 0; i < 4; ++i) {
        const DeviceOps ops = tracedUpdate();
        const Ranges one = coalesced(ops.erases);
        erased.insert(erased.end(), one.begin(), one.end());
    }
    EXPECT_EQ(erased, (Ranges{{kEnvCopy1, kEnvCopySize},
                              {kEnvCopy2, kEnvCopySize},
                              {kEnvCopy1, kEnvCopySize},
                              {kEnvCopy2, kEnvCopySize}}))
        << "erased: " << text(erased);
    const std::string after = mtd.read(0, size);
    EXPECT_TRUE(after.substr(0, kEnvCopy1) == untouched.substr(0, kEnvCopy1) &&
                after.substr(kEnvCopy2 + kEnvCopySize) ==
                    untouched.substr(kEnvCopy2 + kEnvCopySize))
        << "flash outside the environment changed";
    const auto expected = withUpdateFlagSet(current);
    EXPECT_TRUE(mtd.read(kEnvCopy1, kEnvCopySize) == recordOf(expected, 8));
    EXPECT_TRUE(mtd.read(kEnvCopy2, kEnvCopySize) == recordOf(expected, 9));
    EXPECT_EQ(testing::loadBootEnvironment(mtd).copy, 2);
}

}  // namespace
}  // namespace KIVRA
