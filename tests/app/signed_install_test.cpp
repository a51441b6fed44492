// Signed packages end to end: a router without /etc/kivra/trusted-keys installs as it always
// did; one with it installs only a package signed by one of its keys whose every file is the
// one signed. Each row: the exit status, the refusal's line, the flag never set over a
// changed staging, init.sh not run where the refusal comes first, and a file that failed its
// check not left under its staged name.

#include <sys/mount.h>

#include <functional>

#include "tests/app/install_run_fixture.h"

namespace KIVRA {
namespace {

using namespace testing;

const std::string kTrust = "/etc/kivra/trusted-keys";

enum class Keys { None, Empty, One, Two, BrokenBeside, OnlyBroken };

struct Row {
    const char* fault;  // the package kind and key state, for the failure message
    Keys keys;
    const char* package;  // the prepared package copied to kPkg
    std::function<void()> change;
    int exitStatus;
    std::string line;  // a line the log must hold ("" : no signature line at all)
    bool scriptRuns;
    std::string notStaged;  // a staged name the refusal must not leave
    bool sample = false;    // also run where runs are slow (emulator, sanitizers)
};

void sh(const std::string& command) { ASSERT_EQ(::system(command.c_str()), 0) << command; }

void flipLastByte(const std::string& path) {
    std::string bytes = readBytes(path);
    bytes.back() = static_cast<char>(bytes.back() ^ 1);
    writeBytes(path, bytes);
}

class SignedInstall : public StandinFlashTest {
protected:
    void SetUp() override {
        StandinFlashTest::SetUp();
        // The sandbox's /etc is the host's: a private copy of its names, with kivra/ of our own.
        sh("mkdir -p /tmp/hostetc /tmp/etc/kivra");
        ASSERT_EQ(::mount("/etc", "/tmp/hostetc", nullptr, MS_BIND | MS_REC, nullptr), 0);
        sh("for f in /tmp/hostetc/*; do ln -s \"$f\" /tmp/etc/; done");
        ASSERT_EQ(::mount("/tmp/etc", "/etc", nullptr, MS_BIND, nullptr), 0);
        for (const char* key : {"key1", "key2", "foreign"}) {
            sh(std::string("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "
                           "/tmp/") +
               key + ".key 2>/dev/null && openssl pkey -pubout -in /tmp/" + key +
               ".key -out /tmp/" + key + ".pem");
        }
        pack();
        sh("cp -a /tmp/pkg /tmp/A0");
        for (const char* key : {"key1", "key2", "foreign"}) {
            sh(std::string("cp -a /tmp/A0 /tmp/A-") + key);
            const ProcessResult sign = qvpack({"sign", std::string("/tmp/A-") + key, "--key",
                                               "/tmp/" + std::string(key) + ".key"});
            ASSERT_EQ(sign.exitStatus, 0) << sign.err;
        }
        // B: the same version and product with other images and another script.
        images[0].second = ubootImage(20000, 41);
        sh("rm -rf /tmp/pkg");
        pack();
        package.initScript = "echo B > /tmp/seen\n";
        sh("rm -rf /tmp/pkg");
        ASSERT_EQ(package.create().exitStatus, 0);
        ASSERT_EQ(qvpack({"sign", kPkg, "--key", "/tmp/key1.key"}).exitStatus, 0);
        sh("mv /tmp/pkg /tmp/B-key1");
        images[0].second = ubootImage(20000, 31);
    }

    void placeKeys(Keys keys) {
        sh("rm -rf " + kTrust);
        if (keys == Keys::None) return;
        sh("mkdir -p " + kTrust);
        if (keys == Keys::One || keys == Keys::Two || keys == Keys::BrokenBeside) {
            sh("cp /tmp/key1.pem " + kTrust + "/");
        }
        if (keys == Keys::Two) sh("cp /tmp/key2.pem " + kTrust + "/");
        if (keys == Keys::BrokenBeside || keys == Keys::OnlyBroken) {
            writeBytes(kTrust + "/broken.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n");
        }
    }

    // package.sha256 without the line of name, signed again by key1.
    static void unlistAndResign(const std::string& name) {
        sh("grep -v ' " + name + "$' " + kPkg + "/package.sha256 > /tmp/st && mv /tmp/st " + kPkg +
           "/package.sha256 && openssl dgst -sha256 -sign /tmp/key1.key -out " + kPkg +
           "/package.sha256.sig " + kPkg + "/package.sha256");
    }
};

TEST_F(SignedInstall, OnlyPackagesSignedByATrustedKeyInstallWithEveryFileAsSigned) {
    const std::string differs = ": SHA-256 differs from package.sha256's (err 19)";
    const std::vector<Row> rows = {
        {"no directory, unsigned", Keys::None, "/tmp/A0", nullptr, 0, "", true, ""},
        {"no directory, signed", Keys::None, "/tmp/A-key1", nullptr, 0, "", true, "", true},
        {"empty directory", Keys::Empty, "/tmp/A-key1", nullptr, 1,
         "no usable trusted key in " + kTrust + " (err 19)", false, "", true},
        {"one key, unsigned", Keys::One, "/tmp/A0", nullptr, 1, "no signature (", false, "", true},
        {"one key, signed", Keys::One, "/tmp/A-key1", nullptr, 0,
         "Package signed by trusted key " + kTrust + "/key1.pem", true, "", true},
        {"two keys, signed by the second", Keys::Two, "/tmp/A-key2", nullptr, 0,
         "Package signed by trusted key " + kTrust + "/key2.pem", true, "", true},
        {"broken key beside, signed", Keys::BrokenBeside, "/tmp/A-key1", nullptr, 0,
         "trusted key " + kTrust + "/broken.pem skipped", true, "", true},
        {"only broken keys", Keys::OnlyBroken, "/tmp/A-key1", nullptr, 1, "no usable trusted key",
         false, "", true},
        {"foreign key", Keys::Two, "/tmp/A-foreign", nullptr, 1,
         "signed by no trusted key (err 19)", false, "", true},
        {"image byte", Keys::One, "/tmp/A-key1", [] { flipLastByte(kPkg + "/rootfs.sqfs"); }, 1,
         "rootfs.sqfs" + differs, true, "rootfs.sqfs", true},
        {"images.md5 byte", Keys::One, "/tmp/A-key1", [] { flipLastByte(kPkg + "/images.md5"); }, 1,
         "images.md5" + differs, true, "images.md5"},
        {"init.sh byte", Keys::One, "/tmp/A-key1", [] { flipLastByte(kPkg + "/init.sh"); }, 1,
         "init.sh" + differs, false, "", true},
        {"manifest byte", Keys::One, "/tmp/A-key1", [] { flipLastByte(kPkg + "/manifest.txt"); }, 1,
         "the statement does not match the manifest (manifest.txt) (err 19)", false, ""},
        {"image of B", Keys::One, "/tmp/A-key1", [] { sh("cp /tmp/B-key1/uImage " + kPkg); }, 1,
         "uImage" + differs, true, "uImage"},
        {"init.sh of B", Keys::One, "/tmp/A-key1", [] { sh("cp /tmp/B-key1/init.sh " + kPkg); }, 1,
         "init.sh: size", false, ""},
        {"statement of A, files of B", Keys::One, "/tmp/B-key1",
         [] { sh("cp /tmp/A-key1/package.sha256* " + kPkg); }, 1,
         "the statement does not match the manifest (manifest.txt) (err 19)", false, ""},
        {"signature truncated", Keys::One, "/tmp/A-key1",
         [] { sh("truncate -s -1 " + kPkg + "/package.sha256.sig"); }, 1,
         "signed by no trusted key (err 19)", false, "", true},
        {"signature appended to", Keys::One, "/tmp/A-key1",
         [] { sh("echo x >> " + kPkg + "/package.sha256.sig"); }, 1,
         "signed by no trusted key (err 19)", false, ""},
        {"signature empty", Keys::One, "/tmp/A-key1",
         [] { sh(": > " + kPkg + "/package.sha256.sig"); }, 1, "signed by no trusted key (err 19)",
         false, ""},
        {"listed but not in the statement", Keys::One, "/tmp/A-key1",
         [] { unlistAndResign("dtb.recovery"); }, 1,
         "dtb.recovery: not listed in package.sha256 (err 19)", true, "dtb.recovery"},
        {"listed file missing", Keys::One, "/tmp/A-key1", [] { sh("rm " + kPkg + "/NTIM.bin"); }, 1,
         "NTIM.bin: listed in package.sha256 but missing (err 19)", false, ""},
        {"lower epoch", Keys::One, "/tmp/A-key1",
         [] { writeBytes("/tmp/manifest.txt", "KIVRA_VERSION=4.1.0\nSECURITY_EPOCH=3\n"); }, 1,
         "security epoch 0 lower than the running firmware's 3 (err 19)", false, "", true},
    };
    // Where runs are slow the sample keeps every key state and one change of each kind of file.
    const bool sampled = slowRuns();
    for (const Row& row : rows) {
        if (sampled && !row.sample) continue;
        SCOPED_TRACE(row.fault);
        placeKeys(row.keys);
        sh("rm -rf " + kPkg + " /tmp/seen " + kStaging + " /mnt/hda1/Kvtemp/NTIM.bin && cp -a " +
           row.package + " " + kPkg);
        writeBytes("/tmp/manifest.txt", "PRODUCT=VK30\nKIVRA_VERSION=4.1.0\nOTHER=1\n");
        if (row.change) row.change();
        // qvpack verify checks what the router checks, in the router's words: the signature,
        // the running firmware's epoch and each file the router reads (on the native host
        // tier: a release tool's agreement is the same on every architecture).
        if (row.keys != Keys::None && !sampled) {
            const ProcessResult verify =
                qvpack({"verify", "--trusted-keys", kTrust, "--running-manifest",
                        "/tmp/manifest.txt", "--product", "VK30", kPkg});
            EXPECT_EQ(verify.exitStatus == 0, row.exitStatus == 0) << verify.out;
            const std::string words = row.line.substr(0, row.line.find(" (err 19)"));
            EXPECT_NE(verify.out.find(row.exitStatus == 0 ? "package.sha256.sig: OK" : words),
                      std::string::npos)
                << verify.out;
        }
        const ProcessResult run =
            installOn(recordOf(sampleVariables(1), 7) + recordOf(sampleVariables(2), 8), {kPkg});
        EXPECT_EQ(run.exitStatus, row.exitStatus) << run.out;
        const std::string log = readBytes(kLog);
        if (row.line.empty()) {
            EXPECT_EQ(log.find("signature"), std::string::npos) << log;
            EXPECT_EQ(log.find("Check package"), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find(row.line), std::string::npos) << log;
        }
        if (row.exitStatus == 1) {
            EXPECT_NE(log.find("failed (err 19)"), std::string::npos) << log;
        }
        expectFlagOverCompleteStaging(run.exitStatus);
        EXPECT_EQ(exists("/tmp/seen"), row.scriptRuns);
        if (!row.notStaged.empty()) {
            EXPECT_FALSE(exists(kStaging + "/" + row.notStaged)) << "a refused file kept its name";
        }
    }
}

}  // namespace
}  // namespace KIVRA
