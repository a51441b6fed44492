#pragma once
// Mounts over fixed system paths for toolbox tests. Only ever used inside the test sandbox's
// private mount namespace (a SandboxTest), so nothing reaches the host.

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {

// One mount, undone when the owner goes, so tests sharing one sandbox see clean paths.
class ScopedMount {
public:
    ScopedMount() = default;
    ~ScopedMount() { undo(); }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    // Binds source over target (a file over a file, a directory over a directory).
    // Empty on success, else the reason.
    std::string bind(const std::string& source, const std::string& target) {
        return make(source.c_str(), target, nullptr, MS_BIND);
    }

    // A fresh, empty tmpfs over the directory target.
    std::string tmpfs(const std::string& target) { return make("qvtest", target, "tmpfs", 0); }

    void undo() {
        if (!target_.empty()) {
            (void)::umount2(target_.c_str(), MNT_DETACH);  // the sandbox goes soon anyway
            target_.clear();
        }
    }

private:
    std::string make(const char* source, const std::string& target, const char* type,
                     unsigned long flags) {
        undo();
        if (::mount(source, target.c_str(), type, flags, nullptr) != 0) {
            return "mount over " + target + ": " + std::strerror(errno);
        }
        target_ = target;
        return std::string();
    }

    std::string target_;
};

}  // namespace testing
}  // namespace KIVRA
