#pragma once
// Facts about the device from sysfs, and the request to the system's reboot service.
// Nothing here prints.

#include <string>

#include "qvsystemtools/tool_status.h"

namespace KIVRA {
namespace qvsystemtools {

// Sysfs attributes of the eMMC: the size of its first boot partition and its product name.
extern const char* const kEmmcBootSizePath;  // "/sys/block/mmcblk0/mmcblk0boot0/size"
extern const char* const kEmmcNamePath;      // "/sys/block/mmcblk0/device/name"

// The decimal size of the first eMMC boot partition / the eMMC's name (one word).
// TOOL_OK with the value set; TOOL_ERR_NO_FILE when the attribute is not a regular file (a
// device without eMMC); TOOL_ERR_SOURCE_NOT_OPEN when it cannot be opened; TOOL_ERR_READ
// when it holds no value of the expected kind (empty, a word for a size, a size out of
// range). The output is left unchanged on every failure.
[[nodiscard]] ToolStatus readEmmcBootSize(int& size);
[[nodiscard]] ToolStatus readEmmcName(std::string& name);

// Asks "/usr/sbin/RequestReboot" to reboot (or reset to defaults and reboot), naming this
// program's invocation name as the requester. Returns what runCommand reports: the service's
// exit code, or errno when the shell could not be started.
[[nodiscard]] int requestReboot(bool resetToDefaults);

}  // namespace qvsystemtools
}  // namespace KIVRA
