#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <optional>
#include <utility>

#include "installer/install_lock.h"
#include "installer/install_sequence.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "installer/package_signature.h"
#include "installer/package_verdicts.h"
#include "installer/scratch_file.h"
#include "installer/stop_signals.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/package_rules.h"
#include "qvcommontools/boot_config.h"
#include "qvcommontools/env_value.h"
#include "qvcommontools/fw_status.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/command.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

using qvcommontools::InstallerErr;
using qvcommontools::logInstall;

namespace {

const char* const kRunningManifest = "/tmp/manifest.txt";
const char* const kDoNotDisconnect = "2:<font color=red><b>Do not disconnect.</b></font>";

// Write-back errors of a file system reach syncfs() callers whose descriptor was opened
// before them: these descriptors, opened before the images are written, learn of every
// failure to write the staged files to the disk (a full or failing partition).
class DataPartitionWrites {
public:
    DataPartitionWrites(const std::string& staging, const std::string& work)
        : staging_(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
          work_(::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

    // Writes everything of both directories' file systems to disk. 0, or the errno of the
    // open or flush that failed.
    [[nodiscard]] int flush() const {
        for (const qvsystemtools::UniqueFd* fd : {&staging_, &work_}) {
            if (!fd->valid()) {
                return EBADF;
            }
            if (::syncfs(fd->get()) != 0) {
                return errno;
            }
        }
        return 0;
    }

private:
    qvsystemtools::UniqueFd staging_;
    qvsystemtools::UniqueFd work_;
};

std::string runningVersion() {
    std::string text;
    if (!qvsystemtools::isFile(kRunningManifest) ||
        qvsystemtools::readFile(text, kRunningManifest) != qvsystemtools::TOOL_OK) {
        return std::string();
    }
    const std::string key = std::string(package_format::kVersionKey) + "=";
    // Found anywhere in the text, not only at a line start: the running system's manifest has
    // always been read this way, and version1.txt must record what that reading gives.
    const auto at = text.find(key);
    if (at == std::string::npos) {
        return std::string();
    }
    const auto start = at + key.size();
    const auto end = text.find('\n', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

namespace installer {

// What every step of one install works with.
struct InstallRun {
    KivraInstaller& installer;
    KivraInstaller::Impl& d;
    bool& rmUpdateNeeded;
    // Opened before the first image is written: the flush then reports every write-back
    // failure on the data partition since, which sync() would keep to itself.
    std::optional<DataPartitionWrites> writes;
    int nextPartition = -1;
    // The environment write has begun: from here a failure may leave the flag set.
    bool flagWritten = false;
};

}  // namespace installer

namespace {

using Error = KivraInstaller::Error;
using installer::InstallRun;

// A step that fails with a text of its own.
Error failWith(InstallRun& r, Error code, const std::string& text) {
    r.d.lastError = text;
    return code;
}

// The sub-steps whose operations still give their code as an int.
Error asError(int code) { return static_cast<Error>(code); }

// The device's web page polls the status file: each stage stays for 2 s so that the page
// shows it before the next one replaces it.
Error showStatus(InstallRun& r, const char* text) {
    if (qvcommontools::writeFwStatus(text) == qvcommontools::StatusWrite::Failed) {
        return failWith(r, KivraInstaller::FileError,
                        std::string("Unable to write file ") + qvcommontools::kFwStatusPath);
    }
    ::sleep(2);
    return KivraInstaller::Success;
}

Error showDone(InstallRun& r) { return showStatus(r, "1:DONE"); }

Error showDoNotDisconnect(InstallRun& r) { return showStatus(r, kDoNotDisconnect); }

Error stopServices(InstallRun& r) { return r.installer.stopServices(); }

Error copyManifest(InstallRun& r) {
    // The working copy is made privately and then given its name: a link planted at its
    // name in world-writable /tmp would otherwise have the package manifest written
    // over whatever file it points to.
    // Like a copy in place, a failed copy leaves an empty (or partial) working copy, not
    // the previous run's.
    installer::ScratchFile manifestCopy(installer::kPackageManifestCopy, 0644);
    const std::string manifest = r.d.fwDir + "/" + package_format::kManifestName;
    const bool copied =
        manifestCopy.valid() &&
        !installer::refusalOf(
            package_format::checkManifestFile(package_format::entryKindOf(manifest))) &&
        qvsystemtools::copyFile(manifest, manifestCopy.path()) == qvsystemtools::TOOL_OK;
    const bool placed = manifestCopy.putInPlace();
    return copied && placed ? KivraInstaller::Success : KivraInstaller::ManifestCopyError;
}

Error checkPackageSignature(InstallRun& r) {
    return asError(installer::checkPackageSignature(r.d));
}

Error readManifest(InstallRun& r) { return r.installer.readPackageManifest(); }

Error checkProductType(InstallRun& r) { return asError(r.installer.checkProductType()); }

Error readPackageVersion(InstallRun& r) {
    if (const auto refusal = installer::refusalOf(package_format::checkVersion(r.d.manifest))) {
        return refusal->code;
    }
    r.d.version = r.d.manifest.at(package_format::kVersionKey);
    return KivraInstaller::Success;
}

Error preInstallRun(InstallRun& r) { return asError(r.installer.preInstallRun()); }

Error checkRmUpdate(InstallRun& r) { return r.installer.checkRmUpdateNeeded(r.rmUpdateNeeded); }

Error checkDowngrade(InstallRun& r) { return asError(r.installer.checkDowngrade()); }

Error checkUpgrade(InstallRun& r) { return asError(r.installer.checkUpgrade()); }

Error installFirmware(InstallRun& r) {
    r.writes.emplace(r.d.fwImagesDir, r.d.tempDir);
    return asError(r.installer.installFirmware());
}

// The boot procedure reads the version record with the staged images: an update sent to
// the boot loader with an empty or cut version file is not a success.
Error writeVersionRecord(InstallRun& r) {
    const std::string running = runningVersion();
    logInstall("Currently running KIVRA version " + running + " and installing " + r.d.version);
    const std::pair<std::string, const std::string&> versions[] = {
        {r.d.fwImagesDir + "/version1.txt", running},
        {r.d.fwImagesDir + "/version2.txt", r.d.version}};
    for (const auto& [path, text] : versions) {
        if (qvsystemtools::writeFile(text, path) != qvsystemtools::TOOL_OK) {
            return failWith(r, KivraInstaller::FileError, "Unable to write file " + path);
        }
    }
    return KivraInstaller::Success;
}

// The boot environment is about to say that staged images are waiting: they must be on the
// data partition before the flag is, or a power cut in between would boot into images that
// never reached the disk.
Error syncDataPartition(InstallRun& r) {
    if (!r.writes || r.writes->flush() != 0) {
        return failWith(r, KivraInstaller::FileError, "Unable to sync " + r.d.fwImagesDir);
    }
    return KivraInstaller::Success;
}

Error getBootPartition(InstallRun& r) {
    const Error code = KivraInstaller::getBootPartition(r.nextPartition);
    if (code == KivraInstaller::Success) {
        logInstall("  - KivraInstaller::install: Next boot partition: " +
                   std::to_string(r.nextPartition));
    }
    return code;
}

Error setUpdateFlag(InstallRun& r) {
    r.flagWritten = true;
    if (!qvcommontools::setEnvValue(installer::kUpdateFlag, installer::kUpdatePending,
                                    r.nextPartition, r.d.lastError)) {
        return KivraInstaller::EnvironmentError;
    }
    return KivraInstaller::Success;
}

// Only for the log: what the environment tool now reports for that partition.
Error logEnvironment(InstallRun& r) {
    const std::string partition = std::to_string(r.nextPartition);
    const std::string environment =
        qvsystemtools::execCommand("envupdater -u -p " + partition + " fwupdate_flag");
    logInstall("  - KivraInstaller::install: Environment " + partition + " contains " +
               environment);
    return KivraInstaller::Success;
}

// Only a device told its next boot partition has one to select.
Error updateBootConfig(InstallRun& r) {
    if (r.nextPartition == -1) {
        return KivraInstaller::Success;
    }
    logInstall("  - KivraInstaller::install: Update boot config ");
    return qvcommontools::updateBootConfig(r.nextPartition) ? KivraInstaller::Success
                                                            : KivraInstaller::FileError;
}

Error syncAll(InstallRun&) {
    ::sync();
    return KivraInstaller::Success;
}

// A lock that cannot be removed is reported, and the install still succeeds: the run
// driver's end clears it again.
Error unlock(InstallRun& r) {
    if (!r.d.session->unlock()) {
        r.d.lastError = std::string("Unable to remove file ") + installer::kLockPath;
        InstallerErr(KivraInstaller::UnlockError, r.d.lastError, installer::origin("install"))
            .log();
    }
    return KivraInstaller::Success;
}

// A run that ends with status 1 leaves no flag set: the staging directory it stands over may
// be complete, but the boot configuration that goes with it is not. Only a flag that reads
// set is cleared (a write that never reached the flash leaves nothing to clear, and nothing
// to say); said only when the clearing fails.
void clearUpdateFlag(InstallRun& r) {
    std::string flag;
    if (!qvcommontools::getEnvValue(installer::kUpdateFlag, flag) ||
        flag != installer::kUpdatePending) {
        return;
    }
    std::string text;
    if (!qvcommontools::setEnvValue(installer::kUpdateFlag, installer::kNoUpdatePending,
                                    r.nextPartition, text)) {
        InstallerErr(KivraInstaller::EnvironmentError, text, installer::origin("install")).log();
    }
}

using installer::StopRule;

// The install, top to bottom. A new step is one row here and one function above.
const installer::InstallStep kSteps[] = {
    {"show_done_status", nullptr, showDone, nullptr, StopRule::SafePoint},
    {"show_do_not_disconnect_status", nullptr, showDoNotDisconnect, nullptr, StopRule::SafePoint},
    {"stop_services", "  - KivraInstaller::install: Stop Services", stopServices,
     "Unable to stop services", StopRule::SafePoint},
    {"copy_manifest", "  - KivraInstaller::install: Copy Manifest", copyManifest,
     "Manifest copy to tmp failed", StopRule::SafePoint},
    // Logs its own line, and only where the device holds trust anchors: without them the run
    // is as it always was.
    {"check_package_signature", nullptr, checkPackageSignature, installer::kSignatureStepFailure,
     StopRule::NoSafePoint},
    {"read_manifest", "  - KivraInstaller::install: Read Manifest", readManifest,
     "Manifest read failed", StopRule::SafePoint},
    {"check_product_type", "  - KivraInstaller::install: Check product type", checkProductType,
     "Product Type check failed", StopRule::SafePoint},
    {"read_package_version", "  - KivraInstaller::install: Check manifest content",
     readPackageVersion, "Manifest check failed", StopRule::SafePoint},
    {"pre_install_run", "  - KivraInstaller::install: Pre install run", preInstallRun,
     "Pre Install Run failed", StopRule::SafePoint},
    {"check_rm_update", "  - KivraInstaller::install: Check if RM update need ", checkRmUpdate,
     "RM update check failed", StopRule::SafePoint},
    {"check_downgrade", nullptr, checkDowngrade, "Downgrade check failed", StopRule::NoSafePoint},
    {"check_upgrade", nullptr, checkUpgrade, "Upgrade check failed", StopRule::NoSafePoint},
    {"install_firmware", "  - KivraInstaller::install: Install firmware ", installFirmware,
     "Firmware install failed", StopRule::SafePoint},
    {"write_version_record", nullptr, writeVersionRecord, nullptr, StopRule::NoSafePoint},
    {"sync_data_partition", nullptr, syncDataPartition, nullptr, StopRule::NoSafePoint},
    {"get_boot_partition", "  - KivraInstaller::install: Get boot partition ", getBootPartition,
     "Getting boot partition failed", StopRule::SafePoint},
    // The last safe point. From the environment write on, the run completes: a stop in the
    // middle of it could leave neither copy good, and one right after it a flag that points
    // at the images without the boot partition that goes with them.
    {"set_update_flag", "  - KivraInstaller::install: Set environment flag ", setUpdateFlag,
     nullptr, StopRule::HoldFromHere},
    {"log_environment", nullptr, logEnvironment, nullptr, StopRule::NoSafePoint},
    {"update_boot_config", nullptr, updateBootConfig, "Boot config update failed",
     StopRule::NoSafePoint},
    {"sync", nullptr, syncAll, nullptr, StopRule::NoSafePoint},
    {"unlock", "  - KivraInstaller::install: Unlock", unlock, nullptr, StopRule::NoSafePoint},
};

}  // namespace

namespace installer {

const InstallStep* InstallSteps::begin() const { return std::begin(kSteps); }
const InstallStep* InstallSteps::end() const { return std::end(kSteps); }

InstallSteps installSteps() { return InstallSteps{}; }

}  // namespace installer

KivraInstaller::Error KivraInstaller::install(bool& rmUpdateNeeded) {
    Impl& d = *impl_;
    installer::InstallRun r{*this, d, rmUpdateNeeded, std::nullopt, -1};
    // Held from the row that says so to the end of the install.
    std::optional<installer::HeldStopSignals> held;
    const installer::InstallSteps steps = installer::installSteps();
    Error result = Success;
    // The image installation is the step whose bytes take the time: the progress file gives
    // it most of its bar.
    const auto images = std::find_if(steps.begin(), steps.end(), [](const auto& step) {
        return std::string(step.name) == "install_firmware";
    });
    d.progress.plan(steps.size(), static_cast<int>(images - steps.begin()) + 1);
    try {
        int number = 0;
        for (const installer::InstallStep& step : steps) {
            ++number;
            // Reported before the safe point: a stop there is this step's failure.
            d.progress.step(number, step.name);
            if (d.stepHook) {
                d.stepHook(step, number, steps.size());
            }
            if (step.stop != installer::StopRule::NoSafePoint) {
                const std::string reason = installer::stopReason();
                if (!reason.empty()) {
                    result = failWith(r, Failure, reason);
                    break;
                }
            }
            if (step.line != nullptr) {
                logInstall(step.line);
            }
            if (step.stop == installer::StopRule::HoldFromHere) {
                held.emplace();
            }
            d.lastCode = step.run(r);
            if (d.lastCode != Success) {
                if (step.failure != nullptr) {
                    d.lastError = step.failure;
                }
                result = static_cast<Error>(d.lastCode);
                break;
            }
        }
        if (result != Success) {
            InstallerErr(result, d.lastError, installer::origin("install")).log();
        }
    } catch (...) {
        // An unexpected failure (out of memory) ends the install without a line of its own.
        result = Failure;
    }
    if (result != Success && r.flagWritten) {
        clearUpdateFlag(r);
    }
    if (result != Success && installer::stopSignal() != 0) {
        // Stopped on request, the install does not go on: the status must not keep asking
        // not to disconnect. Nothing more can be done if /tmp refuses it too.
        (void)qvcommontools::writeFwStatus("1:DONE");
    }
    // After a failed step the lock stays held until the run's session ends, which the run
    // driver lets happen only once the log is complete.
    return result;
}

}  // namespace KIVRA
