#include <cstdlib>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "package_format/manifest_keys.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/command.h"
#include "qvsystemtools/dir_ops.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {

namespace {

const char* const kRadioVariable = "KIVRA_RADIO0";
const char* const kCarrierVariable = "KIVRA_RMID";
const char* const kRmStore = "/mnt/hda1/system/rmstore";
const char* const kMountPoint = "/tmp/kivrainstaller_mnt";
const char* const kSkipMarker = "/tmp/rmupskip";

// The carrier names one directory of the store. It comes from the command line or the
// environment, so a value with a path separator or a dot directory could reach images
// outside the store; such a carrier simply has no image there.
bool isStoreEntryName(const std::string& carrier) {
    return carrier != "." && carrier != ".." && carrier.find('/') == std::string::npos;
}

// Unmounts the image on every path out of the read once the mount has succeeded.
class StoreMount {
public:
    StoreMount() = default;
    ~StoreMount() {
        if (mounted_) {
            bool executed = false;
            // "-d" also frees the loop device; there is nothing useful to do if it fails.
            (void)qvsystemtools::runCommand(
                std::string("umount -d ") + qvsystemtools::shellQuote(kMountPoint), executed);
        }
    }
    StoreMount(const StoreMount&) = delete;
    StoreMount& operator=(const StoreMount&) = delete;

    // Mounts image read-only on the mount point; the paths reach the shell quoted, since
    // the image name comes from a directory listing.
    [[nodiscard]] bool mount(const std::string& image) {
        bool executed = false;
        const std::string command = std::string("mount -r -t iso9660") + " " +
                                    qvsystemtools::shellQuote(image) + " " +
                                    qvsystemtools::shellQuote(kMountPoint);
        mounted_ = qvsystemtools::runCommand(command, executed) == 0 && executed;
        return mounted_;
    }

private:
    bool mounted_ = false;
};

}  // namespace

KivraInstaller::Error KivraInstaller::getRmIdentifier(std::string& id) {
    const std::string origin = installer::origin("getRmIdentifier");
    Impl& d = *impl_;
    return installer::runStep([&] {
        d.radioModule = installer::requiredEnv(d, kRadioVariable, origin);
        if (d.carrier.empty()) {
            d.carrier = installer::requiredEnv(d, kCarrierVariable, origin);
        }
        id = d.radioModule + "_" + d.carrier;
    });
}

KivraInstaller::Error KivraInstaller::readInstalledRmManifest() {
    const std::string origin = installer::origin("readInstalledRmManifest");
    Impl& d = *impl_;
    // Declared outside the step so the image is unmounted after the failure line is logged.
    StoreMount storeMount;
    return installer::runStep([&] {
        if (d.carrier.empty()) {
            installer::fail(d, RmStoreError, "Firmware Carrier not set", origin);
        }
        if (!isStoreEntryName(d.carrier)) {
            installer::fail(d, RmStoreError, "Firmware not found in store", origin);
        }
        const std::string carrierDir = std::string(kRmStore) + "/" + d.carrier;
        std::string image;
        std::string searchError;
        if (!qvsystemtools::findFile(carrierDir, {".iso"}, image, searchError)) {
            installer::fail(d, RmStoreError, searchError, origin);
        }
        if (image.empty()) {
            installer::fail(d, RmStoreError, "Firmware not found in store", origin);
        }
        if (!qvsystemtools::isFile(image)) {
            installer::fail(d, RmStoreError, "Invalid firmware in store", origin);
        }
        if (qvsystemtools::forceCreateDir(kMountPoint, qvsystemtools::kEmptyExistingDir) !=
            qvsystemtools::TOOL_OK) {
            installer::fail(d, RmStoreError, std::string("Unable to create ") + kMountPoint,
                            origin);
        }
        if (!storeMount.mount(image)) {
            installer::fail(d, RmStoreError, "Unable to mount store firmware", origin);
        }
        const std::string manifestPath = std::string(kMountPoint) + "/etc/manifest.txt";
        if (!qvsystemtools::isFile(manifestPath)) {
            installer::fail(d, RmStoreError, "Invalid manifest in mounted firmware", origin);
        }
        installer::check(d, readManifest(manifestPath, d.rmManifest),
                         "Stored Firmware Manifest read failed", origin);
    });
}

KivraInstaller::Error KivraInstaller::checkRmUpdateNeeded(bool& needed) {
    const std::string origin = installer::origin("checkRmUpdateNeeded");
    Impl& d = *impl_;
    needed = false;
    try {
        if (qvsystemtools::isFile(kSkipMarker)) {
            installer::fail(d, Success, "RM Update Skipped (set by user)", origin);
        }
        std::string id;
        installer::check(d, getRmIdentifier(id), "Unable to get RM identifier", origin);
        const std::string versionKey = id + package_format::kRadioVersionSuffix;
        const std::string digestKey = id + package_format::kRadioDigestSuffix;
        std::string storedVersion;
        std::string storedDigest;
        if (readInstalledRmManifest() == Success) {
            // A missing key has been logged; without a version there is nothing to compare,
            // and the check ends as failed without its flag.
            (void)getManifestValue(versionKey, d.rmManifest, storedVersion);
            if (storedVersion.empty()) {
                qvcommontools::logInstall(origin + "checkRmUpdateNeeded failed");
                return Success;
            }
            // The manifest keeps the version between its quotes; the image name does not.
            const std::string bare = storedVersion.substr(1, storedVersion.size() - 2);
            const std::string storedImage =
                std::string(kRmStore) + "/" + d.carrier + "/" + d.radioModule + "_" + bare + ".iso";
            d.lastCode = getMd5Sum(storedImage, storedDigest);
            if (d.lastCode != Success) {
                qvcommontools::logInstall(
                    "Unable to calculate MD5 checksum of current image in radio store");
            }
        }
        std::string packageVersion;
        installer::check(d, getManifestValue(versionKey, d.manifest, packageVersion),
                         "Unable to get Package RM version", origin);
        if (packageVersion != storedVersion) {
            needed = true;
        } else {
            std::string packageDigest;
            installer::check(d, getManifestValue(digestKey, d.manifest, packageDigest),
                             "Unable to get Package RM MD5 Sum", origin);
            if (packageDigest != storedDigest) {
                needed = true;
            }
        }
    } catch (const qvcommontools::InstallerErr& err) {
        err.log();
        qvcommontools::logInstall(origin + "checkRmUpdateNeeded failed");
    } catch (...) {
        qvcommontools::logInstall(origin + "checkRmUpdateNeeded failed");
    }
    return Success;
}

}  // namespace KIVRA
