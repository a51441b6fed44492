#include "app/run_driver.h"

#include <iostream>
#include <string>

#include "installer/install_lock.h"
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

int installationRun(KivraInstaller& installer, const std::string& fwDir,
                    const std::string& carrier) {
    using qvcommontools::InstallerErr;
    using qvcommontools::logInstall;
    int exitStatus = 0;
    try {
        logInstall("> [qvinstaller] Set firmware directory");
        const int setFwDirCode = installer.setFwDir(fwDir);
        // setFwDir gives the log to this run once it holds the lock, and leaves a live run's
        // log alone when refused; a run that failed before the lock decision keeps its lines.
        // The progress file follows the same rule: a refused run never overwrites that of the
        // run it was refused by. Its end is written before the log is closed, so the next
        // run, which waits for the log, never has its progress replaced by this run's end.
        if (setFwDirCode != KivraInstaller::LockExists) {
            qvcommontools::releaseInstallLog();
            installer.progress().start();
        }
        InstallerErr::throwIf(static_cast<KivraInstaller::Error>(setFwDirCode),
                              "[qvinstaller] Setting Firmware Directory failed", kDriverOrigin);
        if (!carrier.empty()) {
            logInstall("> [qvinstaller] Set Firmware Carrier");
            installer.setFwCarrier(carrier);
        }
        logInstall("> [qvinstaller] Install");
        bool rmUpdateNeeded = false;
        InstallerErr::throwIf(static_cast<KivraInstaller::Error>(installer.install(rmUpdateNeeded)),
                              "[qvinstaller] Install failed", kDriverOrigin);
        exitStatus = rmUpdateNeeded ? 2 : 0;
        logInstall("> [qvinstaller] End (" + std::to_string(exitStatus) + ")");
    } catch (const InstallerErr& err) {
        err.log();
        logInstall("> [qvinstaller] Error");
        exitStatus = 1;
    } catch (...) {
        logInstall("> [qvinstaller] Unkown Error");
        exitStatus = 1;
    }
    installer.progress().finish(exitStatus);
    return exitStatus;
}

}  // namespace

int runInstaller(int argc, char* argv[]) {
    if (argc < 2 || argc > 4) {
        usage(argc > 0 ? argv[0] : "qvinstaller");
        return 1;
    }
    int exitStatus = 1;
    // Until this run holds the install lock, its lines reach the console only; see below.
    qvcommontools::holdInstallLog();
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
            qvcommontools::discardInstallLog();
            return 0;
        }
        // From here a stop signal ends the run as a failed step (lock removed, status no
        // longer asking not to disconnect) instead of killing it wherever it is.
        const installer::StopSignals stopSignals;
        // The installer owns the install lock (RAII): it lets the lock go when it is destroyed
        // at the end of this block, after the log is complete, so the next run, which starts
        // the log afresh, never gets a line of this run in it.
        KivraInstaller installer;
        exitStatus = installationRun(installer, fwDir, carrier);
        qvcommontools::closeInstallLog();
    } catch (...) {
        // Only allocation can fail before the run; nothing has been taken that needs undoing
        // beyond the cleanup below.
        exitStatus = 1;
    }
    // The installer has removed its own lock (or the left-over one it found). What no
    // installer holds is cleared here too: a link planted at the path and a lock file nobody
    // holds, so neither blocks the next run; a live run's lock is left alone.
    installer::clearInstallLock();
    qvcommontools::closeInstallLog();
    return exitStatus;
}

}  // namespace KIVRA
