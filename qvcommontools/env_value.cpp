#include "qvcommontools/env_value.h"

#include <sys/stat.h>

#include "qvsystemtools/device_paths.h"
#include "vpd/env_update.h"
#include "vpd/vpd_error_text.h"

namespace KIVRA {
namespace qvcommontools {

bool setEnvValue(const std::string& name, const std::string& value, int partition,
                 std::string& errorText) {
    (void)partition;  // the environment is shared by both boot partitions
    try {
        const VpdUpdater::VpdUpdaterError result = setFlashVariable(VpdTypeBootEnv, name, value);
        if (result == VpdUpdater::VpdOk) {
            return true;
        }
        if (const char* text = vpdErrorText(result)) {
            errorText = text;
        }
        return false;
    } catch (...) {
        errorText = kUnknownVpdErrorText;
        return false;
    }
}

bool getEnvValue(const std::string& name, std::string& value) {
    // Without the device there is nothing to read and nothing to say about it.
    struct stat st {};
    if (::stat(devicepaths::kEnvironmentFlash, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    try {
        return readFlashVariable(VpdTypeBootEnv, name, value) == VpdUpdater::VpdOk;
    } catch (...) {
        return false;  // out of memory: the environment counts as unread
    }
}

}  // namespace qvcommontools
}  // namespace KIVRA
