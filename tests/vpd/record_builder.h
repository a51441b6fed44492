#pragma once
// Builds environment records byte by byte from the layout the boot loader reads, independent
// of the code under test: its own bitwise CRC, its own little-endian encoding.
//
//   CRC-32 (4 bytes, little-endian) | flag (1 byte) | 65531-byte area
//   area: "key=value" strings with their NULs, an empty string, then padding

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace KIVRA {
namespace testing {

constexpr size_t kRecordBytes = 65536;
constexpr size_t kAreaBytes = 65531;

// Bit by bit, without a table, so that a wrong table entry in the code cannot hide.
inline uint32_t referenceCrc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFU;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
        }
    }
    return ~crc;
}

inline std::string littleEndian32(uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xFFU));
    }
    return bytes;
}

struct RecordBuilder {
    std::vector<std::string> strings;  // each written with its NUL, in this order
    uint8_t flag = 0;
    bool terminate = true;  // an empty string after the last one
    char padding = '\0';    // the boot loader's own tools pad with '\xff'
    bool corruptCrc = false;

    RecordBuilder& add(const std::string& text) {
        strings.push_back(text);
        return *this;
    }
    RecordBuilder& withFlag(uint8_t value) {
        flag = value;
        return *this;
    }
    RecordBuilder& paddedWith(char value) {
        padding = value;
        return *this;
    }
    RecordBuilder& withBadCrc() {
        corruptCrc = true;
        return *this;
    }

    std::string area() const {
        std::string area;
        for (const auto& text : strings) {
            area += text;
            area.push_back('\0');
        }
        if (terminate && area.size() < kAreaBytes) {
            area.push_back('\0');
        }
        if (area.size() < kAreaBytes) {
            area.append(kAreaBytes - area.size(), padding);
        }
        return area;
    }

    std::string bytes() const {
        const std::string body = area();
        const uint32_t crc = referenceCrc32(body) ^ (corruptCrc ? 0x00000100U : 0U);
        return littleEndian32(crc) + static_cast<char>(flag) + body;
    }
};

}  // namespace testing
}  // namespace KIVRA
