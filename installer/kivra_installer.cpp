#include "installer/kivra_installer.h"

#include <cstdlib>
#include <utility>

#include "installer/install_session.h"
#include "installer/kivra_installer_impl.h"
#include "installer/stop_signals.h"
#include "qvcommontools/env_value.h"
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

std::string stopReason() {
    const int sig = stopSignal();
    return sig == 0 ? std::string() : std::string("Stopped by ") + stopSignalName(sig);
}

void stopIfAsked(KivraInstaller::Impl& d, const std::string& origin) {
    const std::string reason = stopReason();
    if (!reason.empty()) {
        fail(d, KivraInstaller::Failure, reason, origin);
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

KivraInstaller::KivraInstaller() : impl_(std::make_unique<Impl>()) {
    impl_->ownSession = std::make_unique<installer::InstallSession>();
    impl_->session = impl_->ownSession.get();
}

KivraInstaller::KivraInstaller(installer::InstallSession& session)
    : impl_(std::make_unique<Impl>()) {
    impl_->session = &session;
}

KivraInstaller::~KivraInstaller() = default;

KivraInstaller::Error KivraInstaller::setFwDir(const std::string& dir) {
    const std::string origin = installer::origin("setFwDir");
    Impl& d = *impl_;
    return installer::runStep([&] {
        logInstall("  - KivraInstaller::setFwDir: Check Lock");
        if (d.session->lockPresent()) {
            installer::fail(d, LockExists, "Check file lock failed", origin);
        }
        logInstall("  - KivraInstaller::setFwDir: Lock");
        if (!d.session->takeLock()) {
            installer::fail(d, LockExists, "Check file lock failed", origin);
        }
        if (!qvsystemtools::isDir(dir)) {
            installer::fail(d, NotADirectory, dir + " is not a directory", origin);
        }
        d.fwDir = dir;
        // A flag set by an earlier run stands over the staging directory emptied below: it is
        // cleared first, so the boot procedure is never sent to images that are gone.
        std::string flag;
        if (qvcommontools::getEnvValue(installer::kUpdateFlag, flag) &&
            flag == installer::kUpdatePending) {
            logInstall("  - KivraInstaller::setFwDir: Clear environment flag");
            if (!qvcommontools::setEnvValue(installer::kUpdateFlag, installer::kNoUpdatePending, -1,
                                            d.lastError)) {
                installer::raise(EnvironmentError, d.lastError, origin);
            }
        }
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
KivraInstaller::Error KivraInstaller::stopServices() { return Success; }

void KivraInstaller::setStepHook(StepHook hook) { impl_->stepHook = std::move(hook); }

qvcommontools::FwProgress& KivraInstaller::progress() { return impl_->progress; }

}  // namespace KIVRA
