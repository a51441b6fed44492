// The campaign's reader and replayer of dm-log-writes logs, on logs written here in the layout
// the kernel target writes: the state after any entry must be exactly the writes up to it.

#include "tests/powercut/write_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using powercut::kDiscardFlag;
using powercut::kFlushFlag;
using powercut::kMarkFlag;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

constexpr uint32_t kSector = 512;

std::string le(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

struct Entry {
    uint64_t sector;
    uint64_t flags;
    std::string data;  // write: whole sectors; mark: the name
};

std::string logOf(const std::vector<Entry>& entries, uint64_t countOverride = 0,
                  uint64_t magic = powercut::kLogMagic) {
    std::string log = le(magic, 8) + le(1, 8) +
                      le(countOverride != 0 ? countOverride : entries.size(), 8) + le(kSector, 4);
    log.resize(kSector, '\0');
    for (const auto& entry : entries) {
        const bool mark = (entry.flags & kMarkFlag) != 0;
        const bool discard = (entry.flags & kDiscardFlag) != 0;
        const uint64_t sectors = mark ? 0 : discard ? 2 : entry.data.size() / kSector;
        std::string header = le(entry.sector, 8) + le(sectors, 8) + le(entry.flags, 8) +
                             le(mark ? entry.data.size() : 0, 8);
        if (mark) {
            header += entry.data;
        }
        header.resize(kSector, '\0');
        log += header;
        if (!mark && !discard) {
            log += entry.data;
        }
    }
    return log;
}

std::string sectors(char fill, int count) { return std::string(kSector * count, fill); }

// The device: 8 sectors of '.'; the log writes, marks, flushes and discards.
const std::vector<Entry> kLog = {
    {0, 0, sectors('a', 2)},           // 1: sectors 0-1 'a'
    {0, kMarkFlag, "e1"},              // 2
    {1, 0, sectors('b', 1)},           // 3: sector 1 'b'
    {0, kFlushFlag, ""},               // 4: an empty flush
    {6, kDiscardFlag, ""},             // 5: sectors 6-7 discarded
    {4, kFlushFlag, sectors('c', 1)},  // 6: a flush with data
};

struct ReplayRow {
    const char* name;
    size_t upTo;
    std::string device;
};

class WriteLogReplayTest : public ::testing::TestWithParam<ReplayRow> {};

TEST_P(WriteLogReplayTest, DeviceAfterEntryHoldsExactlyTheWritesUpToIt) {
    const TempDir dir;
    writeBytes(dir / "log", logOf(kLog));
    writeBytes(dir / "device", sectors('.', 8));
    const int log = ::open((dir / "log").c_str(), O_RDONLY);
    const int device = ::open((dir / "device").c_str(), O_RDWR);
    ASSERT_GE(log, 0);
    ASSERT_GE(device, 0);
    const powercut::WriteLog entries(log);
    // In two steps, as the campaign goes from one point to the next.
    entries.apply(device, 0, GetParam().upTo / 2);
    entries.apply(device, GetParam().upTo / 2, GetParam().upTo);
    (void)::close(device);
    (void)::close(log);
    EXPECT_EQ(readBytes(dir / "device"), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, WriteLogReplayTest,
    ::testing::Values(
        ReplayRow{"Nothing", 0, sectors('.', 8)},
        ReplayRow{"FirstWrite", 1, sectors('a', 2) + sectors('.', 6)},
        ReplayRow{"MarkChangesNothing", 2, sectors('a', 2) + sectors('.', 6)},
        ReplayRow{"LaterWriteOverwrites", 3, sectors('a', 1) + sectors('b', 1) + sectors('.', 6)},
        ReplayRow{"EmptyFlushChangesNothing", 4,
                  sectors('a', 1) + sectors('b', 1) + sectors('.', 6)},
        ReplayRow{"DiscardReadsAsZeros", 5,
                  sectors('a', 1) + sectors('b', 1) + sectors('.', 4) + sectors('\0', 2)},
        ReplayRow{"FlushWithData", 6,
                  sectors('a', 1) + sectors('b', 1) + sectors('.', 2) + sectors('c', 1) +
                      sectors('.', 1) + sectors('\0', 2)}),
    [](const ::testing::TestParamInfo<ReplayRow>& info) { return std::string(info.param.name); });

TEST(WriteLog, ListsKindsAndMarkNames) {
    const TempDir dir;
    writeBytes(dir / "log", logOf(kLog));
    const int log = ::open((dir / "log").c_str(), O_RDONLY);
    ASSERT_GE(log, 0);
    const powercut::WriteLog entries(log);
    (void)::close(log);
    std::vector<std::string> kinds;
    for (const auto& entry : entries.entries()) {
        kinds.push_back(entry.kind() + (entry.isMark() ? ":" + entry.mark : ""));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"write", "mark:e1", "write", "flush", "discard",
                                               "flush+write"}));
}

struct BadLogRow {
    const char* name;
    std::string log;
};

class WriteLogRejectsTest : public ::testing::TestWithParam<BadLogRow> {};

TEST_P(WriteLogRejectsTest, RefusesRatherThanReplayingLess) {
    const TempDir dir;
    writeBytes(dir / "log", GetParam().log);
    const int log = ::open((dir / "log").c_str(), O_RDONLY);
    ASSERT_GE(log, 0);
    EXPECT_THROW(powercut::WriteLog entries(log), std::runtime_error);
    (void)::close(log);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, WriteLogRejectsTest,
    ::testing::Values(BadLogRow{"BadMagic", logOf(kLog, 0, 0x1234)},
                      BadLogRow{"MoreEntriesThanWritten", logOf(kLog, kLog.size() + 1)},
                      BadLogRow{"CutInsideData", logOf(kLog).substr(0, kSector * 3 + 100)},
                      BadLogRow{"MarkLongerThanItsSector",
                                logOf({{0, kMarkFlag, std::string(kSector, 'm')}})}),
    [](const ::testing::TestParamInfo<BadLogRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace KIVRA
