#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "installer/install_lock.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
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

// What every step of one install works with.
struct Run {
    KivraInstaller& installer;
    KivraInstaller::Impl& d;
    const std::string& origin;
};

// The steps as the progress file numbers and names them; the image installation is the one
// that takes the time.
constexpr int kStepCount = 20;
constexpr int kImageStep = 12;
const char* const kStepNames[kStepCount] = {"status_done",
                                            "status_do_not_disconnect",
                                            "stop_services",
                                            "copy_manifest",
                                            "read_manifest",
                                            "check_product_type",
                                            "check_manifest_content",
                                            "pre_install_run",
                                            "check_rm_update",
                                            "check_downgrade",
                                            "check_upgrade",
                                            "install_firmware",
                                            "version_record",
                                            "get_boot_partition",
                                            "next_boot_partition",
                                            "set_environment_flag",
                                            "environment_query",
                                            "update_boot_config",
                                            "sync",
                                            "unlock"};

// Every step, with a line or without, is reported as it begins (before its safe point, so a
// stop there is this step's failure).
void reachStep(const Run& r, int number) { r.d.progress.step(number, kStepNames[number - 1]); }

// Each step begins at a safe point: a stop signal that came meanwhile ends the run there.
void beginStep(const Run& r, int number, const char* line) {
    reachStep(r, number);
    installer::stopIfAsked(r.d, r.origin);
    logInstall(line);
}

// The device's web page polls the status file: each stage stays for 2 s so that the page
// shows it before the next one replaces it.
void showStatus(const Run& r, int number, const char* text) {
    reachStep(r, number);
    installer::stopIfAsked(r.d, r.origin);
    if (qvcommontools::writeFwStatus(text) == qvcommontools::StatusWrite::Failed) {
        installer::fail(r.d, KivraInstaller::FileError,
                        std::string("Unable to write file ") + qvcommontools::kFwStatusPath,
                        r.origin);
    }
    ::sleep(2);
}

void copyManifest(const Run& r) {
    beginStep(r, 4, "  - KivraInstaller::install: Copy Manifest");
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
    if (!copied || !placed) {
        installer::fail(r.d, KivraInstaller::ManifestCopyError, "Manifest copy to tmp failed",
                        r.origin);
    }
}

void readPackageVersion(const Run& r) {
    beginStep(r, 7, "  - KivraInstaller::install: Check manifest content");
    installer::refuseOn(r.d, package_format::checkVersion(r.d.manifest), r.origin);
    r.d.version = r.d.manifest.at(package_format::kVersionKey);
}

// The images, then the version record, and all of it flushed to the data partition.
void stageImages(const Run& r) {
    beginStep(r, kImageStep, "  - KivraInstaller::install: Install firmware ");
    // Opened before the first image is written: the flush below then reports every
    // write-back failure on the data partition since, which sync() would keep to itself.
    DataPartitionWrites writes(r.d.fwImagesDir, r.d.tempDir);
    installer::check(r.d, r.installer.installFirmware(), "Firmware install failed", r.origin);

    reachStep(r, 13);
    const std::string running = runningVersion();
    logInstall("Currently running KIVRA version " + running + " and installing " + r.d.version);
    // The boot procedure reads the version record with the staged images: an update
    // sent to the boot loader with an empty or cut version file is not a success.
    const std::pair<std::string, const std::string&> versions[] = {
        {r.d.fwImagesDir + "/version1.txt", running},
        {r.d.fwImagesDir + "/version2.txt", r.d.version}};
    for (const auto& [path, text] : versions) {
        if (qvsystemtools::writeFile(text, path) != qvsystemtools::TOOL_OK) {
            installer::fail(r.d, KivraInstaller::FileError, "Unable to write file " + path,
                            r.origin);
        }
    }
    // The boot environment is about to say that staged images are waiting: they must be
    // on the data partition before the flag is, or a power cut in between would boot
    // into images that never reached the disk.
    if (writes.flush() != 0) {
        installer::fail(r.d, KivraInstaller::FileError, "Unable to sync " + r.d.fwImagesDir,
                        r.origin);
    }
}

int nextBootPartition(const Run& r) {
    beginStep(r, 14, "  - KivraInstaller::install: Get boot partition ");
    int nextPartition = -1;
    installer::check(r.d, KivraInstaller::getBootPartition(nextPartition),
                     "Getting boot partition failed", r.origin);
    reachStep(r, 15);
    logInstall("  - KivraInstaller::install: Next boot partition: " +
               std::to_string(nextPartition));
    return nextPartition;
}

// Runs with the stop signals held: see install.
void setUpdateFlag(const Run& r, int nextPartition) {
    const std::string partition = std::to_string(nextPartition);
    if (!qvcommontools::setEnvValue("fwupdate_flag", "1", nextPartition, r.d.lastError)) {
        installer::raise(KivraInstaller::EnvironmentError, r.d.lastError, r.origin);
    }
    // Only for the log: what the environment tool now reports for that partition.
    reachStep(r, 17);
    const std::string environment =
        qvsystemtools::execCommand("envupdater -u -p " + partition + " fwupdate_flag");
    logInstall("  - KivraInstaller::install: Environment " + partition + " contains " +
               environment);

    if (nextPartition != -1) {
        reachStep(r, 18);
        logInstall("  - KivraInstaller::install: Update boot config ");
        if (!qvcommontools::updateBootConfig(nextPartition)) {
            installer::fail(r.d, KivraInstaller::FileError, "Boot config update failed", r.origin);
        }
    }
}

void unlock(const Run& r) {
    reachStep(r, 20);
    logInstall("  - KivraInstaller::install: Unlock");
    if (!r.d.lock.release()) {
        r.d.lastError = std::string("Unable to remove file ") + installer::kLockPath;
        InstallerErr(KivraInstaller::UnlockError, r.d.lastError, r.origin).log();
    }
}

}  // namespace

int KivraInstaller::install(bool& rmUpdateNeeded) {
    const std::string origin = installer::origin("install");
    Impl& d = *impl_;
    const Run r{*this, d, origin};
    d.progress.plan(kStepCount, kImageStep);
    const int result = installer::runStep([&] {
        showStatus(r, 1, "1:DONE");
        showStatus(r, 2, kDoNotDisconnect);

        beginStep(r, 3, "  - KivraInstaller::install: Stop Services");
        installer::check(d, stopServices(), "Unable to stop services", origin);

        copyManifest(r);

        beginStep(r, 5, "  - KivraInstaller::install: Read Manifest");
        installer::check(d, readPackageManifest(), "Manifest read failed", origin);

        beginStep(r, 6, "  - KivraInstaller::install: Check product type");
        installer::check(d, checkProductType(), "Product Type check failed", origin);

        readPackageVersion(r);

        beginStep(r, 8, "  - KivraInstaller::install: Pre install run");
        installer::check(d, preInstallRun(), "Pre Install Run failed", origin);

        beginStep(r, 9, "  - KivraInstaller::install: Check if RM update need ");
        installer::check(d, checkRmUpdateNeeded(rmUpdateNeeded), "RM update check failed", origin);

        reachStep(r, 10);
        installer::check(d, checkDowngrade(), "Downgrade check failed", origin);
        reachStep(r, 11);
        installer::check(d, checkUpgrade(), "Upgrade check failed", origin);

        stageImages(r);

        const int nextPartition = nextBootPartition(r);

        beginStep(r, 16, "  - KivraInstaller::install: Set environment flag ");
        // The last safe point. From the environment write on, the run completes: a stop in
        // the middle of it could leave neither copy good, and one right after it a flag that
        // points at the images without the boot partition that goes with them.
        const installer::HeldStopSignals held;
        setUpdateFlag(r, nextPartition);

        reachStep(r, 19);
        ::sync();

        unlock(r);
    });
    if (result != Success && installer::stopSignal() != 0) {
        // Stopped on request, the install does not go on: the status must not keep asking
        // not to disconnect. Nothing more can be done if /tmp refuses it too.
        (void)qvcommontools::writeFwStatus("1:DONE");
    }
    // After a failed step the lock stays held until the installer is destroyed (its one
    // owner, Impl::lock), which the run driver does only once the log is complete.
    return result;
}

}  // namespace KIVRA
