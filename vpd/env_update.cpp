#include "vpd/env_update.h"

#include "vpd/vpd_handler.h"

namespace KIVRA {

VpdUpdater::VpdUpdaterError setFlashVariable(VpdType type, const std::string& name,
                                             const std::string& value) {
    return setFlashVariables(type, {{name, value}});
}

VpdUpdater::VpdUpdaterError readFlashVariable(VpdType type, const std::string& name,
                                              std::string& value) {
    VpdHandler handler(type, VpdHandler::kUpdateOlderCopy);
    VpdUpdater::VpdUpdaterError result = handler.readNand();
    if (result == VpdUpdater::VpdOk) {
        result = handler.load(VpdHandler::kProtected, VpdHandler::kRefuseBadCrc);
    }
    if (result == VpdUpdater::VpdOk) {
        result = handler.getUpdater().getValue(name, value);
    }
    // A read leaves nothing in /tmp: the room goes back to the steps that follow.
    handler.removeWorkingCopies();
    return result;
}

VpdUpdater::VpdUpdaterError setFlashVariables(
    VpdType type, const std::vector<std::pair<std::string, std::string>>& changes,
    const std::function<void(const VpdUpdater&)>& beforeSave) {
    // Only the older copy is replaced so that the boot loader still finds the newer one
    // should the write be cut short; no key is required.
    VpdHandler handler(type, VpdHandler::kUpdateOlderCopy);
    VpdUpdater::VpdUpdaterError result = handler.readNand();
    if (result != VpdUpdater::VpdOk) {
        return result;
    }
    // Existing variables may change. With no valid copy the boot loader runs on its built-in
    // environment; a record holding only this variable would replace that with one lacking
    // bootcmd, bootargs and ethaddr, and the device would stop at the loader's prompt. So
    // nothing is written and the update fails with the CRC error.
    result = handler.load(VpdHandler::kUnprotected, VpdHandler::kRefuseBadCrc);
    if (result != VpdUpdater::VpdOk) {
        return result;
    }
    for (const auto& [name, value] : changes) {
        result = handler.setValue(name, value);
        if (result != VpdUpdater::VpdOk) {
            return result;
        }
    }
    if (beforeSave) {
        beforeSave(handler.getUpdater());
    }
    result = handler.save();
    if (result != VpdUpdater::VpdOk) {
        return result;
    }
    return handler.writeNand();
}

}  // namespace KIVRA
