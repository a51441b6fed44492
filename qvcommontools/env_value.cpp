#include "qvcommontools/env_value.h"

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

}  // namespace qvcommontools
}  // namespace KIVRA
