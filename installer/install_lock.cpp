#include "installer/install_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace installer {

const char* const kLockPath = "/tmp/kivrainstaller.lck";

namespace {

// The pid recorded in the lock; 0 for an empty or unreadable lock, -1 for text that is not
// a process id (then the lock belongs to someone we do not know and is left alone).
long lockOwner() {
    qvsystemtools::UniqueFd fd(::open(kLockPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return 0;
    }
    char text[32] = {};
    const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
    if (n <= 0) {
        return 0;
    }
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0 || (*end != '\n' && *end != '\0')) {
        return -1;
    }
    return pid;
}

bool processAlive(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

}  // namespace

LockResult takeInstallLock() {
    // Write the id into a private file first and link it into place: link() creates the
    // name atomically and never follows or replaces anything standing there.
    char temp[] = "/tmp/kivrainstaller.lck.XXXXXX";
    qvsystemtools::UniqueFd fd(::mkostemp(temp, O_CLOEXEC));
    if (!fd.valid()) {
        return LockResult::NotCreated;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    const bool written = qvsystemtools::writeAllFd(fd.get(), pid.data(), pid.size()) &&
                         ::fchmod(fd.get(), 0644) == 0 && fd.close() == 0;
    const int linked = written ? ::link(temp, kLockPath) : -1;
    const int linkErrno = errno;
    (void)::unlink(temp);  // the lock, if made, is its own name now
    if (linked == 0) {
        return LockResult::Taken;
    }
    if (written && linkErrno == EEXIST && qvsystemtools::isFile(kLockPath)) {
        return LockResult::Held;
    }
    return LockResult::NotCreated;
}

void clearInstallLock() {
    if (!qvsystemtools::isFile(kLockPath)) {
        return;
    }
    const long owner = lockOwner();
    if (owner < 0 || (owner > 0 && owner != ::getpid() && processAlive(owner))) {
        return;
    }
    (void)::unlink(kLockPath);  // a lock that cannot be removed is cleared by the next run
}

}  // namespace installer
}  // namespace KIVRA
