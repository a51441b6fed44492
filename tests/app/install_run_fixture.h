#pragma once
// Runs of the installer program on packages built by qvpack, shared by the host end-to-end
// tests and the device harness tests.

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "tests/support/package_builder.h"
#include "tests/vpd/boot_env_loader.h"
#include "tests/vpd/env_samples.h"

extern char** environ;

namespace KIVRA {
namespace testing {

inline const std::string kPkg = "/tmp/pkg";
inline const std::string kStaging = "/mnt/hda1/fwimages";
inline const std::string kLog = "/mnt/hda1/Kvtemp/qvupdate.log";
inline const std::string kLock = "/tmp/kivrainstaller.lck";
inline const std::string kStatus = "2:<font color=red><b>Do not disconnect.</b></font>";
inline const std::string kEmmc = "/sys/block/mmcblk0/device/boot_config";

using Files = std::vector<std::pair<std::string, std::string>>;

struct TimedLine {
    std::string text;
    double at;  // seconds since the start of the run
};

class InstallRunFixture : public SandboxTest {
protected:
    std::vector<std::string> env;
    Files images;

    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /mnt/hda1/Kvtemp /tmp/src /mnt/hda1/system/rmstore/C1"), 0);
        // The device harness mounts ISO 9660 for real; the host's kernel cannot.
        const char* path = std::getenv("PATH");
        const std::string systemPath = path == nullptr ? "/usr/bin:/bin" : path;
        env = {"KIVRA_PRODUCT=VK30", "KIVRA_RADIO0=R1", "KIVRA_RMID=OTHER",
               std::getenv("QV_DEVICE_HARNESS") != nullptr
                   ? "PATH=" + systemPath
                   : "PATH=" + sourcePath("tests/support/fake_mount") + ":" + systemPath};
        images = {{"uImage", ubootImage(20000, 31)},
                  {"rootfs.sqfs", randomBytes(150000, 32)},
                  {"NTIM.bin", randomBytes(512, 33)},
                  {"kivrainstaller", randomBytes(800, 34)},
                  {"dtb.recovery", randomBytes(3000, 35)}};
        // The radio store holds the image the package names, so the check logs nothing.
        makeIso("/mnt/hda1/system/rmstore/C1/R1_1.iso", "R1_C1_VERSION=\"1\"\n");
        writeBytes("/tmp/manifest.txt", "PRODUCT=VK30\nKIVRA_VERSION=4.1.0\nOTHER=1\n");
        writeBytes("/tmp/boot_config", "1\n");
    }

    // kPkg, built from /tmp/src; pack() fills it with images and creates it.
    PackageBuilder package{"/tmp/src", kPkg};

    // Builds kPkg with qvpack from images; the pre-install script records whether the images
    // were installed before it ran.
    void pack(const std::string& productType = "BIRCH", const std::string& rmVersion = "\"1\"") {
        package.productType = productType;
        package.sets = {"R1_C1_VERSION=" + rmVersion,
                        "R1_C1_MD5=" + md5Of(readBytes("/mnt/hda1/system/rmstore/C1/R1_1.iso"))};
        package.initScript =
            "if [ -e /mnt/hda1/fwimages/uImage ]; then echo installed; else echo absent; "
            "fi > /tmp/seen\n";
        for (const auto& [name, content] : images) {
            package.source(name, content);
        }
        const auto made = package.create();
        ASSERT_EQ(made.exitStatus, 0) << made.err;
    }

    // Replaces the package manifest's line of key by line (drops it when line is empty).
    static void setManifestLine(const std::string& key, const std::string& line) {
        std::string kept;
        for (const std::string& l : lines(readBytes(kPkg + "/manifest.txt"))) {
            if (l.rfind(key + "=", 0) != 0) {
                kept += l + "\n";
            }
        }
        writeBytes(kPkg + "/manifest.txt", kept + (line.empty() ? "" : line + "\n"));
    }

    // Replaces the pre-install script as a rebuilt package would carry it: its digest in the
    // manifest follows, or the installer refuses the script.
    void replaceScript(const std::string& plain) {
        package.encrypted("init.sh", plain);
        setManifestLine("INIT_SH_DIGEST", "INIT_SH_DIGEST=" + md5Of(plain));
    }

    // Runs the installer without its status pauses (installTimed keeps them).
    ProcessResult install(const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> argv = {binPath("qvinstaller")};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> all = env;
        // A caller that brings its own preload list (flashStandinEnv) has the pauses in it.
        const bool ownPreload = std::any_of(extraEnv.begin(), extraEnv.end(), [](const auto& e) {
            return e.rfind("LD_PRELOAD=", 0) == 0 || e.rfind("QEMU_SET_ENV=", 0) == 0;
        });
        if (!ownPreload) {
            for (const std::string& entry : testing::noSleepEnv()) all.push_back(entry);
        }
        all.insert(all.end(), extraEnv.begin(), extraEnv.end());
        ProcessResult result = runProcess(argv, all);
        result.out = withoutOwnerNotices(result.out);
        return result;
    }

    // In the unprivileged sandbox user 1002 does not exist, so each status write rightly
    // reports "failed to change /tmp/fw_status owner"; the runs compared line for line
    // leave those notices out there (StatusFileOwnerChange checks them on their own).
    static std::string withoutOwnerNotices(const std::string& out) {
        if (uidMapped(1002)) {
            return out;
        }
        const std::string notice = "failed to change /tmp/fw_status owner\n";
        std::string kept = out;
        for (auto at = kept.find(notice); at != std::string::npos; at = kept.find(notice)) {
            kept.erase(at, notice.size());
        }
        return kept;
    }

    // Runs the installer with its standard output read through a pipe, stamping each line on
    // arrival; whileRunning is called once the line trigger is there.
    std::vector<TimedLine> installTimed(const std::vector<std::string>& args,
                                        const std::string& trigger,
                                        const std::function<void()>& whileRunning,
                                        int& exitStatus) {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            for (const std::string& entry : env) {
                const auto eq = entry.find('=');
                ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
            }
            std::vector<std::string> argv = {binPath("qvinstaller")};
            argv.insert(argv.end(), args.begin(), args.end());
            // Through the emulator in a cross build, like runProcess.
            testing::execProgram(argv[0], argv);
            ::_exit(127);
        }
        ::close(out[1]);
        std::vector<TimedLine> result;
        std::string pending;
        bool seen = false;
        bool called = false;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            const double at =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            pending.append(buffer, static_cast<size_t>(n));
            for (auto end = pending.find('\n'); end != std::string::npos;
                 end = pending.find('\n')) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (withoutOwnerNotices(line + "\n").empty()) continue;
                result.push_back({line, at});
                seen = seen || result.back().text == trigger;
            }
            if (!called && seen) {
                called = true;
                whileRunning();
            }
        }
        ::close(out[0]);
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }
};

// The whole run to its end where no MTD kernel runs (the host and the armhf emulation tiers):
// a preloaded stand-in answers for /dev/mtd0, described in the sandbox's /sys/class/mtd.
// A run on a stand-in flash image of 1 MiB holding the boot environment copies copy1 and
// copy2 (/tmp/flash.bin), the rest erased.
class StandinFlashTest : public InstallRunFixture {
protected:
    static constexpr uint32_t kCopy1 = 0xC0000, kCopy2 = 0xD0000, kCopySize = 0x10000;

    ProcessResult installOn(const std::string& copies, const std::vector<std::string>& args) {
        prepareFlash(copies);
        return install(args, flashStandinEnv("/tmp/flash.bin"));
    }

    void prepareFlash(const std::string& copies) {
        describeStandinFlash(0x100000);
        flash = std::string(0x100000, '\xff');
        flash.replace(kCopy1, copies.size(), copies);
        writeBytes("/tmp/flash.bin", flash);
    }

    // A device whose update waits for its reboot: an earlier run staged its images and set
    // fwupdate_flag=1 in the newer copy (copy 2).
    void preparePendingUpdate() {
        prepareFlash(recordOf(sampleVariables(1), 7) +
                     recordOf(withUpdateFlagSet(sampleVariables(2)), 8));
        ASSERT_EQ(::system(("mkdir -p " + kStaging).c_str()), 0);
        writeBytes(kStaging + "/uImage", "staged by the earlier run");
        writeBytes(kStaging + "/version2.txt", "4.1.9");
        pendingStaging = stagingContent();
    }

    static Files stagingContent() {
        Files content;
        for (const std::string& name : dirEntries(kStaging)) {
            content.emplace_back(name, readBytes(kStaging + "/" + name));
        }
        return content;
    }

    // The rule every run keeps: a set fwupdate_flag, in the copy the boot loader reads, stands
    // over a complete staging directory. Status 1 leaves the flash and the staging directory
    // as they were, or no flag set; 0 and 2 leave the flag set over every image of the
    // package, its version record and the boot configuration switched.
    void expectFlagOverCompleteStaging(int exitStatus) {
        const std::string after = readBytes("/tmp/flash.bin");
        const std::vector<std::string> variables =
            chooseBootEnvironment(after.substr(kCopy1, kCopySize), after.substr(kCopy2, kCopySize))
                .variables();
        const bool set =
            std::find(variables.begin(), variables.end(), "fwupdate_flag=1") != variables.end();
        if (exitStatus != 0 && exitStatus != 2) {
            EXPECT_TRUE(!set || (after == flash && stagingContent() == pendingStaging))
                << "status " << exitStatus << " left fwupdate_flag=1 over a changed staging";
            return;
        }
        EXPECT_TRUE(set) << "status " << exitStatus << " without fwupdate_flag=1";
        for (const auto& [name, content] : images) {
            if (name == "kivrainstaller") continue;  // runs from the package, never copied
            const std::string at =
                name == "NTIM.bin" ? "/mnt/hda1/Kvtemp/" + name : kStaging + "/" + name;
            EXPECT_TRUE(exists(at) && readBytes(at) == content) << name << " not staged";
        }
        EXPECT_TRUE(exists(kStaging + "/version2.txt") &&
                    readBytes(kStaging + "/version2.txt") == "4.2.0");
        if (exists(kEmmc)) {
            EXPECT_EQ(readBytes(kEmmc), "16") << "the boot configuration was not switched";
        }
    }

    std::string flash;     // the image before the run
    Files pendingStaging;  // the staging directory before the run, when an update was pending
};

inline const std::vector<std::string> kHead = {
    "> [qvinstaller] Set firmware directory",
    "  - KivraInstaller::setFwDir: Check Lock",
    "  - KivraInstaller::setFwDir: Lock",
};

inline std::vector<std::string> join(std::vector<std::string> a,
                                     const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace testing
}  // namespace KIVRA
