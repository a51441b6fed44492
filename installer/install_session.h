#pragma once
// The run's hold on the install lock and the install log, from its first line to its last.
// The log belongs to the run that holds the lock: until the lock is decided the lines reach
// the console and are kept for the file; a run that gets the lock (or finds a left-over one
// nobody holds) starts the file afresh with them, a run refused by a live run leaves that
// run's log alone. At its end the log is closed before the lock goes, so the next run, which
// starts the log afresh, never gets a line of this one.

#include "installer/install_lock.h"

namespace KIVRA {
namespace installer {

class InstallSession {
public:
    InstallSession();
    // Closes the log, lets the lock go and clears what no run holds (a left-over lock file, a
    // link at the lock's path), unless the run was forgone.
    ~InstallSession();
    InstallSession(const InstallSession&) = delete;
    InstallSession& operator=(const InstallSession&) = delete;

    // A run that is not to install at all (the deprecated dry run): its lines stay on the
    // console, and neither the log file nor the lock is touched.
    void forgo();

    // Whether a lock file stands at the lock's path; when one does, the run is refused and
    // the log is settled as above.
    [[nodiscard]] bool lockPresent();

    // Puts this run's lock in place. False when another run got there first (refused as
    // above); otherwise the log is this run's from here.
    [[nodiscard]] bool takeLock();

    // Removes the lock at the end of a run that went well; false when the lock file could
    // not be removed (or was never this run's).
    [[nodiscard]] bool unlock();

private:
    void refuse();

    InstallLock lock_;
    bool forgone_ = false;
};

}  // namespace installer
}  // namespace KIVRA
