#pragma once
// A sequential byte stream over a file or over a region of an MTD flash device.

#include <cstdint>

namespace KIVRA {

class PatchStream {
public:
    virtual ~PatchStream() = default;
    // mode 1 read, 2 write; limit is the end offset of the region (0: the whole device).
    // 0, or non-zero on failure.
    [[nodiscard]] virtual int open(const char* path, int mode, uint32_t limit) = 0;
    // The values of mode, named for the call sites.
    static constexpr int kReadMode = 1;
    static constexpr int kWriteMode = 2;
    [[nodiscard]] virtual int close() = 0;
    [[nodiscard]] virtual int getMode() = 0;
    // Bytes delivered / accepted, or -1.
    [[nodiscard]] virtual int read(void* buffer, uint32_t length) = 0;
    [[nodiscard]] virtual int write(const void* data, uint32_t length) = 0;
    // The new offset, or -1.
    [[nodiscard]] virtual int seek(uint32_t offset) = 0;
    // Erases the region from the current position to the limit: required before writing to
    // flash; a no-op for files. 0 or -1.
    [[nodiscard]] virtual int erase() = 0;
};

}  // namespace KIVRA
