#include "installer/install_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "installer/unnamed_file.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {
namespace installer {

const char* const kLockPath = "/tmp/kivrainstaller.lck";

namespace {

using qvsystemtools::UniqueFd;

// The path still names the file open at fd.
bool namesFile(int fd) {
    struct stat held {};
    struct stat atPath {};
    return ::fstat(fd, &held) == 0 && ::lstat(kLockPath, &atPath) == 0 &&
           held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino;
}

// Opens the file at the path, never through a link and never blocking on a FIFO, and locks
// it without waiting. Held when a run holds it; Stale with fd set when this process now
// holds the regular file the path names.
LockResult holdExisting(UniqueFd& fd) {
    UniqueFd opened(::open(kLockPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!opened.valid()) {
        return LockResult::NotTaken;
    }
    if (::flock(opened.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? LockResult::Held : LockResult::NotTaken;
    }
    struct stat st {};
    // Removed or replaced between the open and the lock: not the file at the path.
    if (::fstat(opened.get(), &st) != 0 || !S_ISREG(st.st_mode) || !namesFile(opened.get())) {
        return LockResult::NotTaken;
    }
    fd = std::move(opened);
    return LockResult::Stale;
}

}  // namespace

InstallLock::~InstallLock() { (void)release(); }  // an unremoved lock is cleared later

LockResult InstallLock::take() {
    // The file is locked before it gets its name: no run can find it unheld and take it for
    // a left-over. Unnamed until then, it leaves nothing in /tmp when the run is killed.
    UnnamedFile file("/tmp", 0644);
    if (!file.valid() || ::flock(file.fd(), LOCK_EX | LOCK_NB) != 0) {
        return LockResult::NotTaken;
    }
    if (!file.linkAs(kLockPath)) {
        // Anything but a regular file at the path (a directory) is no lock to respect.
        return errno == EEXIST && qvsystemtools::isFile(kLockPath) ? LockResult::Held
                                                                   : LockResult::NotTaken;
    }
    fd_ = file.takeFd();
    return LockResult::Taken;
}

LockResult InstallLock::probe() {
    if (fd_.valid()) {
        return LockResult::NotTaken;
    }
    return holdExisting(fd_);
}

bool InstallLock::release() {
    if (!fd_.valid()) {
        return false;
    }
    // While this process holds the file no other run removes it, and no run can put its own
    // lock at the path while it stands there: the check and the unlink see the same file.
    const bool removed = namesFile(fd_.get()) && ::unlink(kLockPath) == 0;
    fd_.reset();
    return removed;
}

void clearInstallLock() {
    if (!qvsystemtools::isFile(kLockPath)) {
        return;  // only a regular file (or a link to one) refuses a run
    }
    struct stat st {};
    if (::lstat(kLockPath, &st) == 0 && S_ISLNK(st.st_mode)) {
        // No run makes a link: one planted here would refuse every run.
        (void)::unlink(kLockPath);  // a failure leaves it for the next run's cleanup
        return;
    }
    InstallLock leftOver;
    if (leftOver.probe() == LockResult::Stale) {
        (void)leftOver.release();  // a failure leaves it for the next run's cleanup
    }
}

}  // namespace installer
}  // namespace KIVRA
