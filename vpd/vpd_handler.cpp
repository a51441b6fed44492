#include "vpd/vpd_handler.h"
#include "vpd/vpd_boundary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <utility>
#include <vector>

#include "flash/patch_stream_file.h"
#include "flash/patch_stream_nor.h"
#include "qvsystemtools/device_paths.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

namespace {

const char* const kCopy1Path = "/tmp/vpd1.bin";
const char* const kCopy2Path = "/tmp/vpd2.bin";
constexpr uint32_t kCopySize = VpdUpdater::kRecordSize;
constexpr uint32_t kCopyChunk = 0x30000;
constexpr int kSetValueAttempts = 5;

using Error = VpdUpdater::VpdUpdaterError;

// Makes a working copy anew, as this process's own file. Whatever another user puts at the
// name between the removal and here (a file of theirs to be handed the record, a FIFO that
// would hold the run) makes this fail instead of being written through or waited on; the
// sticky /tmp then keeps others from replacing or writing the file made.
bool createOwnCopy(const char* path) {
    const qvsystemtools::UniqueFd fd(
        ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    return fd.valid();
}

void report(const char* operation, int step) {
    std::cout << "VpdHandler::" << operation << " : ERR_FILE " << step << std::endl;
}

// Whether the copy with flag1 is the one to read, the flags being a counter that wraps from
// 255 to 0. Equal flags (two factory copies written alike) give copy 1, as the boot loader
// and fw_printenv take it: the update then goes over copy 2, never over the copy that boots.
bool copy1IsNewer(uint8_t flag1, uint8_t flag2) {
    if (flag1 == 0 && flag2 == 255) {
        return true;
    }
    if (flag1 == 255 && flag2 == 0) {
        return false;
    }
    return flag1 >= flag2;
}

}  // namespace

int chooseVpdCopy(bool valid1, uint8_t flag1, bool valid2, uint8_t flag2) {
    if (valid1 != valid2) {
        return valid1 ? 1 : 2;
    }
    if (!valid1) {
        return 0;
    }
    return copy1IsNewer(flag1, flag2) ? 1 : 2;
}

namespace {

// Reads one copy's worth of bytes from stream into bytes (sized to one copy); false when the
// stream ends early or a read fails.
bool readCopy(PatchStream& stream, std::vector<uint8_t>& bytes) {
    bytes.assign(kCopySize, 0);
    uint32_t done = 0;
    while (done < kCopySize) {
        const int n = stream.read(bytes.data() + done, kCopySize - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

// Reads the whole record file; false unless it is exactly one record long.
bool readRecordFile(const char* path, std::vector<uint8_t>& bytes) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != kCopySize) {
        return false;
    }
    PatchStreamFile file;
    if (file.open(path, PatchStream::kReadMode, 0) != 0) {
        return false;
    }
    if (!readCopy(file, bytes)) {
        return false;
    }
    uint8_t extra = 0;
    return file.read(&extra, 1) == 0;  // the file grew after the size check
}

// Reads the copy at offset back from flash and compares it with expected.
bool verifyCopy(PatchStream& flash, const std::string& device, uint32_t offset,
                const std::vector<uint8_t>& expected) {
    if (flash.open(device.c_str(), PatchStream::kReadMode, offset + kCopySize) != 0 ||
        flash.seek(offset) != static_cast<int>(offset)) {
        return false;
    }
    std::vector<uint8_t> actual;
    if (!readCopy(flash, actual)) {
        return false;
    }
    (void)flash.close();  // a read stream has nothing to flush
    return actual == expected;
}

}  // namespace

struct VpdHandler::State {
    State(const VpdType& type, int updateMode, FlashStreamFactory factory)
        : updater(VpdTypeHardware, ""),
          type(type),
          updateMode(updateMode),
          copyCount(updateMode == VpdHandler::kUpdateOlderCopy ? 1 : 2),
          makeFlashStream(std::move(factory)) {
        switch (type) {
            case VpdTypeGeneric:
            case VpdTypeHardware:
                devicePath = devicepaths::kEnvironmentFlash;
                vpdOffset = 0x1E0000;
                break;
            case VpdTypeBootEnv:
                devicePath = devicepaths::kEnvironmentFlash;
                vpdOffset = 0xC0000;
                break;
        }
        if (!makeFlashStream) {
            makeFlashStream = [] { return std::unique_ptr<PatchStream>(new PatchStreamNor()); };
        }
    }

    VpdUpdater updater;
    int state = 0;  // 0 created, 1 both copies in the temporary files, 2 a copy loaded
    bool modified = false;
    std::string devicePath;  // empty (and vpdOffset 0) for types without a flash location
    uint32_t vpdOffset = 0;
    VpdType type;
    int updateMode;
    uint8_t nextFlag = 0;
    int copyCount;
    int targetSlot = 0;  // 0: the first copy written is copy 1; 1: copy 2
    FlashStreamFactory makeFlashStream;
};

VpdHandler::VpdHandler(const VpdType& type, int updateMode)
    : VpdHandler(type, updateMode, FlashStreamFactory()) {}

VpdHandler::VpdHandler(const VpdType& type, int updateMode, FlashStreamFactory makeFlashStream)
    : state_(std::make_unique<State>(type, updateMode, std::move(makeFlashStream))) {}

VpdHandler::~VpdHandler() = default;

const VpdUpdater& VpdHandler::getUpdater() const { return state_->updater; }

int VpdHandler::copyStream(PatchStream* source, PatchStream* destination, uint32_t sourceOffset,
                           uint32_t destinationOffset) {
    try {
        if (source == nullptr || destination == nullptr) {
            return -1;
        }
        if (destinationOffset != 0 &&
            destination->seek(destinationOffset) != static_cast<int>(destinationOffset)) {
            std::cout << "dst seek to " << destinationOffset << " failed" << std::endl;
            return -1;
        }
        if (destination->erase() != 0) {
            std::cout << "dst erase failed" << std::endl;
            return -1;
        }
        if (source->seek(sourceOffset) != static_cast<int>(sourceOffset)) {
            std::cout << "src seek to failed" << std::endl;
            return -1;
        }
        std::vector<uint8_t> buffer(kCopyChunk);
        for (;;) {
            const int n = source->read(buffer.data(), kCopyChunk);
            if (n == 0) {
                return 0;
            }
            // A failing read is not the end of the data: taking it as such would write a
            // truncated record to flash and report success.
            if (n < 0) {
                std::cout << "src read failed" << std::endl;
                return -1;
            }
            if (destination->write(buffer.data(), static_cast<uint32_t>(n)) != n) {
                std::cout << "read write error" << std::endl;
                return -1;
            }
        }
    } catch (...) {
        return -1;
    }
}

Error VpdHandler::readNand() {
    State& s = *state_;
    return vpdBoundary([&]() -> Error {
        std::unique_ptr<PatchStream> flash = s.makeFlashStream();
        PatchStreamFile file;
        if (flash->open(s.devicePath.c_str(), PatchStream::kReadMode, s.vpdOffset + kCopySize) !=
            0) {
            report("readNand", 2);
            throw VpdUpdater::VpdInputError;
        }
        // From here on the temporary files may stop mirroring flash until the copy succeeds.
        s.state = 0;
        // /tmp is world-writable: whatever another user left at these names (a link to a
        // file of the system, a hard link) is removed, never written through.
        (void)::unlink(kCopy1Path);  // a missing file is the usual case
        (void)::unlink(kCopy2Path);
        if (!createOwnCopy(kCopy1Path) || file.open(kCopy1Path, PatchStream::kWriteMode, 0) != 0) {
            report("readNand", 3);
            throw VpdUpdater::VpdInputError;
        }
        if (copyStream(flash.get(), &file, s.vpdOffset, 0) != 0) {
            report("readNand", 4);
            throw VpdUpdater::VpdInputError;
        }
        if (flash->open(s.devicePath.c_str(), PatchStream::kReadMode,
                        s.vpdOffset + 2 * kCopySize) != 0) {
            report("readNand", 5);
            throw VpdUpdater::VpdInputError;
        }
        if (!createOwnCopy(kCopy2Path) || file.open(kCopy2Path, PatchStream::kWriteMode, 0) != 0) {
            report("readNand", 6);
            throw VpdUpdater::VpdInputError;
        }
        if (copyStream(flash.get(), &file, s.vpdOffset + kCopySize, 0) != 0) {
            report("readNand", 7);
            throw VpdUpdater::VpdInputError;
        }
        s.state = 1;
        return VpdUpdater::VpdOk;
    });
}

Error VpdHandler::load(bool protect, bool acceptBadCrc) {
    State& s = *state_;
    return vpdBoundary([&]() -> Error {
        if (s.state < 1) {
            return VpdUpdater::VpdInputAccessError;
        }
        // A load that fails leaves nothing loaded, also after an earlier one succeeded: the
        // probes below change the record and its path, so a save then would write a copy
        // that was never chosen.
        s.state = 1;
        VpdUpdater& updater = s.updater;
        updater.setProtected(protect);
        updater.setRequiredFields(s.type);

        updater.setPath(kCopy1Path);
        const Error r1 = updater.load(false);
        const uint8_t flag1 = updater.getFlag();
        updater.setPath(kCopy2Path);
        const Error r2 = updater.load(false);
        const uint8_t flag2 = updater.getFlag();
        const bool valid1 = r1 == VpdUpdater::VpdOk;
        const bool valid2 = r2 == VpdUpdater::VpdOk;

        bool useCopy1 = false;
        if (!valid1 && !valid2) {
            if (r1 != VpdUpdater::VpdCrcError && r2 != VpdUpdater::VpdCrcError) {
                return r1;
            }
            if (!acceptBadCrc) {
                return VpdUpdater::VpdCrcError;
            }
            useCopy1 = r1 == VpdUpdater::VpdCrcError;
        } else {
            useCopy1 = chooseVpdCopy(valid1, flag1, valid2, flag2) == 1;
        }

        if (useCopy1) {
            updater.setPath(kCopy1Path);
            VpdUpdater::throwOnError(updater.load(acceptBadCrc));
            s.nextFlag = static_cast<uint8_t>(flag1 + 1);
            if (s.updateMode == kUpdateOlderCopy) {
                s.targetSlot = 1;
            }
        } else {
            // Without acceptBadCrc copy 2 was valid and its probe is still loaded.
            if (acceptBadCrc) {
                VpdUpdater::throwOnError(updater.load(true));
            }
            s.nextFlag = static_cast<uint8_t>(flag2 + 1);
            s.targetSlot = 0;
        }
        updater.setPath(kCopy1Path);
        s.state = 2;
        s.modified = false;
        return VpdUpdater::VpdOk;
    });
}

Error VpdHandler::setValue(const std::string& key, const std::string& value) {
    State& s = *state_;
    return vpdBoundary([&]() -> Error {
        if (s.state != 2) {
            return VpdUpdater::VpdInputAccessError;
        }
        s.modified = true;
        Error result = VpdUpdater::VpdOk;
        for (int attempt = 0; attempt < kSetValueAttempts; ++attempt) {
            result = s.updater.setValue(key, value);
            if (result == VpdUpdater::VpdOk) {
                break;
            }
            // The record updater fails no change for a passing reason today; the retries and
            // their 10 µs pauses are the update's contract with callers, and cost 50 µs at
            // most. An interrupted pause only shortens the wait.
            (void)::usleep(10);
        }
        return result;
    });
}

Error VpdHandler::save() {
    State& s = *state_;
    return vpdBoundary([&]() -> Error {
        if (s.state != 2) {
            return VpdUpdater::VpdInputAccessError;
        }
        if (s.modified) {
            s.updater.setFlag(s.nextFlag);
            VpdUpdater::throwOnError(s.updater.save());
            s.modified = false;
        }
        return VpdUpdater::VpdOk;
    });
}

Error VpdHandler::writeNand() {
    State& s = *state_;
    return vpdBoundary([&]() -> Error {
        // Flash is erased before the record is written: a short or overlong file must be
        // refused before that, or the copy would be replaced by a truncated record or the
        // write would run into the next copy.
        std::vector<uint8_t> record;
        PatchStreamFile file;
        if (!readRecordFile(kCopy1Path, record) ||
            file.open(kCopy1Path, PatchStream::kReadMode, 0) != 0) {
            report("writeNand", 2);
            return VpdUpdater::VpdInputError;
        }
        std::unique_ptr<PatchStream> flash = s.makeFlashStream();
        const uint32_t base = s.vpdOffset + static_cast<uint32_t>(s.targetSlot) * kCopySize;
        bool failed = false;
        for (int i = 0; i < s.copyCount; ++i) {
            const uint32_t offset = base + static_cast<uint32_t>(i) * kCopySize;
            if (flash->open(s.devicePath.c_str(), PatchStream::kWriteMode, offset + kCopySize) !=
                0) {
                // Reported and counted, but the loop goes on as the design has it: the copy
                // step then fails on the unopened stream (which refuses every write) with its
                // own report, and no byte reaches the flash through it.
                report("writeNand", 3);
                failed = true;
            }
            if (copyStream(&file, flash.get(), 0, offset) != 0) {
                report("writeNand", 4);
                failed = true;
                continue;
            }
            // Closing flushes the last partial unit; reading the copy back is the only way
            // to know that every unit reached the flash.
            if (flash->close() != 0 || !verifyCopy(*flash, s.devicePath, offset, record)) {
                report("writeNand", 5);
                failed = true;
            }
        }
        return failed ? VpdUpdater::VpdInputError : VpdUpdater::VpdOk;
    });
}

void VpdHandler::removeWorkingCopies() {
    state_->state = 0;
    (void)::unlink(kCopy1Path);  // a copy that was never made is no failure
    (void)::unlink(kCopy2Path);
}

}  // namespace KIVRA
