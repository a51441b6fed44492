#include "qvcommontools/boot_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "qvsystemtools/device_paths.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {
namespace qvcommontools {

const char* const kEmmcBootConfigPath = devicepaths::kEmmcBootConfig;

bool updateBootConfig(int& partition) {
    struct stat st {};
    if (::lstat(kEmmcBootConfigPath, &st) != 0) {
        // A device without eMMC has no such attribute and nothing to select.
        return errno == ENOENT || errno == ENOTDIR;
    }
    if (!qvsystemtools::isFile(kEmmcBootConfigPath)) {
        // Something stands where the attribute belongs but cannot take the value: the
        // next boot would not use the partition the new images wait in.
        return false;
    }
    // PARTITION_CONFIG: boot partition enable in bits 5..3 (1 or 2), no boot acknowledge,
    // access to the user area.
    const std::string value = std::to_string((partition + 1) << 3);
    return qvsystemtools::writeFile(value, kEmmcBootConfigPath) == qvsystemtools::TOOL_OK;
}

}  // namespace qvcommontools
}  // namespace KIVRA
