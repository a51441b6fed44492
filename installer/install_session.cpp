#include "installer/install_session.h"

#include "qvcommontools/install_log.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {
namespace installer {

InstallSession::InstallSession() { qvcommontools::holdInstallLog(); }

InstallSession::~InstallSession() {
    if (forgone_) {
        return;
    }
    // A run that ended before its lock was decided (an unexpected failure) keeps its lines;
    // releasing a log that is already this run's or another's changes nothing.
    qvcommontools::releaseInstallLog();
    qvcommontools::closeInstallLog();
    (void)lock_.release();  // an unremoved lock is cleared below or by the next run
    clearInstallLock();
}

void InstallSession::forgo() {
    forgone_ = true;
    qvcommontools::discardInstallLog();
}

void InstallSession::refuse() {
    if (lock_.probe() == LockResult::Stale) {
        qvcommontools::releaseInstallLog();
    } else {
        qvcommontools::discardInstallLog();
    }
}

bool InstallSession::lockPresent() {
    if (!qvsystemtools::isFile(kLockPath)) {
        return false;
    }
    refuse();
    return true;
}

bool InstallSession::takeLock() {
    // Another run may have taken the lock since lockPresent; such a run is refused exactly
    // like one that found the lock at once.
    if (lock_.take() == LockResult::Held) {
        refuse();
        return false;
    }
    qvcommontools::releaseInstallLog();
    return true;
}

bool InstallSession::unlock() { return lock_.release(); }

}  // namespace installer
}  // namespace KIVRA
