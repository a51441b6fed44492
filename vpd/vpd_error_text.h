#pragma once
// The installer's wording of the VPD error codes, shared by every tool that reports them,
// beside the environment update that returns them (vpd/env_update.h).

#include "vpd/vpd_updater.h"

namespace KIVRA {

// The message for a failure code, or nullptr for VpdOk and for values outside the
// enumeration (the caller then keeps whatever message it had).
[[nodiscard]] const char* vpdErrorText(VpdUpdater::VpdUpdaterError error);

// The text for a failure that is no VPD error code (an exception of another kind), spelt as
// the installer has always written it.
inline constexpr const char* kUnknownVpdErrorText = "Unkown error";

}  // namespace KIVRA
