#include "vpd/crc32.h"

#include <array>

namespace KIVRA {

namespace {

constexpr std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

// Built by the compiler so that no start-up code and no shared mutable state are needed.
constexpr std::array<uint32_t, 256> kTable = makeTable();

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t c = crc ^ 0xFFFFFFFFU;
    for (size_t i = 0; i < length; ++i) {
        c = kTable[(c ^ bytes[i]) & 0xFFU] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFU;
}

uint32_t crc32(const void* data, size_t length) { return crc32Update(0, data, length); }

}  // namespace KIVRA
