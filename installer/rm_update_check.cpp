#include <cstdlib>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
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

int KivraInstaller::getRmIdentifier(std::string& id) {
    const std::string origin = installer::origin("getRmIdentifier");
    Impl& d = *impl_;
    return installer::runStep([&] {
        const char* radio = std::getenv(kRadioVariable);
        if (radio == nullptr) {
            d.lastError = std::string("Environment var ") + kRadioVariable + " is missing";
            installer::raise(EnvironmentError, d.lastError, origin);
        }
        d.radioModule = radio;
        if (d.carrier.empty()) {
            const char* carrier = std::getenv(kCarrierVariable);
            if (carrier == nullptr) {
                d.lastError = std::string("Environment var ") + kCarrierVariable + " is missing";
                installer::raise(EnvironmentError, d.lastError, origin);
            }
            d.carrier = carrier;
        }
        id = d.radioModule + "_" + d.carrier;
    });
}

int KivraInstaller::readInstalledRmManifest() {
    const std::string origin = installer::origin("readInstalledRmManifest");
    Impl& d = *impl_;
    auto fail = [&](Error code, const std::string& message) {
        d.lastError = message;
        installer::raise(code, d.lastError, origin);
    };
    // Declared outside the step so the image is unmounted after the failure line is logged.
    StoreMount storeMount;
    return installer::runStep([&] {
        if (d.carrier.empty()) {
            fail(RmStoreError, "Firmware Carrier not set");
        }
        if (!isStoreEntryName(d.carrier)) {
            fail(RmStoreError, "Firmware not found in store");
        }
        const std::string carrierDir = std::string(kRmStore) + "/" + d.carrier;
        std::string image;
        std::string searchError;
        if (!qvsystemtools::findFile(carrierDir, {".iso"}, image, searchError)) {
            fail(RmStoreError, searchError);
        }
        if (image.empty()) {
            fail(RmStoreError, "Firmware not found in store");
        }
        if (!qvsystemtools::isFile(image)) {
            fail(RmStoreError, "Invalid firmware in store");
        }
        if (qvsystemtools::forceCreateDir(kMountPoint, true) != qvsystemtools::TOOL_OK) {
            fail(RmStoreError, std::string("Unable to create ") + kMountPoint);
        }
        if (!storeMount.mount(image)) {
            fail(RmStoreError, "Unable to mount store firmware");
        }
        const std::string manifestPath = std::string(kMountPoint) + "/etc/manifest.txt";
        if (!qvsystemtools::isFile(manifestPath)) {
            fail(RmStoreError, "Invalid manifest in mounted firmware");
        }
        d.lastCode = readManifest(manifestPath, d.rmManifest);
        d.lastError = "Stored Firmware Manifest read failed";
        qvcommontools::InstallerErr::throwIf(static_cast<Error>(d.lastCode), d.lastError, origin);
    });
}

int KivraInstaller::checkRmUpdateNeeded(bool& needed) {
    const std::string origin = installer::origin("checkRmUpdateNeeded");
    Impl& d = *impl_;
    // The check never stops an installation: whatever goes wrong is logged and leaves the
    // flag unset.
    auto check = [&](int code, const char* failure) {
        d.lastCode = code;
        d.lastError = failure;
        qvcommontools::InstallerErr::throwIf(static_cast<Error>(d.lastCode), d.lastError, origin);
    };
    needed = false;
    try {
        if (qvsystemtools::isFile(kSkipMarker)) {
            d.lastError = "RM Update Skipped (set by user)";
            installer::raise(Success, d.lastError, origin);
        }
        std::string id;
        check(getRmIdentifier(id), "Unable to get RM identifier");
        const std::string versionKey = id + "_VERSION";
        const std::string digestKey = id + "_MD5";
        std::string storedVersion;
        std::string storedDigest;
        if (readInstalledRmManifest() == Success) {
            // A missing key has been logged; the empty version fails to cut below.
            (void)getManifestValue(versionKey, d.rmManifest, storedVersion);
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
        check(getManifestValue(versionKey, d.manifest, packageVersion),
              "Unable to get Package RM version");
        if (packageVersion != storedVersion) {
            needed = true;
        } else {
            std::string packageDigest;
            check(getManifestValue(digestKey, d.manifest, packageDigest),
                  "Unable to get Package RM MD5 Sum");
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
