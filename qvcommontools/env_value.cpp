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
            // Existing variables may change. With no valid copy (erased flash, or both copies
            // damaged) the boot loader runs on its built-in environment; a record holding
            // only the flag would replace that with one lacking bootcmd, bootargs and
            // ethaddr, and the device would stop at the loader's prompt. So nothing is
            // written and the update fails with the CRC error.
            VpdUpdater::throwOnError(handler.load(false, false));
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
