#pragma once
// A patch stream over a regular file: reads and writes go straight to the file, erase has
// nothing to do.
//
// Results: open 0 or -1 (or close's non-zero result); read and write the bytes delivered or
// written, or -1; seek the new offset or -1; close and erase 0. A failed open leaves the
// stream closed; opening in mode 2 creates the file (0644) or empties it.

#include <memory>

#include "flash/patch_stream.h"

namespace KIVRA {

class PatchStreamFile : public PatchStream {
public:
    PatchStreamFile();
    ~PatchStreamFile() override;
    PatchStreamFile(const PatchStreamFile&) = delete;
    PatchStreamFile& operator=(const PatchStreamFile&) = delete;

    // Mode 1 read-only, mode 2 write-only (created, truncated); the limit is not used.
    [[nodiscard]] int open(const char* path, int mode, uint32_t limit) override;
    [[nodiscard]] int close() override;
    [[nodiscard]] int getMode() override;
    // One read of the file: fewer bytes than asked at its end, 0 there.
    [[nodiscard]] int read(void* buffer, uint32_t length) override;
    // Writes all of data unless the file refuses more; then the bytes written so far, or -1
    // when none were.
    [[nodiscard]] int write(const void* data, uint32_t length) override;
    [[nodiscard]] int seek(uint32_t offset) override;
    [[nodiscard]] int erase() override;

    struct State;

protected:
    std::unique_ptr<State> state_;
};

}  // namespace KIVRA
