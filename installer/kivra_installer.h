#pragma once
// The firmware installer: one object per run, created by the run driver.
// Every step operation returns a KivraInstaller::Error value (0 on success). A step that
// fails logs one line, origin + message + " (err " + code + ")", and returns its code; an
// unexpected exception at a step's boundary gives Failure (1) without a line.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "qvcommontools/err.h"
#include "qvcommontools/fw_progress.h"

namespace KIVRA {

namespace installer {
class InstallSession;
struct InstallStep;
}  // namespace installer

class KivraInstaller {
public:
    enum Error : int32_t {
        Success = 0,
        Failure = 1,
        ProductMismatch = 2,
        LockExists = 3,
        Md5Mismatch = 4,
        FileError = 5,
        NotADirectory = 6,
        WorkDirError = 7,
        ManifestError = 8,
        EnvironmentError = 9,
        ManifestCopyError = 10,
        Md5FileError = 11,
        NtimInstallError = 12,
        FileInstallError = 13,
        RmStoreError = 15,
        UnlockError = 16,
        UnknownProduct = 17,
        ProductNotSupported = 18,
        // The package's signature or statement was refused where the device enforces
        // signatures (installer/package_signature.h).
        SignatureError = 19,
    };

    using Manifest = std::map<std::string, std::string>;

    // An installer with a session of its own (see installer/install_session.h).
    KivraInstaller();
    // An installer of the run whose lock and log session holds; session outlives it.
    explicit KivraInstaller(installer::InstallSession& session);
    virtual ~KivraInstaller();
    KivraInstaller(const KivraInstaller&) = delete;
    KivraInstaller& operator=(const KivraInstaller&) = delete;

    // Takes the install lock, checks dir and empties the staging directory.
    // A device with an update pending (fwupdate_flag=1) has the flag cleared first, so that
    // the flag never stands over the staging directory this run empties.
    // 0, LockExists (3), NotADirectory (6), WorkDirError (7), EnvironmentError (9), or 1.
    [[nodiscard]] Error setFwDir(const std::string& dir);
    // Records the carrier given on the command line; never fails.
    void setFwCarrier(const std::string& carrier);
    // Runs the install sequence (installer/install_sequence.h), row by row; sets
    // rmUpdateNeeded when the radio module needs an update. A failure after this run set the
    // boot environment flag clears it again.
    [[nodiscard]] Error install(bool& rmUpdateNeeded);
    // The run's progress file: the steps report to it; the run driver starts it once the
    // run holds the lock and ends it with the exit status.
    [[nodiscard]] qvcommontools::FwProgress& progress();

    // Called at the start of each row of the install sequence with its number (from 1) and
    // the number of rows, before its safe point and its progress line.
    using StepHook = std::function<void(const installer::InstallStep& step, int number, int count)>;
    void setStepHook(StepHook hook);

    // Sequence steps (each returns an Error value).
    [[nodiscard]] Error stopServices();
    [[nodiscard]] static Error readManifest(const std::string& path, Manifest& table);
    [[nodiscard]] Error readPackageManifest();
    [[nodiscard]] Error getManifestValue(const std::string& key, const Manifest& table,
                                         std::string& value);
    [[nodiscard]] int getProductName(std::string& name);
    [[nodiscard]] int getProductType(std::string& type);
    [[nodiscard]] int checkProductType();
    [[nodiscard]] int checkDowngrade();
    [[nodiscard]] int checkUpgrade();
    // Decrypts the package's init.sh into a private file renamed over /tmp/init.sh (mode
    // 0700; a link standing there is replaced) and runs it with /bin/sh. A script that cannot
    // be decrypted and put in place is not run. Failures are logged and give 0; 1 only for an
    // unexpected exception.
    [[nodiscard]] int preInstallRun();
    // radio module + "_" + carrier (the carrier read from KIVRA_RMID once, when not given).
    // 0, or EnvironmentError (9); id is unchanged on failure.
    [[nodiscard]] Error getRmIdentifier(std::string& id);
    // Mounts the carrier's stored image read-only on /tmp/kivrainstaller_mnt and reads its
    // /etc/manifest.txt into rmManifest; unmounts whenever the mount succeeded. 0,
    // RmStoreError (15; also for a carrier that would leave the store), ManifestError (8),
    // or 1. The mount point directory stays.
    [[nodiscard]] Error readInstalledRmManifest();
    // Sets needed when the package's radio-module version or digest differs from the stored
    // image's. Always 0: every failure is logged and leaves needed false.
    [[nodiscard]] Error checkRmUpdateNeeded(bool& needed);
    [[nodiscard]] static int getMd5Sum(const std::string& path, std::string& digest);
    [[nodiscard]] static int md5sum(const std::string& path, const std::string& expected,
                                    bool& match);
    // Decrypts images.md5 into the staging directory and installs every listed file in list
    // order: decrypted or copied, verified against its digest, U-Boot images checked for the
    // header magic, then the package file deleted. 0, Failure (1), Md5Mismatch (4),
    // Md5FileError (11; also for a name with "/" or a dot directory), NtimInstallError (12),
    // FileInstallError (13). No rollback: on failure the files installed before stay, their
    // package files stay deleted, and the failing entry's target may be partial.
    [[nodiscard]] int installFirmware();
    // The next boot partition from /tmp/boot_config: 0 or 1, or -1 when the file is absent.
    // 0, or FileError (5) for any other content, with partition unchanged.
    [[nodiscard]] static Error getBootPartition(int& partition);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

namespace qvcommontools {
using InstallerErr = Err<KivraInstaller, KivraInstaller::Error>;
}  // namespace qvcommontools

}  // namespace KIVRA
