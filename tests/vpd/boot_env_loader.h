#pragma once
// What the boot loader finds in the two copies of the boot environment on /dev/mtd0, worked
// out from the raw flash bytes alone: its own CRC-32 (record_builder.h), its own reading of
// the generation flag. Tests judge the installer's writes with it instead of trusting the
// copy selection of the code under test.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/vpd/env_layout.h"
#include "tests/vpd/raw_mtd.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace testing {

// The loader's CRC-32, table-driven because power-cut sweeps check a quarter of a million
// bytes per cut point; the same polynomial as the bitwise reference of record_builder.h.
inline uint32_t loaderCrc32(const char* data, size_t length) {
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> entries(256);
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t crc = byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
            }
            entries[byte] = crc;
        }
        return entries;
    }();
    uint32_t crc = 0xFFFFFFFFU;
    for (size_t i = 0; i < length; ++i) {
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFFU] ^ (crc >> 8);
    }
    return ~crc;
}

inline bool recordIntact(const std::string& record) {
    return record.size() == kRecordBytes &&
           littleEndian32(loaderCrc32(record.data() + 5, record.size() - 5)) == record.substr(0, 4);
}

// Whether a copy written with flag a came after one written with flag b. Every write puts the
// other copy's flag plus one (modulo 256), so 0 follows 255. Equal flags never come out of a
// write (two factory copies carry them): U-Boot then boots copy 1.
inline bool writtenAfter(uint8_t a, uint8_t b) {
    if (a == b) {
        return false;
    }
    if ((a == 0 && b == 255) || (a == 255 && b == 0)) {
        return a == 0;
    }
    return a > b;
}

// "key=value" strings of a record's area in record order, up to the first empty string.
inline std::vector<std::string> recordVariables(const std::string& record) {
    std::vector<std::string> variables;
    size_t at = 5;
    while (at < record.size() && record[at] != '\0') {
        size_t end = record.find('\0', at);
        if (end == std::string::npos) {
            end = record.size();
        }
        variables.push_back(record.substr(at, end - at));
        at = end + 1;
    }
    return variables;
}

struct BootEnvironment {
    int copy = 0;       // 1 or 2: the copy the loader boots with; 0: neither is intact
    std::string bytes;  // the 64 KiB record of that copy
    uint8_t flag() const { return bytes.empty() ? 0 : static_cast<uint8_t>(bytes[4]); }
    std::vector<std::string> variables() const { return recordVariables(bytes); }
};

inline BootEnvironment chooseBootEnvironment(const std::string& copy1, const std::string& copy2) {
    const bool intact1 = recordIntact(copy1);
    const bool intact2 = recordIntact(copy2);
    BootEnvironment env;
    if (intact1 && (!intact2 || !writtenAfter(static_cast<uint8_t>(copy2[4]),
                                              static_cast<uint8_t>(copy1[4])))) {
        env.copy = 1;
        env.bytes = copy1;
    } else if (intact2) {
        env.copy = 2;
        env.bytes = copy2;
    }
    return env;
}

inline BootEnvironment loadBootEnvironment(const RawMtd& mtd = RawMtd()) {
    return chooseBootEnvironment(mtd.read(kEnvCopy1, kEnvCopySize),
                                 mtd.read(kEnvCopy2, kEnvCopySize));
}

}  // namespace testing
}  // namespace KIVRA
