#pragma once
// The installer's run data, shared by the step implementations.

#include <memory>
#include <optional>
#include <string>

#include "installer/install_session.h"
#include "installer/kivra_installer.h"
#include "package_format/statement.h"
#include "qvcommontools/fw_progress.h"

namespace KIVRA {

struct KivraInstaller::Impl {
    std::string fwDir;
    Manifest manifest;
    Manifest rmManifest;
    std::string radioModule;
    std::string carrier;
    std::string version;
    std::string fwImagesDir = std::string("/mnt/hda1") + "/fwimages";
    std::string tempDir = std::string("/mnt/hda1") + "/Kvtemp";
    std::string lastError;
    int32_t lastCode = 0;
    // The run's lock and log: the run driver's session, or this installer's own.
    std::unique_ptr<installer::InstallSession> ownSession;
    installer::InstallSession* session = nullptr;
    KivraInstaller::StepHook stepHook;
    // What the device's web page reads of this run ("/tmp/fw_progress").
    qvcommontools::FwProgress progress;
    // The verified package statement where the device enforces signatures: every package file
    // read afterwards is held to it (installer/package_signature.h). None elsewhere.
    std::optional<package_format::Statement> statement;
};

namespace installer {

// The boot environment variable that tells the boot procedure an update is staged, and its
// two values.
inline constexpr const char* kUpdateFlag = "fwupdate_flag";
inline constexpr const char* kUpdatePending = "1";
inline constexpr const char* kNoUpdatePending = "0";

// The package manifest's copy in /tmp: written by the install sequence, read by readManifest.
inline constexpr const char* kPackageManifestCopy = "/tmp/fw_manifest.txt";

// "[KivraInstaller::" + operation + "] "
std::string origin(const char* operation);

// Runs a step body under the installer's boundary rule: an Err is logged and its code
// returned, any other exception gives Failure without a line, a normal end gives 0.
template <typename Body>
KivraInstaller::Error runStep(Body&& body) {
    try {
        body();
        return KivraInstaller::Success;
    } catch (const qvcommontools::InstallerErr& err) {
        err.log();
        return err.getCode();
    } catch (...) {
        return KivraInstaller::Failure;
    }
}

// Throws the step's Err with code and message.
[[noreturn]] void raise(KivraInstaller::Error code, const std::string& message,
                        const std::string& origin);

// The step failure idiom, written once: message becomes the run's last error and the step's
// Err with code is thrown (runStep logs it and returns code).
[[noreturn]] void fail(KivraInstaller::Impl& d, KivraInstaller::Error code,
                       const std::string& message, const std::string& origin);

// A sub-step's result checked in one line: code and failure become the run's last ones, and a
// code other than Success is thrown as the step's Err with failure as its message.
void check(KivraInstaller::Impl& d, int code, const std::string& failure,
           const std::string& origin);

// "Stopped by <signal>" when a stop signal has come (see stop_signals.h), else empty.
[[nodiscard]] std::string stopReason();

// A safe point of the run: when a stop signal has come, the step fails with Failure and the
// stop reason, so the run ends as after any failed step.
void stopIfAsked(KivraInstaller::Impl& d, const std::string& origin);

// The value of the environment variable name; when it is not set, the step fails with
// EnvironmentError "Environment var <name> is missing".
[[nodiscard]] std::string requiredEnv(KivraInstaller::Impl& d, const char* name,
                                      const std::string& origin);

}  // namespace installer
}  // namespace KIVRA
