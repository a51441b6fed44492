#include "qvcommontools/env_value.h"

#include "qvcommontools/vpd_error_text.h"
#include "vpd/vpd_handler.h"

namespace KIVRA {
namespace qvcommontools {

bool setEnvValue(const std::string& name, const std::string& value, int partition,
                 std::string& errorText) {
    (void)partition;  // the environment is shared by both boot partitions
    try {
        {
            // The boot environment: no required keys, and only the older copy is replaced so
            // that the boot loader still finds the newer one should the write be cut short.
            VpdHandler handler(VpdTypeBootEnv, 1);
            VpdUpdater::throwOnError(handler.readNand());
            // Existing variables may change; a copy with a bad CRC serves as an empty record
            // when no copy is valid, so that the flag can still be set.
            VpdUpdater::throwOnError(handler.load(false, true));
            VpdUpdater::throwOnError(handler.setValue(name, value));
            VpdUpdater::throwOnError(handler.save());
            VpdUpdater::throwOnError(handler.writeNand());
        }
        return true;
    } catch (const VpdUpdater::VpdUpdaterError& error) {
        if (const char* text = vpdErrorText(error)) {
            errorText = text;
        }
        return false;
    } catch (...) {
        errorText = "Unkown error";
        return false;
    }
}

}  // namespace qvcommontools
}  // namespace KIVRA
