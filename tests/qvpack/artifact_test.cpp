// qvpack artifact: a package wrapped for the fleet rollout engine, read back with the engine's
// own mender-artifact.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/package_builder.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::ProcessResult;
using testing::qvpack;
using testing::TempDir;
using testing::writeBytes;

// A BIRCH package of version 3.2.0 in dir/pkg.
std::string makePackage(const TempDir& dir) {
    testing::PackageBuilder package(dir.path(), dir / "pkg");
    package.version = "3.2.0";
    package.source("rootfs.sqfs", testing::randomBytes(3000, 1));
    package.source("NTIM.bin", testing::randomBytes(200, 2));
    const ProcessResult created = package.create();
    EXPECT_EQ(created.exitStatus, 0) << created.err;
    return package.dir;
}

std::string readArtifact(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/mender-artifact", "read"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult read = testing::runProcess(argv);
    EXPECT_EQ(read.exitStatus, 0) << read.err;
    return read.out;
}

TEST(QvpackArtifact, WrapsEveryPackageFileUnderTheVersionForTheGivenDeviceTypes) {
    TempDir dir;
    const std::string pkg = makePackage(dir);
    const ProcessResult built =
        qvpack({"artifact", pkg, "-t", "VK30", "--device-type", "VK30E", "-o", dir / "a.mender"});
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    EXPECT_FALSE(exists(dir / "a.mender.partial"));
    const std::string info = readArtifact({dir / "a.mender"});
    EXPECT_NE(info.find("Name: 3.2.0\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Compatible devices: '[VK30 VK30E]'"), std::string::npos) << info;
    EXPECT_NE(info.find("Type:   kivra-package"), std::string::npos) << info;
    EXPECT_NE(info.find("Signature: no signature"), std::string::npos) << info;
    for (const char* name : {"manifest.txt", "images.md5", "rootfs.sqfs", "NTIM.bin"}) {
        EXPECT_NE(info.find(std::string("name:     ") + name + "\n"), std::string::npos) << name;
    }
}

TEST(QvpackArtifact, KeySignsTheArtifactAsMenderArtifactChecksIt) {
    TempDir dir;
    const std::string pkg = makePackage(dir);
    // The key format mender-artifact reads: an EC key in its SEC 1 form.
    ASSERT_EQ(testing::runProcess({"/usr/bin/openssl", "ecparam", "-genkey", "-name", "prime256v1",
                                   "-noout", "-out", dir / "key.pem"})
                  .exitStatus,
              0);
    ASSERT_EQ(testing::runProcess({"/usr/bin/openssl", "pkey", "-in", dir / "key.pem", "-pubout",
                                   "-out", dir / "pub.pem"})
                  .exitStatus,
              0);
    const ProcessResult built =
        qvpack({"artifact", pkg, "-t", "VK30P", "-k", dir / "key.pem", "-o", dir / "s.mender"});
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    const std::string info = readArtifact({"-k", dir / "pub.pem", dir / "s.mender"});
    EXPECT_NE(info.find("Signature: signed and verified correctly"), std::string::npos) << info;
}

struct Refusal {
    const char* what;
    std::vector<std::string> args;  // after "artifact"; PKG and OUT stand for the paths
    std::vector<std::string> env;
    int status;
    const char* message;
};

TEST(QvpackArtifact, RefusesWithOneReasonAndLeavesNoArtifact) {
    const std::vector<Refusal> cases = {
        {"device type of another product",
         {"PKG", "-t", "VK30", "-t", "ZN20", "-o", "OUT"},
         {},
         1,
         "qvpack: PKG: 1 of 3 checks failed for device type ZN20; no artifact built"},
        {"the QT10, which takes no package",
         {"PKG", "-t", "QT10", "-o", "OUT"},
         {},
         1,
         "qvpack: PKG: 2 of 4 checks failed; no artifact built"},
        {"unknown device type",
         {"PKG", "-t", "vk30", "-o", "OUT"},
         {},
         2,
         "qvpack: device type vk30 is not a product name (one of: ALDER QT10 QT10X QT15 QX15 "
         "VK30 VK30E VK30P ZN10 ZN10W ZN20 ZN20W)"},
        {"no device type", {"PKG", "-o", "OUT"}, {}, 2, "qvpack: option --device-type is required"},
        {"no output", {"PKG", "-t", "VK30"}, {}, 2, "qvpack: option --output is required"},
        {"mender-artifact missing",
         {"PKG", "-t", "VK30", "-o", "OUT"},
         {"PATH=/nonexistent"},
         1,
         "qvpack: mender-artifact is not installed (Debian package mender-artifact)"},
        {"key that is no key",
         {"PKG", "-t", "VK30", "-k", "PKG/manifest.txt", "-o", "OUT"},
         {},
         1,
         "qvpack: mender-artifact failed (status 1); no artifact built"},
        {"missing key", {"PKG", "-t", "VK30", "-k", "PKG/none.pem", "-o", "OUT"}, {}, 1, nullptr},
        // The machine's fault, not the package's: never told as a failed mender-artifact.
        {"output that cannot be written", {"PKG", "-t", "VK30", "-o", "NOWHERE"}, {}, 3, nullptr},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string pkg = makePackage(dir);
        std::vector<std::string> args = {"artifact"};
        for (std::string arg : c.args) {
            if (arg.compare(0, 3, "PKG") == 0) {
                arg = pkg + arg.substr(3);
            } else if (arg == "OUT") {
                arg = dir / "a.mender";
            } else if (arg == "NOWHERE") {
                arg = dir / "none/a.mender";
            }
            args.push_back(arg);
        }
        const ProcessResult result = qvpack(args, c.env);
        EXPECT_EQ(result.exitStatus, c.status) << result.err;
        const std::vector<std::string> lines = testing::lines(result.err);
        ASSERT_FALSE(lines.empty());
        if (c.message != nullptr) {
            std::string message = c.message;
            const auto at = message.find("PKG");
            if (at != std::string::npos) {
                message.replace(at, 3, pkg);
            }
            EXPECT_EQ(lines.back(), message);
        }
        EXPECT_FALSE(exists(dir / "a.mender"));
        EXPECT_FALSE(exists(dir / "a.mender.partial"));
    }
}

// A package file replaced while mender-artifact runs (here by a stand-in that replaces it, then
// runs the real tool) does not reach the artifact: it carries the bytes that were checked.
TEST(QvpackArtifact, WrapsTheCheckedBytesThoughAFileIsReplacedMeanwhile) {
    TempDir dir;
    const std::string pkg = makePackage(dir);
    const std::string checked = testing::readBytes(pkg + "/NTIM.bin");
    ASSERT_EQ(::mkdir((dir / "bin").c_str(), 0755), 0);
    writeBytes(
        dir / "bin/mender-artifact",
        "#!/bin/sh\nprintf replaced >" + pkg + "/NTIM.bin\nexec /usr/bin/mender-artifact \"$@\"\n");
    ASSERT_EQ(::chmod((dir / "bin/mender-artifact").c_str(), 0755), 0);
    const ProcessResult built = qvpack({"artifact", pkg, "-t", "VK30", "-o", dir / "a.mender"},
                                       {"PATH=" + dir / "bin" + ":/usr/bin:/bin"});
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    ASSERT_EQ(testing::readBytes(pkg + "/NTIM.bin"), "replaced");
    writeBytes(dir / "checked", checked);
    const std::string sum =
        testing::runProcess({"/usr/bin/sha256sum", dir / "checked"}).out.substr(0, 64);
    const std::string info = readArtifact({dir / "a.mender"});
    const auto at = info.find("name:     NTIM.bin\n");
    ASSERT_NE(at, std::string::npos) << info;
    EXPECT_NE(info.find("checksum: " + sum, at), std::string::npos) << info;
}

TEST(QvpackArtifact, RefusesAPackageTheInstallerWouldRefuse) {
    TempDir dir;
    const std::string pkg = makePackage(dir);
    writeBytes(pkg + "/NTIM.bin", testing::randomBytes(200, 9));
    ProcessResult result = qvpack({"artifact", pkg, "-t", "VK30", "-o", dir / "a.mender"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvpack: NTIM.bin: MD5 mismatch\nqvpack: " + pkg +
                              ": 1 of 3 checks failed; no artifact built\n");
    // A link would not reach the router as the file it names.
    writeBytes(pkg + "/NTIM.bin", testing::randomBytes(200, 2));
    ASSERT_EQ(::symlink("NTIM.bin", (pkg + "/extra").c_str()), 0);
    result = qvpack({"artifact", pkg, "-t", "VK30", "-o", dir / "a.mender"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "qvpack: " + pkg + "/extra is not a regular file\n");
    EXPECT_FALSE(exists(dir / "a.mender"));
}

}  // namespace
}  // namespace KIVRA
