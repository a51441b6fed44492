#include "app/run_driver.h"

#include <iostream>
#include <string>

#include "installer/install_session.h"
#include "installer/kivra_installer.h"
#include "installer/stop_signals.h"
#include "qvcommontools/install_log.h"

namespace KIVRA {

namespace {

const char* const kDriverOrigin = "[qvinstaller] ";
const char* const kDryRun = "--dry-run";

void usage(const char* program) {
    std::cerr << "Syntax is " << program << " <FIRMWARE_DIR> [CARRIER]" << std::endl;
}

// The driver's line for a step that failed, then the run's last line; status 1.
int failed(KivraInstaller::Error code, const char* message) {
    qvcommontools::InstallerErr(code, message, kDriverOrigin).log();
    qvcommontools::logInstall("> [qvinstaller] Error");
    return 1;
}

int installationRun(KivraInstaller& installer, const std::string& fwDir,
                    const std::string& carrier) {
    using qvcommontools::logInstall;
    try {
        logInstall("> [qvinstaller] Set firmware directory");
        const KivraInstaller::Error setFwDirCode = installer.setFwDir(fwDir);
        // The progress file follows the log's rule: a run refused by a live one never
        // overwrites that run's progress.
        if (setFwDirCode != KivraInstaller::LockExists) {
            installer.progress().start();
        }
        if (setFwDirCode != KivraInstaller::Success) {
            return failed(setFwDirCode, "[qvinstaller] Setting Firmware Directory failed");
        }
        if (!carrier.empty()) {
            logInstall("> [qvinstaller] Set Firmware Carrier");
            installer.setFwCarrier(carrier);
        }
        logInstall("> [qvinstaller] Install");
        bool rmUpdateNeeded = false;
        const KivraInstaller::Error installCode = installer.install(rmUpdateNeeded);
        if (installCode != KivraInstaller::Success) {
            return failed(installCode, "[qvinstaller] Install failed");
        }
        const int exitStatus = rmUpdateNeeded ? 2 : 0;
        logInstall("> [qvinstaller] End (" + std::to_string(exitStatus) + ")");
        return exitStatus;
    } catch (...) {
        logInstall("> [qvinstaller] Unkown Error");
        return 1;
    }
}

}  // namespace

int runInstaller(int argc, char* argv[]) {
    if (argc < 2 || argc > 4) {
        usage(argc > 0 ? argv[0] : "qvinstaller");
        return 1;
    }
    // The run's lock and log, from its first line to its last: the log is closed before the
    // lock goes, and what no run holds is cleared at the end (install_session.h).
    installer::InstallSession session;
    try {
        const std::string fwDir = argv[1];
        std::string carrier;
        bool dryRun = false;
        if (argc >= 3) {
            if (std::string(argv[2]) == kDryRun) {
                qvcommontools::logInstall("> [qvinstaller] dry-run option has been deprecated!");
                dryRun = true;
                if (argc == 4) {
                    carrier = argv[3];
                }
            } else {
                carrier = argv[2];
                if (argc == 4 && std::string(argv[3]) == kDryRun) {
                    qvcommontools::logInstall(
                        "> [qvinstaller] dry-run option has been deprecated!");
                    dryRun = true;
                }
            }
        }
        if (dryRun) {
            // The deprecated dry run has no other effect: its message reaches the console
            // only, so it cannot start afresh the log of a run that is installing.
            session.forgo();
            return 0;
        }
        // From here a stop signal ends the run as a failed step (lock removed, status no
        // longer asking not to disconnect) instead of killing it wherever it is.
        const installer::StopSignals stopSignals;
        KivraInstaller installer(session);
        const int exitStatus = installationRun(installer, fwDir, carrier);
        // Written before the session closes the log: the next run, which waits for the log,
        // never has its own progress replaced by this run's end.
        installer.progress().finish(exitStatus);
        return exitStatus;
    } catch (...) {
        // Only allocation can fail before the run; the session's end undoes what was taken.
        return 1;
    }
}

}  // namespace KIVRA
