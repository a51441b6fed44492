#pragma once
// A patch stream over a region of an MTD flash device: reads and writes in whole I/O units (the
// NAND page), skips bad erase blocks, requires an erase before writing, erases the region block
// by block keeping the bytes of partly covered blocks outside it, and moves the units of an
// erase block that fails to program into the next good block (the failed block is erased and
// marked bad, so that readers pass over it as over any bad block).
//
// Results: open 0 or -1 (or close's non-zero result); read and write the number of bytes
// delivered or accepted, or -1; seek the offset or -1; erase and close 0 or -1. Messages go to
// standard error ("write failed : ...", "erase failed : ...", "Nand seek must be block
// aligned", "wrote at offset N(B, O) failed, retrying"), next to the "libmtd" lines of the
// MTD layer.
//
// Flash is never written at or beyond the region's limit. What a failed operation leaves:
// a failed write may have written the units before the failing one; a failed erase may have
// erased the blocks before the failing one (a partly covered block is erased only after its
// outside bytes were read).

#include <memory>

#include "flash/patch_stream.h"

namespace KIVRA {

class PatchStreamNand : public PatchStream {
public:
    PatchStreamNand();
    ~PatchStreamNand() override;
    PatchStreamNand(const PatchStreamNand&) = delete;
    PatchStreamNand& operator=(const PatchStreamNand&) = delete;

    // Opens the device node read-only (mode 1) or read-write (mode 2) over the region [0,
    // limit), the whole device when limit is 0 or beyond it. A new open needs a new erase
    // before writing.
    [[nodiscard]] int open(const char* path, int mode, uint32_t limit) override;
    // Writes a partly filled unit (padded with what the flash holds there, 0xFF after an
    // erase) and releases the device. 0, or -1 when that last unit could not be written.
    [[nodiscard]] int close() override;
    [[nodiscard]] int getMode() override;
    // Mode 1: up to length bytes from the position, never past the limit; bad blocks are
    // passed over and count towards the position.
    [[nodiscard]] int read(void* buffer, uint32_t length) override;
    // Mode 2, after erase: collects the data into units and writes each whole unit.
    [[nodiscard]] int write(const void* data, uint32_t length) override;
    // Device offset; in mode 2 a multiple of the unit. A partly filled unit is written first.
    [[nodiscard]] int seek(uint32_t offset) override;
    // Mode 2: erases from the position to the limit.
    [[nodiscard]] int erase() override;

    struct State;

protected:
    explicit PatchStreamNand(bool isNor);

    std::unique_ptr<State> state_;
};

}  // namespace KIVRA
