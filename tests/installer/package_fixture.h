#pragma once
// Packages made inside a test: files encrypted the way the release tool does it, digests of
// plain content, and an installer whose firmware directory is set. The installer's version
// stays empty until install() reads the manifest, so packages for single steps are
// encrypted with the empty passphrase.

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "package_format/file_digest.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {

inline void writeEncrypted(const std::string& path, const std::string& plain,
                           const std::string& passphrase = "") {
    const std::string scratch = path + ".plain";
    writeBytes(scratch, plain);
    QvEncryption encryption;
    ASSERT_EQ(encryption.setKey(passphrase), 0);
    ASSERT_EQ(encryption.encryptFile(scratch, path), 0);
    ASSERT_EQ(::unlink(scratch.c_str()), 0);
}

inline std::string md5Of(const std::string& data) {
    const std::string scratch = "/tmp/md5-of.scratch";
    writeBytes(scratch, data);
    std::string digest;
    EXPECT_TRUE(package_format::md5Text(scratch, digest));
    (void)::unlink(scratch.c_str());
    return digest;
}

// The U-Boot legacy header magic followed by deterministic bytes.
inline std::string ubootImage(size_t length, unsigned seed) {
    return std::string("\x27\x05\x19\x56", 4) + randomBytes(length - 4, seed);
}

// An ISO 9660 image at path whose /etc/manifest.txt holds manifest (no manifest when null).
inline void makeIso(const std::string& path, const char* manifest, mode_t manifestMode = 0644) {
    const std::string tree = "/tmp/iso-tree";
    ASSERT_EQ(::system(("rm -rf " + tree + " && mkdir -p " + tree + "/etc").c_str()), 0);
    writeBytes(tree + "/bin.dat", randomBytes(3000, 21));
    if (manifest != nullptr) {
        writeBytes(tree + "/etc/manifest.txt", manifest);
        ASSERT_EQ(::chmod((tree + "/etc/manifest.txt").c_str(), manifestMode), 0);
    }
    const auto made =
        runProcess({"/usr/bin/xorriso", "-as", "mkisofs", "-quiet", "-R", "-o", path, tree});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
}

// An installer that went through setFwDir on the package directory, as in a run.
class PackageTest : public InstallerTest {
protected:
    const std::string pkg = "/tmp/pkg";
    const std::string staging = "/mnt/hda1/fwimages";
    std::unique_ptr<KivraInstaller> installer;

    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /tmp/pkg"), 0);
        installer = std::make_unique<KivraInstaller>();
        ::testing::internal::CaptureStdout();
        const int code = installer->setFwDir(pkg);
        (void)::testing::internal::GetCapturedStdout();
        ASSERT_EQ(code, 0);
    }

    // Runs a step and returns its code; console receives what it logged.
    template <typename Step>
    int run(Step step, std::string& console) {
        ::testing::internal::CaptureStdout();
        const int code = step(*installer);
        console = ::testing::internal::GetCapturedStdout();
        return code;
    }
};

}  // namespace testing
}  // namespace KIVRA
