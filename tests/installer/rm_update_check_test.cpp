#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>

#include "tests/installer/package_fixture.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;

const std::string kStore = "/mnt/hda1/system/rmstore";
const std::string kMountPoint = "/tmp/kivrainstaller_mnt";
const std::string kCalls = "/tmp/fake_mount.calls";
const std::string kCheck = "[KivraInstaller::checkRmUpdateNeeded] ";
const std::string kRead = "[KivraInstaller::readInstalledRmManifest] ";

std::string mountCall(const std::string& image) {
    return "mount [-r] [-t] [iso9660] [" + image + "] [" + kMountPoint + "]\n";
}
const std::string kUmountCall = "umount [-d] [" + kMountPoint + "]\n";

// Root reads any file; without these two capabilities a file of mode 000 cannot be opened,
// which is how a manifest the installer cannot read is made. Commands the installer starts
// get the full set again.
class WithoutFileAccessOverride {
public:
    WithoutFileAccessOverride() {
        EXPECT_EQ(::syscall(SYS_capget, &header_, saved_), 0);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        EXPECT_EQ(::syscall(SYS_capset, &header_, reduced), 0);
    }
    ~WithoutFileAccessOverride() { (void)::syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
};

class RmUpdateCheckTest : public testing::PackageTest {
protected:
    void SetUp() override {
        PackageTest::SetUp();
        const char* path = std::getenv("PATH");
        savedPath_ = path == nullptr ? "/usr/bin:/bin" : path;
        const std::string fake = testing::sourcePath("tests/support/fake_mount");
        ASSERT_EQ(::setenv("PATH", (fake + ":" + savedPath_).c_str(), 1), 0);
        ASSERT_EQ(::setenv("KIVRA_RADIO0", "R1", 1), 0);
        ASSERT_EQ(::setenv("KIVRA_RMID", "C1", 1), 0);
        ASSERT_EQ(::system(("mkdir -p " + kStore + "/C1").c_str()), 0);
    }
    void TearDown() override {
        (void)::setenv("PATH", savedPath_.c_str(), 1);
        (void)::unsetenv("KIVRA_RADIO0");
        (void)::unsetenv("KIVRA_RMID");
        PackageTest::TearDown();
    }

public:
    void makeIso(const std::string& path, const char* manifest, mode_t manifestMode = 0644) {
        testing::makeIso(path, manifest, manifestMode);
    }

    void packageManifest(const std::string& text) {
        writeBytes("/tmp/fw_manifest.txt", text);
        ASSERT_EQ(installer->readPackageManifest(), 0);
    }

    // Stored image R1_1.iso with version "1"; the package names the same version and digest.
    std::string storeCurrentImage() {
        const std::string image = kStore + "/C1/R1_1.iso";
        makeIso(image, "R1_C1_VERSION=\"1\"\n");
        packageManifest("R1_C1_VERSION=\"1\"\nR1_C1_MD5=" + testing::md5Of(readBytes(image)) +
                        "\n");
        return image;
    }

    bool check(std::string& console) {
        bool needed = true;
        EXPECT_EQ(run([&](KivraInstaller& i) { return i.checkRmUpdateNeeded(needed); }, console),
                  0);
        return needed;
    }

    static std::string calls() { return exists(kCalls) ? readBytes(kCalls) : std::string(); }

private:
    std::string savedPath_;
};

TEST_F(RmUpdateCheckTest, EqualVersionAndDigestNeedNoUpdateAndImageIsUnmounted) {
    const std::string image = storeCurrentImage();
    std::string console;
    EXPECT_FALSE(check(console));
    EXPECT_EQ(console, "");
    EXPECT_EQ(calls(), mountCall(image) + kUmountCall);
    EXPECT_EQ(::system(("[ -z \"$(ls -A " + kMountPoint + ")\" ]").c_str()), 0);
}

TEST_F(RmUpdateCheckTest, DifferentVersionNeedsUpdateWithoutLookingAtDigest) {
    makeIso(kStore + "/C1/R1_1.iso", "R1_C1_VERSION=\"1\"\n");
    packageManifest("R1_C1_VERSION=\"2\"\n");
    std::string console;
    EXPECT_TRUE(check(console));
    EXPECT_EQ(console, "");
}

TEST_F(RmUpdateCheckTest, EqualVersionWithDigestThatDiffersInAnyByteNeedsUpdate) {
    const std::string image = storeCurrentImage();
    const std::string digest = testing::md5Of(readBytes(image));
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(::toupper(c));
    for (const std::string& packageDigest : {upper, "\"" + digest + "\"", digest + " "}) {
        SCOPED_TRACE(packageDigest);
        packageManifest("R1_C1_VERSION=\"1\"\nR1_C1_MD5=" + packageDigest + "\n");
        std::string console;
        EXPECT_TRUE(check(console));
        EXPECT_EQ(console, "");
    }
}

TEST_F(RmUpdateCheckTest, SkipMarkerFileSkipsButDirectoryOfThatNameDoesNot) {
    const std::string image = storeCurrentImage();
    writeBytes("/tmp/rmupskip", "");
    std::string console;
    EXPECT_FALSE(check(console));
    EXPECT_EQ(console, kCheck + "RM Update Skipped (set by user) (err 0)\n" + kCheck +
                           "checkRmUpdateNeeded failed\n");
    EXPECT_EQ(calls(), "");

    ASSERT_EQ(::unlink("/tmp/rmupskip"), 0);
    ASSERT_EQ(::mkdir("/tmp/rmupskip", 0755), 0);
    packageManifest("R1_C1_VERSION=\"2\"\n");
    EXPECT_TRUE(check(console));
    EXPECT_EQ(console, "");
    EXPECT_EQ(calls(), mountCall(image) + kUmountCall);
}

struct StoreFailure {
    const char* what;
    std::function<void(RmUpdateCheckTest&)> setUp;
    std::string lines;
    std::string calls;
};

TEST_F(RmUpdateCheckTest, EveryStoreFailureIsLoggedAndLeavesStoredVersionEmpty) {
    const std::string image = kStore + "/C1/R1_1.iso";
    const StoreFailure rows[] = {
        {"carrier directory missing",
         [](auto&) { ASSERT_EQ(::system("rm -rf /mnt/hda1/system"), 0); },
         kRead + "Cannot open dir " + kStore + "/C1 (err 15)\n", ""},
        {"no image", [](auto&) {}, kRead + "Firmware not found in store (err 15)\n", ""},
        {"image not a regular file", [&](auto&) { ASSERT_EQ(::mkfifo(image.c_str(), 0600), 0); },
         kRead + "Invalid firmware in store (err 15)\n", ""},
        {"dangling link at mount point",
         [&](auto& t) {
             t.makeIso(image, "R1_C1_VERSION=\"1\"\n");
             ASSERT_EQ(::symlink("/tmp/nowhere", kMountPoint.c_str()), 0);
         },
         kRead + "Unable to create " + kMountPoint + " (err 15)\n", ""},
        {"link to directory at mount point",
         [&](auto& t) {
             t.makeIso(image, "R1_C1_VERSION=\"1\"\n");
             ASSERT_EQ(::system("mkdir -p /tmp/elsewhere && touch /tmp/elsewhere/keep"), 0);
             ASSERT_EQ(::symlink("/tmp/elsewhere", kMountPoint.c_str()), 0);
         },
         kRead + "Unable to create " + kMountPoint + " (err 15)\n", ""},
        {"mount fails", [&](auto&) { writeBytes(image, testing::randomBytes(40000, 22)); },
         kRead + "Unable to mount store firmware (err 15)\n", mountCall(image)},
        {"no manifest in image", [&](auto& t) { t.makeIso(image, nullptr); },
         kRead + "Invalid manifest in mounted firmware (err 15)\n", mountCall(image) + kUmountCall},
    };
    for (const StoreFailure& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(::system(("rm -rf /tmp/fake_mount.calls " + kMountPoint + " " + kStore +
                            " && mkdir -p " + kStore + "/C1")
                               .c_str()),
                  0);
        row.setUp(*this);
        packageManifest("R1_C1_VERSION=\"1\"\n");
        std::string console;
        EXPECT_TRUE(check(console));  // the empty stored version differs from the package's
        EXPECT_EQ(console, row.lines);
        EXPECT_EQ(calls(), row.calls);
    }
    EXPECT_TRUE(exists("/tmp/elsewhere/keep"));
}

TEST_F(RmUpdateCheckTest, UnreadableStoredManifestGivesCode8AndIsUnmounted) {
    const std::string image = kStore + "/C1/R1_1.iso";
    makeIso(image, "R1_C1_VERSION=\"1\"\n", 0);
    packageManifest("R1_C1_VERSION=\"1\"\n");
    std::string console;
    bool needed = false;
    {
        WithoutFileAccessOverride restricted;
        needed = check(console);
    }
    EXPECT_TRUE(needed);
    EXPECT_EQ(console, "[KivraInstaller::readManifest] Unable to open manifest file (err 8)\n" +
                           kRead + "Stored Firmware Manifest read failed (err 8)\n");
    EXPECT_EQ(calls(), mountCall(image) + kUmountCall);
}

TEST_F(RmUpdateCheckTest, MissingEnvironmentOrManifestKeysLeaveFlagUnset) {
    struct Row {
        const char* unset;
        const char* storedManifest;
        const char* packageManifest;
        std::string lines;
    } rows[] = {
        {"KIVRA_RADIO0", "R1_C1_VERSION=\"1\"\n", "R1_C1_VERSION=\"2\"\n",
         "[KivraInstaller::getRmIdentifier] Environment var KIVRA_RADIO0 is missing (err 9)\n" +
             kCheck + "Unable to get RM identifier (err 9)\n"},
        {"KIVRA_RMID", "R1_C1_VERSION=\"1\"\n", "R1_C1_VERSION=\"2\"\n",
         "[KivraInstaller::getRmIdentifier] Environment var KIVRA_RMID is missing (err 9)\n" +
             kCheck + "Unable to get RM identifier (err 9)\n"},
        {nullptr, "OTHER=1\n", "R1_C1_VERSION=\"2\"\n",
         "[KivraInstaller::getManifestValue] R1_C1_VERSION not found in manifest (err 8)\n"},
        {nullptr, "R1_C1_VERSION=\"1\"\n", "OTHER=1\n",
         "[KivraInstaller::getManifestValue] R1_C1_VERSION not found in manifest (err 8)\n" +
             kCheck + "Unable to get Package RM version (err 8)\n"},
        {nullptr, "R1_C1_VERSION=\"1\"\n", "R1_C1_VERSION=\"1\"\n",
         "[KivraInstaller::getManifestValue] R1_C1_MD5 not found in manifest (err 8)\n" + kCheck +
             "Unable to get Package RM MD5 Sum (err 8)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines);
        ASSERT_EQ(::setenv("KIVRA_RADIO0", "R1", 1), 0);
        ASSERT_EQ(::setenv("KIVRA_RMID", "C1", 1), 0);
        if (row.unset != nullptr) {
            ASSERT_EQ(::unsetenv(row.unset), 0);
        }
        installer = std::make_unique<KivraInstaller>();  // the carrier sticks once read
        makeIso(kStore + "/C1/R1_1.iso", row.storedManifest);
        packageManifest(row.packageManifest);
        std::string console;
        EXPECT_FALSE(check(console));
        EXPECT_EQ(console, row.lines + kCheck + "checkRmUpdateNeeded failed\n");
    }
}

TEST_F(RmUpdateCheckTest, UnreadableStoredImageIsLoggedAndNeedsUpdate) {
    // The manifest names version 9, but the store holds the image under another name.
    makeIso(kStore + "/C1/R1_1.iso", "R1_C1_VERSION=\"9\"\n");
    packageManifest("R1_C1_VERSION=\"9\"\nR1_C1_MD5=0123456789abcdef0123456789abcdef\n");
    std::string console;
    EXPECT_TRUE(check(console));
    EXPECT_EQ(console, "[KivraInstaller::getMd5Sum] Cannot compute MD5 sum of " + kStore +
                           "/C1/R1_9.iso (err 5)\n"
                           "Unable to calculate MD5 checksum of current image in radio store\n");
}

TEST_F(RmUpdateCheckTest, OneByteStoredVersionNamesImageWithoutVersion) {
    const std::string image = kStore + "/C1/R1_.iso";
    makeIso(image, "R1_C1_VERSION=1\n");
    packageManifest("R1_C1_VERSION=1\nR1_C1_MD5=" + testing::md5Of(readBytes(image)) + "\n");
    std::string console;
    EXPECT_FALSE(check(console));
    EXPECT_EQ(console, "");
}

TEST_F(RmUpdateCheckTest, CarrierFromCommandLineOverridesEnvironment) {
    makeIso(kStore + "/C1/R1_1.iso", "R1_C1_VERSION=\"1\"\n");
    ASSERT_EQ(::system(("mkdir -p " + kStore + "/C2").c_str()), 0);
    const std::string image = kStore + "/C2/R1_5.iso";
    makeIso(image, "R1_C2_VERSION=\"5\"\n");
    packageManifest("R1_C1_VERSION=\"7\"\nR1_C2_VERSION=\"5\"\nR1_C2_MD5=" +
                    testing::md5Of(readBytes(image)) + "\n");
    std::string console;
    ::testing::internal::CaptureStdout();
    installer->setFwCarrier("C2");
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(check(console));
    EXPECT_EQ(console, "");
    EXPECT_EQ(calls(), mountCall(image) + kUmountCall);
}

TEST_F(RmUpdateCheckTest, CarrierThatLeavesStoreFindsNoImage) {
    // A valid image outside the store that a carrier with ".." would reach.
    ASSERT_EQ(::system("mkdir -p /tmp/evil"), 0);
    makeIso("/tmp/evil/R1_1.iso", "X=1\n");
    for (const char* carrier : {"../../../../tmp/evil", "..", ".", "C1/../../../../../tmp/evil"}) {
        SCOPED_TRACE(carrier);
        installer = std::make_unique<KivraInstaller>();
        ::testing::internal::CaptureStdout();
        installer->setFwCarrier(carrier);
        (void)::testing::internal::GetCapturedStdout();
        packageManifest("X=1\n");
        std::string console;
        EXPECT_FALSE(check(console));
        EXPECT_EQ(console.substr(0, console.find('\n') + 1),
                  kRead + "Firmware not found in store (err 15)\n");
        EXPECT_EQ(calls(), "");
    }
}

TEST_F(RmUpdateCheckTest, ImageNameWithShellMetacharactersIsMountedAndRunsNothing) {
    // A file name cannot hold "/", so the injected commands work relative to /tmp.
    ASSERT_EQ(::chdir("/tmp"), 0);
    const std::string version = "a b;$(touch pwned)'`touch pwned2`";
    const std::string image = kStore + "/C1/R1_" + version + ".iso";
    makeIso(image, ("R1_C1_VERSION=\"" + version + "\"\n").c_str());
    packageManifest("R1_C1_VERSION=\"" + version +
                    "\"\nR1_C1_MD5=" + testing::md5Of(readBytes(image)) + "\n");
    std::string console;
    EXPECT_FALSE(check(console));
    EXPECT_EQ(console, "");
    EXPECT_EQ(calls(), mountCall(image) + kUmountCall);
    EXPECT_FALSE(exists("/tmp/pwned"));
    EXPECT_FALSE(exists("/tmp/pwned2"));
}

}  // namespace
}  // namespace KIVRA
