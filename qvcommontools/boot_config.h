#pragma once
// Selects the eMMC boot partition of the next boot.

namespace KIVRA {
namespace qvcommontools {

extern const char* const kEmmcBootConfigPath;  // "/sys/block/mmcblk0/device/boot_config"

// Writes (partition + 1) * 8 in decimal to the eMMC boot configuration attribute when the
// device has one. True on success and on a device without eMMC; false when the attribute
// cannot be written.
[[nodiscard]] bool updateBootConfig(int& partition);

}  // namespace qvcommontools
}  // namespace KIVRA
