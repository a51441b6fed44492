#include "installer/kivra_installer.h"

#include <cstdlib>

#include "installer/install_lock.h"
#include "installer/kivra_installer_impl.h"
#include "installer/stop_signals.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/dir_ops.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {

namespace installer {

std::string origin(const char* operation) {
    return std::string("[KivraInstaller::") + operation + "] ";
}

void raise(KivraInstaller::Error code, const std::string& message, const std::string& origin) {
    throw qvcommontools::InstallerErr(code, message, origin);
}

void fail(KivraInstaller::Impl& d, KivraInstaller::Error code, const std::string& message,
          const std::string& origin) {
    d.lastError = message;
    raise(code, d.lastError, origin);
}

void stopIfAsked(KivraInstaller::Impl& d, const std::string& origin) {
    const int sig = stopSignal();
    if (sig != 0) {
        fail(d, KivraInstaller::Failure, std::string("Stopped by ") + stopSignalName(sig), origin);
    }
}

std::string requiredEnv(KivraInstaller::Impl& d, const char* name, const std::string& origin) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        fail(d, KivraInstaller::EnvironmentError,
             std::string("Environment var ") + name + " is missing", origin);
    }
    return value;
}

void check(KivraInstaller::Impl& d, int code, const std::string& failure,
           const std::string& origin) {
    d.lastCode = code;
    d.lastError = failure;
    qvcommontools::InstallerErr::throwIf(static_cast<KivraInstaller::Error>(d.lastCode),
                                         d.lastError, origin);
}

}  // namespace installer

using qvcommontools::logInstall;

KivraInstaller::KivraInstaller() : impl_(std::make_unique<Impl>()) {}

KivraInstaller::~KivraInstaller() = default;

int KivraInstaller::setFwDir(const std::string& dir) {
    const std::string origin = installer::origin("setFwDir");
    Impl& d = *impl_;
    return installer::runStep([&] {
        // The log belongs to the run that holds the lock: a run refused by a live run
        // leaves that run's log alone, a run that now holds a left-over lock (whose run has
        // ended) starts the log afresh like any run that got the lock.
        auto refuse = [&] {
            if (d.lock.probe() == installer::LockResult::Stale) {
                qvcommontools::releaseInstallLog();
            } else {
                qvcommontools::discardInstallLog();
            }
            installer::fail(d, LockExists, "Check file lock failed", origin);
        };
        logInstall("  - KivraInstaller::setFwDir: Check Lock");
        if (qvsystemtools::isFile(installer::kLockPath)) {
            refuse();
        }
        logInstall("  - KivraInstaller::setFwDir: Lock");
        // Another run may have taken the lock since the check above; such a run is refused
        // exactly like one that found the lock at once.
        if (d.lock.take() == installer::LockResult::Held) {
            refuse();
        }
        qvcommontools::releaseInstallLog();
        if (!qvsystemtools::isDir(dir)) {
            installer::fail(d, NotADirectory, dir + " is not a directory", origin);
        }
        d.fwDir = dir;
        // The staging directory is emptied so a failed earlier run cannot leave an
        // unverified image behind.
        if (qvsystemtools::forceCreateDir(d.fwImagesDir, qvsystemtools::kEmptyExistingDir,
                                          qvsystemtools::kPrivateDirMode) !=
            qvsystemtools::TOOL_OK) {
            installer::fail(d, WorkDirError, "Unable to create directory " + d.fwImagesDir, origin);
        }
        if (!qvsystemtools::isDir(d.tempDir)) {
            installer::fail(d, WorkDirError, d.tempDir + " is not a directory", origin);
        }
    });
}

void KivraInstaller::setFwCarrier(const std::string& carrier) {
    logInstall("  - KivraInstaller::setFwCarrier: " + carrier);
    impl_->carrier = carrier;
}

// The router runs no service that an install has to stop: the step is kept so that the
// sequence, its progress line and its failure text stay those the device software knows,
// and a service added one day is stopped here.
int KivraInstaller::stopServices() { return Success; }

qvcommontools::FwProgress& KivraInstaller::progress() { return impl_->progress; }

}  // namespace KIVRA
