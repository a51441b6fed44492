#pragma once
// Reads the write log that the kernel's dm-log-writes target keeps of a block device and puts
// the device back into the state it had after any entry of that log. A power cut at that
// moment leaves exactly this on the disk: every write the disk had received up to then, in the
// order the target logged them, and none after.
//
// Log layout (little-endian, in units of the logged device's sector size S):
//   sector 0:  magic u64, version u64, number of entries u64, S u32
//   then per entry: one sector holding sector u64, sector count u64, flags u64, data length u64
//   (a mark's name follows these 32 bytes in the same sector), then for a write its data,
//   sector count × S bytes. Discards carry no data.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace KIVRA {
namespace powercut {

constexpr uint64_t kLogMagic = 0x6a736677736872ULL;
constexpr uint64_t kLogVersion = 1;
constexpr uint64_t kFlushFlag = 1U << 0;
constexpr uint64_t kFuaFlag = 1U << 1;
constexpr uint64_t kDiscardFlag = 1U << 2;
constexpr uint64_t kMarkFlag = 1U << 3;

struct LogEntry {
    uint64_t sector = 0;   // in units of the log's sector size
    uint64_t sectors = 0;  // how many
    uint64_t flags = 0;
    std::string mark;     // the name of a mark entry
    uint64_t dataAt = 0;  // byte offset of a write's data in the log

    bool isMark() const { return (flags & kMarkFlag) != 0; }
    bool isDiscard() const { return (flags & kDiscardFlag) != 0; }
    bool isFlush() const { return (flags & kFlushFlag) != 0; }
    // Whether replaying it changes the device.
    bool changesDevice() const { return !isMark() && sectors != 0; }
    std::string kind() const {
        if (isMark()) {
            return "mark";
        }
        if (isDiscard()) {
            return "discard";
        }
        if (sectors == 0) {
            return isFlush() ? "flush" : "empty";
        }
        return std::string(isFlush() ? "flush+" : "") + "write" +
               ((flags & kFuaFlag) ? "+fua" : "");
    }
};

inline uint64_t le64(const unsigned char* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

inline uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads exactly size bytes at offset, or throws: a log cut short must not pass for a shorter
// install.
inline void readAt(int fd, uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, size - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("write log ends early at byte " +
                                     std::to_string(offset + done));
        }
        done += static_cast<size_t>(n);
    }
}

inline void writeAt(int fd, uint64_t offset, const void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, static_cast<const char*>(buffer) + done, size - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("cannot write the replay target at byte " +
                                     std::to_string(offset + done) + ": " + std::strerror(errno));
        }
        done += static_cast<size_t>(n);
    }
}

class WriteLog {
public:
    // fd: the log device or a copy of it; kept open by the caller.
    explicit WriteLog(int fd) : fd_(fd) {
        unsigned char super[28];
        readAt(fd_, 0, super, sizeof super);
        if (le64(super) != kLogMagic) {
            throw std::runtime_error("not a dm-log-writes log (bad magic)");
        }
        if (le64(super + 8) != kLogVersion) {
            throw std::runtime_error("unknown dm-log-writes version " +
                                     std::to_string(le64(super + 8)));
        }
        const uint64_t count = le64(super + 16);
        sectorSize_ = le32(super + 24);
        if (sectorSize_ < 512 || (sectorSize_ & (sectorSize_ - 1)) != 0) {
            throw std::runtime_error("bad sector size " + std::to_string(sectorSize_));
        }
        std::vector<unsigned char> header(sectorSize_);
        uint64_t at = sectorSize_;
        for (uint64_t i = 0; i < count; ++i) {
            readAt(fd_, at, header.data(), header.size());
            LogEntry entry;
            entry.sector = le64(header.data());
            entry.sectors = le64(header.data() + 8);
            entry.flags = le64(header.data() + 16);
            const uint64_t length = le64(header.data() + 24);
            at += sectorSize_;
            if (entry.isMark()) {
                if (length > sectorSize_ - 32) {
                    throw std::runtime_error("mark " + std::to_string(i + 1) + " too long");
                }
                entry.mark.assign(reinterpret_cast<const char*>(header.data() + 32), length);
                entry.sectors = 0;
            } else if (!entry.isDiscard()) {
                entry.dataAt = at;
                at += entry.sectors * sectorSize_;
            }
            entries_.push_back(entry);
        }
    }

    uint32_t sectorSize() const { return sectorSize_; }
    // Entry i of the log is entries()[i - 1]: replaying "up to entry n" applies the first n.
    const std::vector<LogEntry>& entries() const { return entries_; }

    // Applies entries from + 1 to to (1-based, both within the log) to target, a copy of the
    // device as it was when logging began (or as an earlier call left it up to entry from).
    // A discarded range reads back as zeros afterwards, as on a disk that unmaps it.
    void apply(int target, size_t from, size_t to) const {
        if (from > to || to > entries_.size()) {
            throw std::runtime_error("no entries " + std::to_string(from + 1) + " to " +
                                     std::to_string(to) + " in a log of " +
                                     std::to_string(entries_.size()));
        }
        std::vector<char> data;
        for (size_t i = from; i < to; ++i) {
            const LogEntry& entry = entries_[i];
            if (!entry.changesDevice()) {
                continue;
            }
            data.assign(entry.sectors * sectorSize_, '\0');
            if (!entry.isDiscard()) {
                readAt(fd_, entry.dataAt, data.data(), data.size());
            }
            writeAt(target, entry.sector * sectorSize_, data.data(), data.size());
        }
    }

private:
    int fd_;
    uint32_t sectorSize_ = 512;
    std::vector<LogEntry> entries_;
};

}  // namespace powercut
}  // namespace KIVRA
