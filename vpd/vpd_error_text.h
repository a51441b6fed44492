#pragma once
// The installer's wording of the VPD error codes, shared by every tool that reports them.

#include "vpd/vpd_updater.h"

namespace KIVRA {
namespace qvcommontools {

// The message for a failure code, or nullptr for VpdOk and for values outside the
// enumeration (the caller then keeps whatever message it had).
[[nodiscard]] const char* vpdErrorText(VpdUpdater::VpdUpdaterError error);

}  // namespace qvcommontools
}  // namespace KIVRA
