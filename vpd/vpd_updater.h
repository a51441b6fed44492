#pragma once
// One VPD record kept in a plain file: the layout of a U-Boot redundant environment block.
//
//   offset 0     4 bytes  CRC-32 of the entry area, little-endian
//   offset 4     1 byte   flag (the generation counter of the two flash copies)
//   offset 5 65531 bytes  entry area: "key=value" strings, each NUL-terminated, ended by an
//                         empty string unless the last NUL is the area's last byte
//
// The updater never touches flash; VpdHandler moves records between flash and files.

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "vpd/vpd_type.h"

namespace KIVRA {

class VpdUpdater {
public:
    // The outcome of every VPD operation; also the exception the VPD subsystem throws and
    // catches by value.
    enum VpdUpdaterError {
        VpdOk = 0,
        VpdFieldExists = 1,       // setValue on an existing key while protected
        VpdFieldMissing = 2,      // save without a required key; getValue of an absent key
        VpdCrcError = 3,          // load found a CRC mismatch that is not accepted
        VpdInputError = 4,        // the record file (or the flash) cannot be opened
        VpdInputAccessError = 5,  // short read/write, bad key or value, entries too large,
                                  // calls out of order
        VpdCodeError = 6,         // any other failure (for example out of memory)
    };

    static constexpr uint32_t kRecordSize = 65536;
    static constexpr uint32_t kHeaderSize = 5;
    static constexpr uint32_t kAreaSize = kRecordSize - kHeaderSize;

    // Required keys come from type (see setRequiredFields); path is the record file.
    VpdUpdater(const VpdType& type, const std::string& path);
    virtual ~VpdUpdater();
    VpdUpdater(const VpdUpdater&) = delete;
    VpdUpdater& operator=(const VpdUpdater&) = delete;

    // Replaces the record file path; entries, CRC and flag stay.
    void setPath(const std::string& path);

    // Type 1 requires "hwboot", "serial#", "ethmac" and "usbmac"; every other type nothing.
    void setRequiredFields(const VpdType& type);

    // Reads the record file and replaces the entry list with its entries.
    // VpdOk; VpdInputError when the file cannot be opened; VpdInputAccessError when it holds
    // fewer than 65536 bytes (bytes beyond are ignored); VpdCrcError on a CRC mismatch.
    // On VpdInputError and VpdInputAccessError nothing changes (entries, CRC, flag, area).
    // On a CRC mismatch the entry list is empty and CRC and flag hold the values read; with
    // acceptBadCrc the result is then VpdOk, and a save without a change in between writes
    // the bad record back as read, so that it is never replaced by an empty valid record
    // unless the caller asks for it by changing a value.
    [[nodiscard]] VpdUpdaterError load();
    [[nodiscard]] VpdUpdaterError load(bool acceptBadCrc);

    // Writes the record (CRC, flag, entry area with zero padding) to the record file (the
    // target of a link). VpdOk; VpdInputAccessError when the entries do not fit the area or a
    // write, flush or the final rename fails; VpdFieldMissing when a required key is absent;
    // VpdInputError when the file may not be written or cannot be created. Where it changes
    // nothing but the content, the new record is written to a temporary file beside the
    // record file and renamed over it, so on every failure the record file is left as it was
    // (no temporary file stays behind). Otherwise (a directory the caller may not write or
    // that others may write, such as /tmp; a file with other names; a file of another owner
    // that only root could give back) the file is written in place, with every write and the
    // flush checked, keeping its mode, owner and names; a device node likewise.
    [[nodiscard]] VpdUpdaterError save();

    // Adds (new key, non-empty value), changes (existing key, other value) or removes
    // (existing key, empty value) an entry; an equal value or the removal of an absent key
    // changes nothing. VpdOk; VpdFieldExists when key exists while protected, whatever the
    // value; VpdInputAccessError, with nothing changed, for an empty key, a key holding "="
    // or a key or value holding a NUL (it would end the string in the record and smuggle in
    // another entry). A change applies to every entry of that key: a record read from a file
    // with the key twice keeps a single entry, as the boot loader reads the last of them.
    [[nodiscard]] VpdUpdaterError setValue(const std::string& key, const std::string& value);

    // The value of the first entry with key. VpdOk; VpdFieldMissing when there is none,
    // value then unchanged.
    [[nodiscard]] VpdUpdaterError getValue(const std::string& key, std::string& value) const;

    // The bytes the entries take in the area, each string with its NUL, without the empty
    // string that ends the list (a record may end without it, but fw_printenv cannot read one).
    [[nodiscard]] size_t entryBytes() const;

    // The flag byte read by load or set by setFlag; written by the next save.
    [[nodiscard]] uint8_t getFlag() const;
    void setFlag(uint8_t flag);

    // While protected (the default) setValue refuses to touch an existing key.
    void setProtected(bool protectExisting);

    // The entries as key=value lines, each after indent blanks; withHeader adds
    // "# VPD content:" before and the CRC and flag lines after. The CRC shown is the one
    // held now (read by load or computed by the last save).
    void print(int indent, bool withHeader, std::ostream& out = std::cout) const;

    // As print, limited to the entries with the given keys, in that order (every entry of a
    // key that occurs more than once); an absent key prints
    // "## Error: \"KEY\" not defined". False when at least one key was absent.
    [[nodiscard]] bool printValues(const std::vector<std::string>& keys, int indent,
                                   bool withHeader, std::ostream& out = std::cout) const;

    // Throws error unless it is VpdOk.
    static void throwOnError(const VpdUpdaterError& error);

private:
    struct State;

    [[nodiscard]] VpdUpdaterError pack();
    [[nodiscard]] bool hasRequiredFields() const;

    std::unique_ptr<State> state_;
};

}  // namespace KIVRA
