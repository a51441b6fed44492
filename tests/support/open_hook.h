#pragma once
// Wins a race deterministically: the first open of a path (a file or a directory) is held by
// the kernel (a fanotify permission event) while another thread does what a second user
// would do at that moment, and goes on once that is done.

#include <functional>
#include <string>
#include <thread>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace testing {

class OpenHook {
public:
    // False from armed() where the kernel or the emulator offers no permission events.
    OpenHook(const std::string& path, std::function<void()> meanwhile);
    ~OpenHook();  // waits for the hook to have run, if it was armed
    OpenHook(const OpenHook&) = delete;
    OpenHook& operator=(const OpenHook&) = delete;

    bool armed() const { return armed_; }
    // True once the first open was held and `meanwhile` ran.
    bool ran();

private:
    qvsystemtools::UniqueFd watch_;
    bool armed_ = false;
    bool ran_ = false;
    std::thread thread_;
};

}  // namespace testing
}  // namespace KIVRA
