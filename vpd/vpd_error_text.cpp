#include "vpd/vpd_error_text.h"

namespace KIVRA {

const char* vpdErrorText(VpdUpdater::VpdUpdaterError error) {
    switch (error) {
        case VpdUpdater::VpdOk:
            return nullptr;
        case VpdUpdater::VpdFieldExists:
            return "VPD update not allowed, field probably already exists";
        case VpdUpdater::VpdFieldMissing:
            return "VPD update not allowed, required fields are missing";
        case VpdUpdater::VpdCrcError:
            return "CRC error, invalid file";
        case VpdUpdater::VpdInputError:
            return "VPD update failed, input error";
        case VpdUpdater::VpdInputAccessError:
            return "VPD update failed, input access error";
        case VpdUpdater::VpdCodeError:
            return "Code error";
    }
    return nullptr;  // a value outside the enumeration
}

}  // namespace KIVRA
