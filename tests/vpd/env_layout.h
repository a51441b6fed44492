#pragma once
// Where the two copies of each flash record lie on /dev/mtd0, written down once for every test
// that arranges or inspects them, apart from the product's own constants so that a record
// moved by mistake shows.

#include <cstdint>

namespace KIVRA {
namespace testing {

constexpr uint32_t kEnvCopy1 = 0xC0000;  // the boot environment
constexpr uint32_t kEnvCopy2 = 0xD0000;
constexpr uint32_t kEnvCopySize = 0x10000;
constexpr uint32_t kHardwareCopy1 = 0x1E0000;  // the hardware record (types 0 and 1)

}  // namespace testing
}  // namespace KIVRA
