#include "tests/support/open_hook.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

namespace KIVRA {
namespace testing {

OpenHook::OpenHook(const std::string& path, std::function<void()> meanwhile)
    : watch_(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY)) {
    armed_ =
        watch_.valid() && ::fanotify_mark(watch_.get(), FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR,
                                          AT_FDCWD, path.c_str()) == 0;
    if (!armed_) {
        return;
    }
    thread_ = std::thread([this, meanwhile = std::move(meanwhile)] {
        fanotify_event_metadata event{};
        if (::read(watch_.get(), &event, sizeof event) != sizeof event || event.fd < 0) {
            return;
        }
        meanwhile();
        ran_ = true;
        // Later opens of the path go on unheld; the one held waits for the answer below.
        (void)::fanotify_mark(watch_.get(), FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
        const fanotify_response allow{event.fd, FAN_ALLOW};
        // A lost answer leaves the open held: the test then hangs, which its timeout shows.
        (void)!::write(watch_.get(), &allow, sizeof allow);
        (void)::close(event.fd);
    });
}

OpenHook::~OpenHook() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool OpenHook::ran() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return ran_;
}

}  // namespace testing
}  // namespace KIVRA
