#pragma once
// The installer's exception: a code, a message and the place it arose, able to log itself.

#include <sstream>
#include <string>

#include "qvcommontools/install_log.h"

namespace KIVRA {
namespace qvcommontools {

template <typename Owner, typename Code>
class Err {
public:
    Err(const Code& code, const std::string& message, const std::string& origin)
        : code(code), message(message), origin(origin) {}

    [[nodiscard]] const Code& getCode() const { return code; }

    // Writes origin + message + " (err " + code + ")" as an error line (logInstallError).
    void log() const {
        std::ostringstream text;
        text << message << " (err " << static_cast<long long>(code) << ")";
        logInstallError(origin, text.str());
    }

    // Throws an Err made of the three values unless code is 0. A zero code never throws.
    static void throwIf(const Code& code, const std::string& message, const std::string& origin) {
        if (static_cast<long long>(code) != 0) {
            throw Err(code, message, origin);
        }
    }

    Code code;
    std::string message;
    std::string origin;
};

}  // namespace qvcommontools
}  // namespace KIVRA
