#include "flash/patch_stream_nand.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flash/mtd_library.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

using qvsystemtools::UniqueFd;

namespace {

// Start offset that no erase block has: nothing is known about any block.
constexpr uint64_t kNoBlock = 1;

void say(const char* text) { std::fprintf(stderr, "%s\n", text); }

bool allErased(const uint8_t* bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0xFF; });
}

}  // namespace

struct PatchStreamNand::State {
    UniqueFd fd;
    int mode = 0;
    ScopedMtdLibrary library;
    MtdDevInfo info{};
    bool recheck = true;
    uint64_t checkedBlock = kNoBlock;
    uint64_t unitStart = 0;
    bool isNor = false;
    uint32_t unit = 1;
    uint64_t position = 0;
    uint32_t limit = 0;
    bool erased = false;
    uint64_t erasedFrom = 0;  // the erase covered [erasedFrom, limit)
    std::vector<uint8_t> pageBuffer;
    uint32_t pending = 0;

    // The units written into the erase block at copyBlock, bytes [copyFrom, copyTo) of it:
    // a program failure erases that block, and these must then go into the next good one.
    std::vector<uint8_t> blockCopy;
    uint64_t copyBlock = kNoBlock;
    uint32_t copyFrom = 0;
    uint32_t copyTo = 0;

    uint64_t ebSize() const { return static_cast<uint64_t>(info.ebSize); }
    uint64_t blockOf(uint64_t offset) const { return offset - offset % ebSize(); }
    int blockNumber(uint64_t offset) const { return static_cast<int>(offset / ebSize()); }
    int offsetInBlock(uint64_t offset) const { return static_cast<int>(offset % ebSize()); }

    int readUnit(uint64_t at, uint8_t* out, uint32_t length) const {
        return mtdRead(&info, fd.get(), blockNumber(at), offsetInBlock(at), out,
                       static_cast<int>(length));
    }
    int writeUnit(uint64_t at, const uint8_t* data) const {
        return mtdWrite(library.get(), &info, fd.get(), blockNumber(at), offsetInBlock(at), data,
                        static_cast<int>(unit));
    }

    void forgetBlockCopy() {
        copyBlock = kNoBlock;
        copyFrom = copyTo = 0;
    }

    // Moves unitStart past bad blocks (keeping its offset inside the block, as reads do).
    // 0, or -1 after the bad-block query failed.
    int skipBadBlocks() {
        while (checkedBlock != blockOf(unitStart)) {
            checkedBlock = blockOf(unitStart);
            const int bad = mtdIsBad(&info, fd.get(), blockNumber(unitStart));
            if (bad < 0) {
                say("write failed : MTD get bad block failed");
                return -1;
            }
            if (bad == 1) {
                unitStart += ebSize();
            }
        }
        return 0;
    }

    // The unit at unitStart must lie inside the part of the region that was erased.
    int checkUnitTarget() const {
        if (unitStart + unit > limit) {
            say("write failed : no space left on device");
            return -1;
        }
        if (unitStart < erasedFrom) {
            say("write failed : erase is required before write");
            return -1;
        }
        return 0;
    }

    void rememberWritten(const uint8_t* data) {
        const uint64_t block = blockOf(unitStart);
        const uint32_t at = static_cast<uint32_t>(offsetInBlock(unitStart));
        if (copyBlock != block || at != copyTo) {
            copyBlock = block;
            copyFrom = copyTo = at;
        }
        std::memcpy(blockCopy.data() + at, data, unit);
        copyTo = at + unit;
    }

    // A unit write at `at` failed with EIO: the block is erased (its half-programmed pages are
    // of no use), retired so that readers pass over it, and the caller goes on in the next block.
    int retireBlock(uint64_t at) {
        const uint64_t block = blockOf(at);
        if (mtdEraseBlock(library.get(), &info, fd.get(), blockNumber(block)) != 0 &&
            errno != EIO) {
            say("write failed : MTD Erase failure");
            return -1;
        }
        std::fprintf(stderr, "wrote at offset %llu(%d, %d) failed, retrying\n",
                     static_cast<unsigned long long>(at), blockNumber(at), offsetInBlock(at));
        if (info.bbAllowed != 0) {
            // A failure is reported by the layer; the block is passed over in any case.
            (void)mtdMarkBad(&info, fd.get(), blockNumber(block));
        }
        return 0;
    }

    // After a program failure in the block holding unitStart: finds the next good block with
    // room for the unit at the same offset, and writes there again the units this stream had
    // already put into the failed block. unitStart then points at the same offset in it.
    int relocate() {
        const uint64_t failed = blockOf(unitStart);
        const uint32_t at = static_cast<uint32_t>(offsetInBlock(unitStart));
        const bool haveCopy = copyBlock == failed && copyTo == at && copyFrom < copyTo;
        const uint32_t from = haveCopy ? copyFrom : at;
        if (retireBlock(unitStart) != 0) {
            return -1;
        }
        unitStart = failed + ebSize() + at;
        for (;;) {
            if (skipBadBlocks() != 0 || checkUnitTarget() != 0) {
                return -1;
            }
            const uint64_t block = blockOf(unitStart);
            bool moved = false;
            for (uint32_t offset = from; offset < at; offset += unit) {
                if (writeUnit(block + offset, blockCopy.data() + offset) == 0) {
                    continue;
                }
                if (errno != EIO) {
                    say("write failed : mtd_write error");
                    return -1;
                }
                if (retireBlock(block + offset) != 0) {
                    return -1;
                }
                unitStart = block + ebSize() + at;
                moved = true;
                break;
            }
            if (!moved) {
                copyBlock = block;
                copyFrom = from;
                copyTo = at;
                return 0;
            }
        }
    }

    // Writes one unit at unitStart (after bad blocks) and advances past it. For a flush, the
    // bytes after `pending` come from the flash, so the unit's tail keeps what is there.
    int putUnit(const uint8_t* source, bool flush) {
        if (blockOf(unitStart) != copyBlock) {
            forgetBlockCopy();
        }
        if (skipBadBlocks() != 0) {
            return -1;
        }
        for (;;) {
            if (checkUnitTarget() != 0) {
                return -1;
            }
            if (flush) {
                std::vector<uint8_t> scratch(unit);
                if (readUnit(unitStart, scratch.data(), unit) == 0) {
                    std::memcpy(pageBuffer.data() + pending, scratch.data() + pending,
                                unit - pending);
                }
            }
            if (writeUnit(unitStart, source) == 0) {
                rememberWritten(source);
                unitStart += unit;
                return 0;
            }
            if (errno != EIO) {
                say("write failed : mtd_write error");
                return -1;
            }
            if (relocate() != 0) {
                return -1;
            }
        }
    }

    int flush() {
        if (pending == 0) {
            return 0;
        }
        std::memset(pageBuffer.data() + pending, 0xFF, unit - pending);
        if (putUnit(pageBuffer.data(), true) != 0) {
            return -1;
        }
        pending = 0;
        return 0;
    }

    // Erases the block holding `block` while keeping its bytes outside [clearFrom, clearTo):
    // they are read first (a block that cannot be read is left alone), then written back
    // unit by unit, skipping units that are all 0xFF so that those pages are programmed once.
    int eraseKeeping(uint64_t block, uint32_t clearFrom, uint32_t clearTo) {
        std::vector<uint8_t> copy(ebSize());
        for (uint32_t offset = 0; offset < ebSize(); offset += unit) {
            if (readUnit(block + offset, copy.data() + offset, unit) != 0) {
                return -1;
            }
        }
        if (mtdEraseBlock(library.get(), &info, fd.get(), blockNumber(block)) != 0) {
            if (errno != EIO) {
                say("erase failed : MTD Erase failure");
                return -1;
            }
            return 0;  // a block that refuses the erase (a bad one) keeps its bytes anyway
        }
        std::memset(copy.data() + clearFrom, 0xFF, clearTo - clearFrom);
        for (uint32_t offset = 0; offset < ebSize(); offset += unit) {
            if (allErased(copy.data() + offset, unit)) {
                continue;
            }
            if (writeUnit(block + offset, copy.data() + offset) != 0) {
                return -1;
            }
        }
        return 0;
    }

    void resetCursor(uint64_t offset) {
        position = offset;
        unitStart = offset - offset % unit;
        recheck = true;
        checkedBlock = kNoBlock;
        forgetBlockCopy();
    }
};

PatchStreamNand::PatchStreamNand() : PatchStreamNand(false) {}

PatchStreamNand::PatchStreamNand(bool isNor) : state_(std::make_unique<State>()) {
    state_->isNor = isNor;
}

PatchStreamNand::~PatchStreamNand() { (void)close(); }  // nobody is left to hear of a failure

int PatchStreamNand::open(const char* path, int mode, uint32_t limit) {
    const int closed = close();
    if (closed != 0) {
        return closed;
    }
    State& s = *state_;
    int flags = 0;
    if (mode == 1) {
        flags = O_RDONLY;
    } else if (mode == 2) {
        flags = O_RDWR;
    } else {
        return -1;
    }
    s.library.reset(mtdOpenLibrary());
    if (!s.library) {
        return -1;
    }
    s.fd.reset(::open(path, flags | O_CLOEXEC));
    if (!s.fd.valid()) {
        s.library.reset();
        return -1;
    }
    MtdDevInfo info{};
    if (mtdGetDevInfo(s.library.get(), path, &info) != 0 || info.ebSize <= 0 ||
        info.minIoSize <= 0 || info.ebSize % info.minIoSize != 0) {
        s.fd.reset();
        s.library.reset();
        return -1;
    }
    s.info = info;
    s.mode = mode;
    s.unit = static_cast<uint32_t>(s.isNor ? info.ebSize : info.minIoSize);
    s.resetCursor(0);
    const uint64_t size = static_cast<uint64_t>(info.size);
    s.limit = (limit != 0 && limit < size) ? limit : static_cast<uint32_t>(size);
    // An erase belongs to the region it was made for; a new open starts without one.
    s.erased = false;
    s.erasedFrom = 0;
    s.pending = 0;
    s.pageBuffer.assign(s.unit, 0xFF);
    s.blockCopy.assign(s.ebSize(), 0xFF);
    return 0;
}

int PatchStreamNand::close() {
    State& s = *state_;
    int result = 0;
    if (s.pending != 0) {
        result = s.flush();
        s.pending = 0;
    }
    s.fd.reset();
    s.pageBuffer.clear();
    s.pageBuffer.shrink_to_fit();
    s.blockCopy.clear();
    s.blockCopy.shrink_to_fit();
    s.library.reset();
    return result;
}

int PatchStreamNand::getMode() { return state_->mode; }

int PatchStreamNand::seek(uint32_t offset) {
    State& s = *state_;
    if (!s.fd.valid() || offset > s.limit) {
        return -1;
    }
    if (s.mode == 2 && offset % s.unit != 0) {
        say("Nand seek must be block aligned");
        return -1;
    }
    // Bytes still collected belong where the stream was, not where it goes.
    if (s.mode == 2 && s.flush() != 0) {
        return -1;
    }
    s.resetCursor(offset);
    return static_cast<int>(offset);
}

int PatchStreamNand::read(void* buffer, uint32_t length) {
    State& s = *state_;
    if (s.mode != 1 || !s.fd.valid() || s.unitStart % s.unit != 0) {
        return -1;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t want = std::min<uint64_t>(length, INT_MAX);
    if (s.position >= s.limit) {
        want = 0;
    } else if (s.position + want > s.limit) {
        want = s.limit - s.position;
    }
    uint64_t delivered = 0;
    std::vector<uint8_t> scratch;
    while (delivered < want && s.unitStart < s.limit) {
        const uint64_t block = s.blockOf(s.unitStart);
        if (s.recheck || s.checkedBlock != block) {
            s.checkedBlock = block;
            s.recheck = false;
            const int bad = mtdIsBad(&s.info, s.fd.get(), s.blockNumber(block));
            if (bad < 0) {
                return -1;
            }
            if (bad == 1) {
                s.unitStart += s.ebSize();
                s.position += s.ebSize();
                continue;
            }
        }
        if (s.unitStart >= s.limit) {
            break;  // the bad blocks passed over used up the region
        }
        const uint32_t unitLength =
            static_cast<uint32_t>(std::min<uint64_t>(s.unit, s.limit - s.unitStart));
        const uint32_t skip = static_cast<uint32_t>(s.position - s.unitStart);
        if (skip >= unitLength) {
            break;
        }
        const uint32_t take =
            static_cast<uint32_t>(std::min<uint64_t>(unitLength - skip, want - delivered));
        if (skip == 0 && take == unitLength) {
            if (s.readUnit(s.unitStart, out + delivered, unitLength) != 0) {
                return -1;
            }
        } else {
            // Part of a unit: the unit is read whole and only the wanted bytes are handed
            // out, whatever the caller's length.
            scratch.resize(s.unit);
            if (s.readUnit(s.unitStart, scratch.data(), unitLength) != 0) {
                return -1;
            }
            std::memcpy(out + delivered, scratch.data() + skip, take);
        }
        delivered += take;
        s.position += take;
        if (skip + take < s.unit) {
            break;  // the next read goes on inside this unit
        }
        s.unitStart += s.unit;
    }
    return static_cast<int>(delivered);
}

int PatchStreamNand::write(const void* data, uint32_t length) {
    State& s = *state_;
    if (s.mode != 2 || !s.fd.valid()) {
        return -1;
    }
    if (!s.erased) {
        say("write failed : erase is required before write");
        return -1;
    }
    if (s.unitStart % s.unit != 0) {
        say("write failed : write address is not page-aligned");
        return -1;
    }
    const uint64_t end = s.position + length;
    if (end > static_cast<uint64_t>(s.info.size) || end > s.limit || length > INT_MAX) {
        say("write failed : no space left on device");
        return -1;
    }
    if (length == 0) {
        return s.flush();
    }
    const auto* in = static_cast<const uint8_t*>(data);
    uint32_t accepted = 0;
    while (accepted < length) {
        const uint32_t remaining = length - accepted;
        if (s.pending + remaining < s.unit) {
            std::memcpy(s.pageBuffer.data() + s.pending, in + accepted, remaining);
            s.pending += remaining;
            s.position += length;
            return static_cast<int>(length);
        }
        const uint8_t* source = in + accepted;
        uint32_t take = s.unit;
        if (s.pending != 0) {
            take = s.unit - s.pending;
            std::memcpy(s.pageBuffer.data() + s.pending, in + accepted, take);
            source = s.pageBuffer.data();
        }
        if (s.putUnit(source, false) != 0) {
            return -1;
        }
        s.pending = 0;
        accepted += take;
    }
    s.position += accepted;
    return static_cast<int>(accepted);
}

int PatchStreamNand::erase() {
    State& s = *state_;
    if (s.mode == 1) {
        return 0;
    }
    if (s.mode != 2 || !s.fd.valid()) {
        return -1;
    }
    const uint64_t eb = s.ebSize();
    const uint64_t start = s.unitStart;
    const uint64_t limit = s.limit;
    uint64_t cursor = start;
    if (start % eb != 0 && start < limit) {
        // The region starts inside a block: the bytes before it stay.
        const uint64_t block = s.blockOf(start);
        const uint64_t clearTo = std::min(limit, block + eb) - block;
        if (s.eraseKeeping(block, static_cast<uint32_t>(start - block),
                           static_cast<uint32_t>(clearTo)) != 0) {
            return -1;
        }
        cursor = block + eb;
    }
    const uint64_t end = limit - limit % eb;
    for (; cursor < end; cursor += eb) {
        if (mtdEraseBlock(s.library.get(), &s.info, s.fd.get(), s.blockNumber(cursor)) != 0 &&
            errno != EIO) {
            say("erase failed : MTD Erase failure");
            return -1;
        }
    }
    if (limit < static_cast<uint64_t>(s.info.size) && limit % eb != 0 && end >= cursor) {
        // The region ends inside a block: the bytes from the limit on stay.
        if (s.eraseKeeping(end, 0, static_cast<uint32_t>(limit - end)) != 0) {
            return -1;
        }
    }
    s.erased = true;
    s.erasedFrom = start;
    return 0;
}

}  // namespace KIVRA
