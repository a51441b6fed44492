#pragma once
// The firmware installer: one object per run, created by the run driver.
// Every step operation returns a KivraInstaller::Error value (0 on success). A step that
// fails logs one line, origin + message + " (err " + code + ")", and returns its code; an
// unexpected exception at a step's boundary gives Failure (1) without a line.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "qvcommontools/err.h"

namespace KIVRA {

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
    };

    using Manifest = std::map<std::string, std::string>;

    KivraInstaller();
    virtual ~KivraInstaller();
    KivraInstaller(const KivraInstaller&) = delete;
    KivraInstaller& operator=(const KivraInstaller&) = delete;

    // Takes the install lock, checks dir and empties the staging directory.
    // 0, LockExists (3), NotADirectory (6), WorkDirError (7), or 1.
    [[nodiscard]] int setFwDir(const std::string& dir);
    // Records the carrier given on the command line; never fails.
    void setFwCarrier(const std::string& carrier);
    // Runs the install sequence; sets rmUpdateNeeded when the radio module needs an update.
    [[nodiscard]] int install(bool& rmUpdateNeeded);

    // Opens path for output with truncation: 0, or FileError (5) when it cannot be opened.
    [[nodiscard]] static int createEmptyFile(const std::string& path);

    // Sequence steps (each returns an Error value).
    [[nodiscard]] int stopServices();
    [[nodiscard]] static int readManifest(const std::string& path, Manifest& table);
    [[nodiscard]] int readPackageManifest();
    [[nodiscard]] int getManifestValue(const std::string& key, const Manifest& table,
                                       std::string& value);
    [[nodiscard]] int getProductName(std::string& name);
    [[nodiscard]] int getProductType(std::string& type);
    [[nodiscard]] int checkProductType();
    [[nodiscard]] int checkDowngrade();
    [[nodiscard]] int checkUpgrade();
    [[nodiscard]] int preInstallRun();
    [[nodiscard]] int getRmIdentifier(std::string& id);
    [[nodiscard]] int readInstalledRmManifest();
    [[nodiscard]] int checkRmUpdateNeeded(bool& needed);
    [[nodiscard]] static int getMd5Sum(const std::string& path, std::string& digest);
    [[nodiscard]] static int md5sum(const std::string& path, const std::string& expected,
                                    bool& match);
    [[nodiscard]] int installFirmware();
    [[nodiscard]] static int getBootPartition(int& partition);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

namespace qvcommontools {
using InstallerErr = Err<KivraInstaller, KivraInstaller::Error>;
}  // namespace qvcommontools

}  // namespace KIVRA
