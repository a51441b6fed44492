#pragma once
// A stand-in for a NOR flash stream in host tests: the device is a file of fixed size that is
// never truncated; open takes the device path it is meant for; write needs a preceding erase,
// which fills the region from the position to the limit with 0xFF; writes past the device
// end fail. Faults can be injected to check that callers notice them. The real streams are
// exercised against the kernel's MTD devices in the device tests.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "flash/patch_stream.h"

namespace KIVRA {
namespace testing {

struct FakeFlash {
    std::string backingFile;               // the device's bytes
    std::string devicePath = "/dev/mtd0";  // the only path open accepts
    bool failOpen = false;
    bool failErase = false;
    int64_t failReadAfter = -1;       // reads fail once this many bytes were delivered in total
    int64_t failWriteAfter = -1;      // writes accept no more once this many bytes were written
    bool corruptWrites = false;       // silently flips a bit in every write (a bad flash)
    std::vector<std::string> opened;  // "path mode limit" of each open
    int64_t delivered = 0;
    int64_t written = 0;
};

class FileFlashStream : public PatchStream {
public:
    explicit FileFlashStream(FakeFlash& flash) : flash_(flash) {}
    ~FileFlashStream() override { (void)close(); }

    int open(const char* path, int mode, uint32_t limit) override {
        (void)close();
        flash_.opened.push_back(std::string(path) + " " + std::to_string(mode) + " " +
                                std::to_string(limit));
        if (flash_.failOpen || flash_.devicePath != path || (mode != 1 && mode != 2)) {
            return -1;
        }
        fd_ = ::open(flash_.backingFile.c_str(), mode == 1 ? O_RDONLY : O_RDWR);
        if (fd_ < 0) {
            return -1;
        }
        struct stat st {};
        (void)::fstat(fd_, &st);
        size_ = static_cast<uint32_t>(st.st_size);
        mode_ = mode;
        limit_ = limit != 0 && limit < size_ ? limit : size_;
        position_ = 0;
        return 0;
    }
    int close() override {
        if (fd_ >= 0) {
            (void)::close(fd_);
            fd_ = -1;
        }
        return 0;
    }
    int getMode() override { return mode_; }
    int read(void* buffer, uint32_t length) override {
        if (fd_ < 0 || mode_ != 1) {
            return -1;
        }
        if (flash_.failReadAfter >= 0 && flash_.delivered >= flash_.failReadAfter) {
            return -1;
        }
        uint32_t want = position_ + length > limit_ ? limit_ - position_ : length;
        if (flash_.failReadAfter >= 0 && flash_.delivered + want > flash_.failReadAfter) {
            want = static_cast<uint32_t>(flash_.failReadAfter - flash_.delivered);
        }
        const ssize_t n = ::pread(fd_, buffer, want, position_);
        if (n < 0) {
            return -1;
        }
        position_ += static_cast<uint32_t>(n);
        flash_.delivered += n;
        return static_cast<int>(n);
    }
    int write(const void* data, uint32_t length) override {
        if (fd_ < 0 || mode_ != 2 || !erased_ || position_ + length > size_) {
            return -1;
        }
        uint32_t take = length;
        if (flash_.failWriteAfter >= 0 && flash_.written + take > flash_.failWriteAfter) {
            take = static_cast<uint32_t>(flash_.failWriteAfter - flash_.written);
        }
        std::vector<uint8_t> bytes(static_cast<const uint8_t*>(data),
                                   static_cast<const uint8_t*>(data) + take);
        if (flash_.corruptWrites && !bytes.empty()) {
            bytes[bytes.size() / 2] ^= 0x10;
        }
        const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), position_);
        if (n < 0) {
            return -1;
        }
        position_ += static_cast<uint32_t>(n);
        flash_.written += n;
        return static_cast<int>(n);
    }
    int seek(uint32_t offset) override {
        if (fd_ < 0 || offset > limit_) {
            return -1;
        }
        position_ = offset;
        return static_cast<int>(offset);
    }
    int erase() override {
        if (mode_ == 1) {
            return 0;
        }
        if (fd_ < 0 || flash_.failErase) {
            return -1;
        }
        const std::vector<uint8_t> ones(limit_ - position_, 0xFF);
        if (::pwrite(fd_, ones.data(), ones.size(), position_) !=
            static_cast<ssize_t>(ones.size())) {
            return -1;
        }
        erased_ = true;
        return 0;
    }

private:
    FakeFlash& flash_;
    int fd_ = -1;
    int mode_ = 0;
    uint32_t size_ = 0;
    uint32_t limit_ = 0;
    uint32_t position_ = 0;
    bool erased_ = false;
};

}  // namespace testing
}  // namespace KIVRA
