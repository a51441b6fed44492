#pragma once
// The fixed paths of the router's devices and kernel interfaces, in one place. The installer,
// the flash layer and the toolbox name these and nothing else; tests reach them only inside
// the sandbox, whose fresh /sys and /tmp stand in for the device's.

namespace KIVRA {
namespace devicepaths {

// The flash device holding the environment records.
inline constexpr const char* kEnvironmentFlash = "/dev/mtd0";
// The kernel's MTD class directory lives below this sysfs root; /proc/mtd is the legacy table.
inline constexpr const char* kSysfsRoot = "/sys";
inline constexpr const char* kProcMtd = "/proc/mtd";
// The eMMC: the boot configuration attribute, the boot partition's size and the card name.
inline constexpr const char* kEmmcBootConfig = "/sys/block/mmcblk0/device/boot_config";
inline constexpr const char* kEmmcBootSize = "/sys/block/mmcblk0/mmcblk0boot0/size";
inline constexpr const char* kEmmcName = "/sys/block/mmcblk0/device/name";

}  // namespace devicepaths
}  // namespace KIVRA
