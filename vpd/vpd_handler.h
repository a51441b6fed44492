#pragma once
// A VPD record kept in flash as two copies, 64 KiB each, one behind the other. The flag byte
// of each copy is a generation counter that wraps from 255 to 0: the newer valid copy is the
// one to read, and an update goes over the older copy (updateMode 1) so that the newer one
// survives a power cut in the middle of the write.
//
//   type 0, 1  "/dev/mtd0" at 0x1E0000 (copy 1) and 0x1F0000 (copy 2)
//   type 2     "/dev/mtd0" at 0xC0000 (copy 1) and 0xD0000 (copy 2)
//
// Both copies are read into "/tmp/vpd1.bin" and "/tmp/vpd2.bin"; the record to be written
// back is built in "/tmp/vpd1.bin". These files stay in /tmp afterwards.
//
// Calling order: readNand, load, any number of setValue, save, writeNand. No operation
// throws; each returns a VpdUpdater::VpdUpdaterError (VpdCodeError for unexpected failures).
// Flash and file failures print "VpdHandler::<operation> : ERR_FILE <n>" on standard output.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "flash/patch_stream.h"
#include "vpd/vpd_type.h"
#include "vpd/vpd_updater.h"

namespace KIVRA {

// The copy a reader of two copies takes: 1 or 2, or 0 when neither is valid. A valid copy wins
// over an invalid one; of two valid copies the newer by flag, the flags being a generation
// counter that wraps from 255 to 0, equal flags taking copy 1 as the boot loader does. The update
// then goes over the other copy with the chosen copy's flag + 1. The one rule for the flash copies
// and for the copies inside a flash dump (qvenv --offsets).
[[nodiscard]] int chooseVpdCopy(bool valid1, uint8_t flag1, bool valid2, uint8_t flag2);

class VpdHandler {
public:
    // Makes the stream through which the flash device is read and written.
    using FlashStreamFactory = std::function<std::unique_ptr<PatchStream>()>;

    // updateMode 1: each update replaces only the older copy; any other value: both copies.
    VpdHandler(const VpdType& type, int updateMode);
    // The values of updateMode and of load's flags, named for the call sites.
    static constexpr int kUpdateOlderCopy = 1;
    static constexpr int kUpdateBothCopies = 0;
    static constexpr bool kProtected = true;
    static constexpr bool kUnprotected = false;
    static constexpr bool kRefuseBadCrc = false;
    static constexpr bool kAcceptBadCrc = true;
    // The same with the flash reached through streams made by makeFlashStream instead of
    // PatchStreamNor, so that the copy scheme can be exercised where no MTD device exists.
    VpdHandler(const VpdType& type, int updateMode, FlashStreamFactory makeFlashStream);
    virtual ~VpdHandler();
    VpdHandler(const VpdHandler&) = delete;
    VpdHandler& operator=(const VpdHandler&) = delete;

    // Copies both flash copies into the temporary files. VpdOk; VpdInputError (with an
    // ERR_FILE line) when the device or a file cannot be opened or a copy fails; the
    // temporary files may then be partly written and load refuses to run until a readNand
    // succeeds. Flash is only read.
    [[nodiscard]] VpdUpdater::VpdUpdaterError readNand();

    // Loads the newer valid copy (the flags compared as a wrapping counter; equal flags pick
    // copy 1) and prepares the update of the older one with the next flag. protect keeps
    // existing keys from being changed; acceptBadCrc loads a copy with a bad CRC as an empty
    // record when no copy is valid. VpdOk; VpdInputAccessError before a successful readNand;
    // VpdCrcError when no copy is valid and a bad CRC is not accepted; otherwise the load
    // error of copy 1 when neither copy is usable.
    [[nodiscard]] VpdUpdater::VpdUpdaterError load(bool protect, bool acceptBadCrc);

    // Changes the loaded record (see VpdUpdater::setValue) and marks it for saving, even when
    // the change fails or changes nothing. VpdInputAccessError before load.
    [[nodiscard]] VpdUpdater::VpdUpdaterError setValue(const std::string& key,
                                                       const std::string& value);

    // Writes the record with the next flag to "/tmp/vpd1.bin" when setValue was called since
    // the load; otherwise writes nothing. VpdInputAccessError before load; the record errors
    // of VpdUpdater::save, the file then unchanged.
    [[nodiscard]] VpdUpdater::VpdUpdaterError save();

    // Writes "/tmp/vpd1.bin" over the older copy (updateMode 1) or over both, whatever state
    // the handler is in, and reads each written copy back. VpdOk; VpdInputError when the file
    // is not a whole record (nothing written then), the device cannot be opened, a copy fails
    // or a copy read back differs. A failure may leave the copy being written erased or
    // partly written; with updateMode 1 the newer copy is never touched.
    [[nodiscard]] VpdUpdater::VpdUpdaterError writeNand();

    // Removes the temporary files of both copies, for a caller that only read the record:
    // /tmp keeps no copy of it, and no room taken. The handler must be read again to be used.
    void removeWorkingCopies();

    // The record as loaded and changed so far.
    [[nodiscard]] const VpdUpdater& getUpdater() const;

    // Copies source from sourceOffset to its end into destination at destinationOffset,
    // erasing the destination region first. 0; -1 for a null stream, a failed seek, erase,
    // read or short write (a line on standard output says which). The destination may then
    // hold part of the data.
    [[nodiscard]] static int copyStream(PatchStream* source, PatchStream* destination,
                                        uint32_t sourceOffset, uint32_t destinationOffset);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace KIVRA
