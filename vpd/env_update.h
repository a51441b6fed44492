#pragma once
// The one operation "set one variable in a record kept as two copies in flash", used by the
// installer's setEnvValue (qvcommontools/env_value.h) and by qvenv, so both change flash in
// the same way. vpd/vpd_error_text.h words its results.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vpd/vpd_type.h"
#include "vpd/vpd_updater.h"

namespace KIVRA {

// Reads both copies of record type from flash, sets name to value in the newer valid copy
// (an empty value removes name) and writes the result over the older copy with the next
// flag, so the newer copy survives a power cut in the middle of the write. VpdOk when the
// variable was written; otherwise the code of the failing step (VpdHandler's and
// VpdUpdater's results), and the newer copy in flash is never touched. With no valid copy
// (erased flash, or both copies damaged) nothing is written and the result is VpdCrcError.
// Exceptions other than the VPD codes (out of memory) pass to the caller.
[[nodiscard]] VpdUpdater::VpdUpdaterError setFlashVariable(VpdType type, const std::string& name,
                                                           const std::string& value);

// Reads name from the newer valid copy of record type in flash, the copy the update above
// starts from, through the same handler. VpdOk with value set; VpdFieldMissing when the
// record has no such variable; otherwise the code of the failing step (no valid copy:
// VpdCrcError). Flash is only read.
[[nodiscard]] VpdUpdater::VpdUpdaterError readFlashVariable(VpdType type, const std::string& name,
                                                            std::string& value);

// The same for several variables (name, value; an empty value removes name), applied in order
// to the newer copy and written in one write of the older copy: either all of them reach the
// flash or, as far as the boot loader can tell, none. A change that fails writes nothing.
// beforeSave, when given, sees the changed record before anything is written; what it throws
// passes to the caller with flash untouched.
[[nodiscard]] VpdUpdater::VpdUpdaterError setFlashVariables(
    VpdType type, const std::vector<std::pair<std::string, std::string>>& changes,
    const std::function<void(const VpdUpdater&)>& beforeSave = {});

}  // namespace KIVRA
