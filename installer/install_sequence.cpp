#include <unistd.h>

#include "installer/image_classes.h"
#include "installer/install_lock.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "installer/scratch_file.h"
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

const char* const kFwManifestCopy = "/tmp/fw_manifest.txt";
const char* const kRunningManifest = "/tmp/manifest.txt";
const char* const kVersionKey = "KIVRA_VERSION";

std::string runningVersion() {
    std::string text;
    if (!qvsystemtools::isFile(kRunningManifest) ||
        qvsystemtools::readFile(text, kRunningManifest) != qvsystemtools::TOOL_OK) {
        return std::string();
    }
    const std::string key = std::string(kVersionKey) + "=";
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
    // Checks a sub-step: keeps its code, words the sequence's own failure, aborts on non-zero.
    auto check = [&](int code, const char* failure) {
        d.lastCode = code;
        d.lastError = failure;
        InstallerErr::throwIf(static_cast<Error>(d.lastCode), d.lastError, origin);
    };
    const int result = installer::runStep([&] {
        qvcommontools::writeFwStatus("1:DONE");
        ::sleep(2);
        qvcommontools::writeFwStatus("2:<font color=red><b>Do not disconnect.</b></font>");
        ::sleep(2);

        logInstall("  - KivraInstaller::install: Stop Services");
        check(stopServices(), "Unable to stop services");

        logInstall("  - KivraInstaller::install: Copy Manifest");
        // The working copy is made privately and then given its name: a link planted at its
        // name in world-writable /tmp would otherwise have the package manifest written
        // over whatever file it points to.
        // Like a copy in place, a failed copy leaves an empty (or partial) working copy, not
        // the previous run's.
        installer::ScratchFile manifestCopy(kFwManifestCopy, 0644);
        const std::string manifest = d.fwDir + "/" + installer::kManifestName;
        const bool copied =
            manifestCopy.valid() && !installer::isSpecialEntry(manifest) &&
            qvsystemtools::copyFile(manifest, manifestCopy.path()) == qvsystemtools::TOOL_OK;
        const bool placed = manifestCopy.putInPlace();
        if (!copied || !placed) {
            d.lastError = "Manifest copy to tmp failed";
            installer::raise(ManifestCopyError, d.lastError, origin);
        }

        logInstall("  - KivraInstaller::install: Read Manifest");
        check(readPackageManifest(), "Manifest read failed");

        logInstall("  - KivraInstaller::install: Check product type");
        check(checkProductType(), "Product Type check failed");

        logInstall("  - KivraInstaller::install: Check manifest content");
        const auto versionEntry = d.manifest.find(kVersionKey);
        if (versionEntry == d.manifest.end()) {
            d.lastError = "Manifest check failed";
            installer::raise(ManifestError, d.lastError, origin);
        }
        d.version = versionEntry->second;

        logInstall("  - KivraInstaller::install: Pre install run");
        check(preInstallRun(), "Pre Install Run failed");

        logInstall("  - KivraInstaller::install: Check if RM update need ");
        check(checkRmUpdateNeeded(rmUpdateNeeded), "RM update check failed");

        check(checkDowngrade(), "Downgrade check failed");
        check(checkUpgrade(), "Upgrade check failed");

        logInstall("  - KivraInstaller::install: Install firmware ");
        check(installFirmware(), "Firmware install failed");

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
        check(getBootPartition(nextPartition), "Getting boot partition failed");
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
                d.lastError = "Boot config update failed";
                installer::raise(FileError, d.lastError, origin);
            }
        }

        ::sync();

        logInstall("  - KivraInstaller::install: Unlock");
        if (!d.lock.release()) {
            d.lastError = std::string("Unable to remove file ") + installer::kLockPath;
            InstallerErr(UnlockError, d.lastError, origin).log();
        }
    });
    // Released already unless a step failed; a lock this run never held is not its to remove.
    (void)d.lock.release();
    return result;
}

}  // namespace KIVRA
