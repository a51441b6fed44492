#pragma once
// The CRC-32 of IEEE 802.3 that guards the environment record, as the boot loader computes
// it: reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final XOR 0xFFFFFFFF.

#include <cstddef>
#include <cstdint>

namespace KIVRA {

// CRC of length bytes at data (length 0 gives 0).
[[nodiscard]] uint32_t crc32(const void* data, size_t length);

// Continues a CRC over further bytes: crc32Update(crc32(a, n), b, m) equals the CRC of a
// followed by b. Start with 0.
[[nodiscard]] uint32_t crc32Update(uint32_t crc, const void* data, size_t length);

}  // namespace KIVRA
