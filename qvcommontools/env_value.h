#pragma once
// Sets one variable of the boot environment kept as two copies in flash.

#include <string>

namespace KIVRA {
namespace qvcommontools {

// True when the variable was written to flash over the older copy. On failure errorText is
// replaced by the message of the failing step and false is returned; the newer copy in flash
// is never touched. partition is the caller's next boot partition (0, 1 or -1); it takes
// part in no decision.
[[nodiscard]] bool setEnvValue(const std::string& name, const std::string& value, int partition,
                               std::string& errorText);

// True with value set when the boot environment could be read and holds the variable. False,
// quietly, where the device has no environment flash; false also when the flash cannot be
// read (its handler says why on standard output), holds no valid copy or lacks the variable.
[[nodiscard]] bool getEnvValue(const std::string& name, std::string& value);

}  // namespace qvcommontools
}  // namespace KIVRA
