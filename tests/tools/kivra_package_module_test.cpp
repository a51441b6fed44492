// The Mender update module kivra-package, run directly with a files tree laid out as the
// Mender client (update module protocol v3) hands it over, against a stand-in installer that
// records what it was given.

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::ProcessResult;
using testing::readBytes;
using testing::writeBytes;

const std::string kKvtemp = "/mnt/hda1/Kvtemp";
const std::string kPackageDir = kKvtemp + "/mender-package";
const std::string kStateFile = kKvtemp + "/kivra-package.state";

class KivraPackageModule : public testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(::mkdir("/mnt/hda1", 0755), 0);
        ASSERT_EQ(::mkdir(kKvtemp.c_str(), 0755), 0);
        tree_ = tempDir() / "tree";
        calls_ = tempDir() / "calls";
        ASSERT_EQ(::mkdir(tree_.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((tree_ + "/header").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((tree_ + "/files").c_str(), 0755), 0);
        writeBytes(tree_ + "/header/artifact_name", "3.2.0");
        payload("manifest.txt", "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=3.2.0\n");
        payload("rootfs.sqfs", testing::randomBytes(5000, 1));
        // The stand-in records its arguments and the package directory as it found it, then
        // prints the lines and exits with the status the test chose.
        installer_ = tempDir() / "qvinstaller";
        writeBytes(installer_,
                   "#!/bin/sh\n"
                   "{ printf '%s|' \"$@\"; echo; ls \"$1\" | tr '\\n' ' '; echo; } >>" +
                       calls_ +
                       "\n"
                       "printf '%b' \"${FAKE_OUTPUT-}\"\n"
                       "exit \"${FAKE_STATUS:-0}\"\n");
        ASSERT_EQ(::chmod(installer_.c_str(), 0755), 0);
    }

    void payload(const std::string& name, const std::string& data) {
        writeBytes(tree_ + "/files/" + name, data);
    }

    ProcessResult module(const std::string& state, std::vector<std::string> env = {}) {
        // First, so a case may name another installer.
        env.insert(env.begin(), "QVINSTALLER=" + installer_);
        return testing::runProcess(
            {testing::sourcePath("tools/mender/kivra-package"), state, tree_}, env);
    }

    std::string calls() const { return exists(calls_) ? readBytes(calls_) : std::string(); }

    std::string tree_;
    std::string calls_;
    std::string installer_;
};

TEST_F(KivraPackageModule, AnswersTheClientsQuestions) {
    for (const auto& [state, answer] : std::vector<std::pair<std::string, std::string>>{
             {"NeedsArtifactReboot", "Yes\n"}, {"SupportsRollback", "No\n"}}) {
        const ProcessResult result = module(state);
        EXPECT_EQ(result.exitStatus, 0) << state;
        EXPECT_EQ(result.out, answer) << state;
    }
}

struct InstallCase {
    const char* what;
    std::vector<std::string> env;
    int moduleStatus;
    std::string call;            // the arguments the installer got
    std::string state;           // the state file afterwards ("" for none)
    std::string lastError;       // the module's standard error must end with these lines
    bool outputBlocked = false;  // a directory stands where the installer's output goes
};

TEST_F(KivraPackageModule, InstallRunsTheInstallerOnTheUnpackedPackageAndMapsItsStatus) {
    const std::string carrierFile = tempDir() / "carrier";
    writeBytes(carrierFile, "TELCO2\r\nsecond line\n");
    const std::string dir = kPackageDir + "|";
    const std::string out = tree_ + "/tmp/qvinstaller.out";
    const std::vector<InstallCase> cases = {
        {"success, carrier from the environment",
         {"KIVRA_CARRIER=TELCO1", "FAKE_STATUS=0"},
         0,
         dir + "TELCO1|",
         "version=3.2.0\nartifact=3.2.0\nrm_update_needed=no\n",
         ""},
        {"radio module update needed, carrier from the file",
         {"KIVRA_CARRIER_FILE=" + carrierFile, "FAKE_STATUS=2"},
         0,
         dir + "TELCO2|",
         "version=3.2.0\nartifact=3.2.0\nrm_update_needed=yes\n",
         "kivra-package: installed 3.2.0; the radio module needs an update\n"},
        // The radio store's error line never stops a run; the failing step and its cause
        // are the closing error lines.
        {"failure after the radio store's error line, no carrier at all",
         {"KIVRA_CARRIER_FILE=/nonexistent", "FAKE_STATUS=1",
          "FAKE_OUTPUT=[KivraInstaller::readInstalledRmManifest] Unable to mount store firmware "
          "(err 7)\\nchecked\\n[KivraInstaller::installFirmware] MD5 check failed for uImage "
          "(err 4)\\n[KivraInstaller::install] Firmware install failed (err 4)\\n[qvinstaller] "
          "[qvinstaller] Install failed (err 4)\\n> [qvinstaller] Error\\n"},
         1,
         dir,
         "",
         "[KivraInstaller::installFirmware] MD5 check failed for uImage (err 4)\n"
         "[KivraInstaller::install] Firmware install failed (err 4)\n"
         "[qvinstaller] [qvinstaller] Install failed (err 4)\n"
         "kivra-package: qvinstaller failed (status 1)\n"},
        {"installer missing",
         {"KIVRA_CARRIER=", "QVINSTALLER=/nonexistent/qvinstaller"},
         1,
         "",
         "",
         "kivra-package: qvinstaller failed (status 127)\n"},
        // A failed redirect of the output file gives the shell's status 2, never the
        // installer's "radio module needs an update".
        {"output file that cannot be created",
         {"KIVRA_CARRIER=", "FAKE_STATUS=0"},
         1,
         "",
         "",
         "kivra-package: cannot write " + out + ": qvinstaller did not run\n",
         true},
        // The installer would run its deprecated dry run, exit 0 and install nothing.
        {"carrier that is an option, from the environment",
         {"KIVRA_CARRIER=--dry-run", "FAKE_STATUS=0"},
         1,
         "",
         "",
         "kivra-package: refused carrier \"--dry-run\": qvinstaller would take it for an "
         "option\n"},
    };
    for (const InstallCase& c : cases) {
        SCOPED_TRACE(c.what);
        (void)::unlink(calls_.c_str());
        (void)::unlink(kStateFile.c_str());
        ASSERT_EQ(testing::runProcess({"/bin/rm", "-rf", tree_ + "/tmp"}).exitStatus, 0);
        if (c.outputBlocked) {
            ASSERT_EQ(testing::runProcess({"/bin/mkdir", "-p", out}).exitStatus, 0);
        }
        const ProcessResult result = module("ArtifactInstall", c.env);
        EXPECT_EQ(result.exitStatus, c.moduleStatus) << result.err;
        EXPECT_EQ(calls(), c.call.empty() ? "" : c.call + "\nmanifest.txt rootfs.sqfs \n");
        EXPECT_EQ(exists(kStateFile) ? readBytes(kStateFile) : "", c.state);
        const std::string& err = result.err;
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), c.lastError.size())), c.lastError)
            << err;
        EXPECT_FALSE(exists(kPackageDir));
    }
}

// The client's log shows how far the installer has come while it runs and how it ended; the
// line another run left before this one started is not this run's.
TEST_F(KivraPackageModule, LogShowsThisRunsProgressLinesWhileItRuns) {
    writeBytes("/tmp/fw_progress", "state=done status=0 percent=100\n");
    const std::string write = " >/tmp/p.new && mv /tmp/p.new /tmp/fw_progress\n";
    writeBytes(installer_,
               "#!/bin/sh\necho 'state=running step=12 steps=20 name=install_firmware "
               "percent=40'" +
                   write + "sleep 3\necho 'state=failed status=1 step=12'" + write + "exit 1\n");
    const ProcessResult result =
        module("ArtifactInstall", {"KIVRA_CARRIER=", "KIVRA_PROGRESS_INTERVAL=1"});
    EXPECT_EQ(result.err.substr(0, result.err.find("kivra-package: qvinstaller failed")),
              "kivra-package: progress: state=running step=12 steps=20 name=install_firmware "
              "percent=40\nkivra-package: progress: state=failed status=1 step=12\n");
}

TEST_F(KivraPackageModule, InventoryReportsTheRecordedInstall) {
    const std::vector<std::string> inventory = {
        testing::sourcePath("tools/mender/mender-inventory-kivra")};
    EXPECT_EQ(testing::runProcess(inventory).out, "");
    ASSERT_EQ(module("ArtifactInstall", {"KIVRA_CARRIER=", "FAKE_STATUS=2"}).exitStatus, 0);
    const ProcessResult result = testing::runProcess(inventory);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "kivra_installed_version=3.2.0\nkivra_rm_update_needed=yes\n");
}

TEST_F(KivraPackageModule, InstallAgainAfterACutStartsFromAFreshCopyOfThePayload) {
    // What a power cut in the middle of a first run left: a part of the package and a file
    // the installer never got to.
    ASSERT_EQ(::mkdir(kPackageDir.c_str(), 0700), 0);
    writeBytes(kPackageDir + "/stale.bin", "old");
    writeBytes(kPackageDir + "/manifest.txt", "KIVRA_VERSION=9.9.9\n");
    for (int run = 0; run < 2; ++run) {
        const ProcessResult result = module("ArtifactInstall", {"KIVRA_CARRIER="});
        EXPECT_EQ(result.exitStatus, 0) << result.err;
    }
    EXPECT_EQ(calls(), std::string(kPackageDir + "|\nmanifest.txt rootfs.sqfs \n") + kPackageDir +
                           "|\nmanifest.txt rootfs.sqfs \n");
    EXPECT_EQ(readBytes(kStateFile), "version=3.2.0\nartifact=3.2.0\nrm_update_needed=no\n");
}

TEST_F(KivraPackageModule, InstallRefusesPayloadsThatAreNotPlainFilesOrDoNotFit) {
    struct Refusal {
        const char* what;
        std::function<void()> make;
        std::string message;
    };
    const std::string files = tree_ + "/files";
    const std::vector<Refusal> cases = {
        {"a link", [&] { ASSERT_EQ(::symlink("/etc/passwd", (files + "/uImage").c_str()), 0); },
         "kivra-package: refused payload file uImage: a link\n"},
        {"a named pipe", [&] { ASSERT_EQ(::mkfifo((files + "/uImage").c_str(), 0600), 0); },
         "kivra-package: refused payload file uImage: not a regular file\n"},
        {"a directory", [&] { ASSERT_EQ(::mkdir((files + "/sub").c_str(), 0755), 0); },
         "kivra-package: refused payload file sub: not a regular file\n"},
        {"a name with a blank", [&] { writeBytes(files + "/a b", "x"); },
         "kivra-package: refused payload file name: a b\n"},
        {"a package that fits, but not once more its largest file staged",
         [&] {
             ASSERT_EQ(::mount("qvtest-small", kKvtemp.c_str(), "tmpfs", 0, "size=384k"), 0);
             payload("rootfs.sqfs", testing::randomBytes(200 * 1024, 2));
         },
         ""},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        const ProcessResult result = module("ArtifactInstall", {"KIVRA_CARRIER="});
        EXPECT_EQ(result.exitStatus, 1);
        if (!c.message.empty()) {
            EXPECT_EQ(result.err, c.message);
        } else {
            EXPECT_NE(result.err.find("kivra-package: the install needs 409620 bytes (the "
                                      "package and its largest file staged); the data "
                                      "partition has "),
                      std::string::npos)
                << result.err;
        }
        EXPECT_EQ(calls(), "");
        EXPECT_FALSE(exists(kPackageDir));
        EXPECT_FALSE(exists(kStateFile));
        ASSERT_EQ(testing::runProcess({"/bin/rm", "-rf", files}).exitStatus, 0);
        ASSERT_EQ(::mkdir(files.c_str(), 0755), 0);
        payload("manifest.txt", "KIVRA_VERSION=3.2.0\n");
    }
    ASSERT_EQ(testing::runProcess({"/bin/rm", "-rf", tree_ + "/files"}).exitStatus, 0);
    const ProcessResult none = module("ArtifactInstall", {"KIVRA_CARRIER="});
    EXPECT_EQ(none.exitStatus, 1);
    EXPECT_EQ(none.err, "kivra-package: the artifact carries no package files\n");
}

TEST_F(KivraPackageModule, TheStagedImagesTheInstallerRemovesFirstCountAsRoom) {
    ASSERT_EQ(::mount("qvtest-small", "/mnt/hda1", "tmpfs", 0, "size=384k"), 0);
    ASSERT_EQ(::mkdir(kKvtemp.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir("/mnt/hda1/fwimages", 0700), 0);
    writeBytes("/mnt/hda1/fwimages/uImage", testing::randomBytes(150 * 1024, 3));
    payload("rootfs.sqfs", testing::randomBytes(130 * 1024, 2));
    const ProcessResult result = module("ArtifactInstall", {"KIVRA_CARRIER="});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(calls(), "");
}

TEST_F(KivraPackageModule, VerifyRebootComparesTheRunningVersionWithTheInstalledOne) {
    ProcessResult result = module("ArtifactVerifyReboot");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "kivra-package: no install recorded in " + kStateFile + "\n");
    ASSERT_EQ(module("ArtifactInstall", {"KIVRA_CARRIER="}).exitStatus, 0);
    writeBytes("/tmp/manifest.txt", "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=3.1.4\n");
    result = module("ArtifactVerifyReboot");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "kivra-package: running KIVRA version 3.1.4, installed 3.2.0: the new firmware "
              "did not boot\n");
    writeBytes("/tmp/manifest.txt", "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=3.2.0\n");
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(module("ArtifactVerifyReboot").exitStatus, 0);
    }
}

TEST_F(KivraPackageModule, FailureAndCleanupRemoveThePackageAndMayRunAgain) {
    for (const char* state : {"ArtifactFailure", "Cleanup"}) {
        SCOPED_TRACE(state);
        ASSERT_EQ(::mkdir(kPackageDir.c_str(), 0700), 0);
        writeBytes(kPackageDir + "/uImage", "part");
        for (int run = 0; run < 2; ++run) {
            const ProcessResult result = module(state);
            EXPECT_EQ(result.exitStatus, 0) << result.err;
            EXPECT_FALSE(exists(kPackageDir));
        }
    }
    // Rollback is not claimed: a client that asked anyway gets a failure, not a pretence.
    EXPECT_EQ(module("ArtifactRollback").exitStatus, 1);
    // The device can install again afterwards.
    EXPECT_EQ(module("ArtifactInstall", {"KIVRA_CARRIER="}).exitStatus, 0);
}

}  // namespace
}  // namespace KIVRA
