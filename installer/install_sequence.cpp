#include <unistd.h>

#include "installer/install_lock.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "installer/scratch_file.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "qvcommontools/boot_config.h"
#include "qvcommontools/env_value.h"
#include "qvcommontools/fw_status.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/command.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {

using qvcommontools::InstallerErr;
using qvcommontools::logInstall;

namespace {

const char* const kRunningManifest = "/tmp/manifest.txt";

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

int KivraInstaller::install(bool& rmUpdateNeeded) {
    const std::string origin = installer::origin("install");
    Impl& d = *impl_;
    const int result = installer::runStep([&] {
        qvcommontools::writeFwStatus("1:DONE");
        ::sleep(2);
        qvcommontools::writeFwStatus("2:<font color=red><b>Do not disconnect.</b></font>");
        ::sleep(2);

        logInstall("  - KivraInstaller::install: Stop Services");
        installer::check(d, stopServices(), "Unable to stop services", origin);

        logInstall("  - KivraInstaller::install: Copy Manifest");
        // The working copy is made privately and then given its name: a link planted at its
        // name in world-writable /tmp would otherwise have the package manifest written
        // over whatever file it points to.
        // Like a copy in place, a failed copy leaves an empty (or partial) working copy, not
        // the previous run's.
        installer::ScratchFile manifestCopy(installer::kPackageManifestCopy, 0644);
        const std::string manifest = d.fwDir + "/" + package_format::kManifestName;
        const bool copied =
            manifestCopy.valid() && !package_format::isSpecialEntry(manifest) &&
            qvsystemtools::copyFile(manifest, manifestCopy.path()) == qvsystemtools::TOOL_OK;
        const bool placed = manifestCopy.putInPlace();
        if (!copied || !placed) {
            installer::fail(d, ManifestCopyError, "Manifest copy to tmp failed", origin);
        }

        logInstall("  - KivraInstaller::install: Read Manifest");
        installer::check(d, readPackageManifest(), "Manifest read failed", origin);

        logInstall("  - KivraInstaller::install: Check product type");
        installer::check(d, checkProductType(), "Product Type check failed", origin);

        logInstall("  - KivraInstaller::install: Check manifest content");
        const auto versionEntry = d.manifest.find(package_format::kVersionKey);
        if (versionEntry == d.manifest.end()) {
            installer::fail(d, ManifestError, "Manifest check failed", origin);
        }
        d.version = versionEntry->second;

        logInstall("  - KivraInstaller::install: Pre install run");
        installer::check(d, preInstallRun(), "Pre Install Run failed", origin);

        logInstall("  - KivraInstaller::install: Check if RM update need ");
        installer::check(d, checkRmUpdateNeeded(rmUpdateNeeded), "RM update check failed", origin);

        installer::check(d, checkDowngrade(), "Downgrade check failed", origin);
        installer::check(d, checkUpgrade(), "Upgrade check failed", origin);

        logInstall("  - KivraInstaller::install: Install firmware ");
        installer::check(d, installFirmware(), "Firmware install failed", origin);

        const std::string running = runningVersion();
        logInstall("Currently running KIVRA version " + running + " and installing " + d.version);
        // The version record is informative for the boot procedure; a failure to write it
        // does not stop an otherwise good installation.
        (void)qvsystemtools::writeFile(running, d.fwImagesDir + "/version1.txt");
        (void)qvsystemtools::writeFile(d.version, d.fwImagesDir + "/version2.txt");
        // The boot environment is about to say that staged images are waiting: they must be
        // on the data partition before the flag is, or a power cut in between would boot
        // into images that never reached the disk.
        ::sync();

        logInstall("  - KivraInstaller::install: Get boot partition ");
        int nextPartition = -1;
        installer::check(d, getBootPartition(nextPartition), "Getting boot partition failed",
                         origin);
        const std::string partition = std::to_string(nextPartition);
        logInstall("  - KivraInstaller::install: Next boot partition: " + partition);

        logInstall("  - KivraInstaller::install: Set environment flag ");
        if (!qvcommontools::setEnvValue("fwupdate_flag", "1", nextPartition, d.lastError)) {
            installer::raise(EnvironmentError, d.lastError, origin);
        }
        // Only for the log: what the environment tool now reports for that partition.
        const std::string environment =
            qvsystemtools::execCommand("envupdater -u -p " + partition + " fwupdate_flag");
        logInstall("  - KivraInstaller::install: Environment " + partition + " contains " +
                   environment);

        if (nextPartition != -1) {
            logInstall("  - KivraInstaller::install: Update boot config ");
            if (!qvcommontools::updateBootConfig(nextPartition)) {
                installer::fail(d, FileError, "Boot config update failed", origin);
            }
        }

        ::sync();

        logInstall("  - KivraInstaller::install: Unlock");
        if (!d.lock.release()) {
            d.lastError = std::string("Unable to remove file ") + installer::kLockPath;
            InstallerErr(UnlockError, d.lastError, origin).log();
        }
    });
    // After a failed step the lock stays held until the installer is destroyed (its one
    // owner, Impl::lock), which the run driver does only once the log is complete.
    return result;
}

}  // namespace KIVRA
