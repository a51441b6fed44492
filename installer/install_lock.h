#pragma once
// The install lock "/tmp/kivrainstaller.lck". Its presence means that an installation run
// is in progress; the file is empty, and to other device software only its presence counts.
// Between installer runs the ownership is an advisory lock (flock) on the file, held by the
// run for its whole life: the kernel ends it with the process however the process ends, so
// a file that nobody holds is a left-over of an ended run, whatever it contains.

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace installer {

extern const char* const kLockPath;

enum class LockResult {
    Taken,     // this process put the lock file in place and holds it
    Held,      // a lock file stands at the path and a live run holds it
    Stale,     // a lock file stands at the path that nobody held: this process holds it now
    NotTaken,  // nothing this process could create or hold (a directory or a link at the
               // path, a lock file removed meanwhile, /tmp refusing the file)
};

// The lock as one run owns it. Destroying the object releases it (see release).
class InstallLock {
public:
    InstallLock() = default;
    ~InstallLock();
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;

    // Puts the lock file in place already held, in one step, so no other run can ever find
    // it unheld while this run lives: Taken, Held when a lock file already stands there
    // (the caller then asks probe() about it), or NotTaken.
    [[nodiscard]] LockResult take();

    // For a run that found a lock file: tests without blocking whether a run holds it.
    // Held, or Stale (this object now holds the left-over file and removes it on release),
    // or NotTaken.
    [[nodiscard]] LockResult probe();

    // Removes the lock file while still holding it, if the path still names the very file
    // held (so a lock another run has put there since is never removed), then lets go.
    // True when the file was removed.
    [[nodiscard]] bool release();

private:
    qvsystemtools::UniqueFd fd_;
};

// For the end of a run: removes a lock file at the path that nobody holds, and a link
// there (never a lock a run made); a lock a live run holds is left alone. Failures are
// ignored (the next run clears a left-over lock again).
void clearInstallLock();

}  // namespace installer
}  // namespace KIVRA
