// qvpack sign and create --sign: the statement lists what the installer reads, openssl's
// signature over it verifies, and a failed signing leaves no signature and no package.

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "package_format/file_digest.h"
#include "package_format/signature.h"
#include "tests/support/package_builder.h"

namespace KIVRA {
namespace {

using package_format::SignatureState;
using testing::exists;
using testing::openssl;
using testing::ProcessResult;
using testing::qvpack;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

// A package made by qvpack create with extra options, and the release key dir/k.key whose
// public half is the only anchor of dir/keys.
std::string package(const TempDir& dir, const std::string& out,
                    const std::vector<std::string>& options = {}) {
    if (!exists(dir / "k.key")) {
        EXPECT_EQ(openssl({"genpkey", "-algorithm", "RSA", "-out", dir / "k.key"}).exitStatus, 0);
        EXPECT_EQ(::mkdir((dir / "keys").c_str(), 0755), 0);
        EXPECT_EQ(openssl({"pkey", "-in", dir / "k.key", "-pubout", "-out", dir / "keys/k.pem"})
                      .exitStatus,
                  0);
    }
    testing::PackageBuilder sources(dir / "src", out);
    sources.version = "4.2";
    sources.initScript = "#!/bin/sh\n";
    sources.source("zImage", testing::randomBytes(3000, 1));
    sources.source("notes.txt", "a=1\n");
    std::vector<std::string> args = sources.createArgs();
    args.insert(args.begin() + 2, options.begin(), options.end());
    return qvpack(args).err;
}

package_format::SignatureCheck checkWith(const TempDir& dir, const std::string& pkg) {
    return package_format::checkPackageSignature(package_format::loadTrustAnchors(dir / "keys"),
                                                 pkg);
}

TEST(QvpackSign, StatementListsEveryFileTheInstallerReadsAndTheSignatureVerifies) {
    TempDir dir;
    const std::string pkg = dir / "pkg";
    ASSERT_EQ(package(dir, pkg), "");
    const ProcessResult sign = qvpack({"sign", pkg, "--key", dir / "k.key"});
    EXPECT_EQ(sign.out,
              "qvpack: signed " + pkg + ": package.sha256 lists 5 files, SECURITY_EPOCH=0\n");
    EXPECT_EQ(openssl({"dgst", "-sha256", "-verify", dir / "keys/k.pem", "-signature",
                       pkg + "/package.sha256.sig", pkg + "/package.sha256"})
                  .exitStatus,
              0);
    const package_format::SignatureCheck check = checkWith(dir, pkg);
    ASSERT_EQ(check.state, SignatureState::Verified);
    std::string names;
    for (const auto& file : check.reading.statement.files) {
        names += file.name + " ";
        std::string digest;
        ASSERT_TRUE(package_format::sha256Text(pkg + "/" + file.name, digest));
        EXPECT_EQ(file.sha256, digest) << file.name << ": the bytes as they stand in the package";
    }
    EXPECT_EQ(names, "manifest.txt images.md5 init.sh zImage notes.txt ");

    // A new statement for an outside signer takes the older signature with it.
    const ProcessResult only = qvpack({"sign", pkg, "--statement-only"});
    EXPECT_EQ(only.out, "qvpack: wrote " + pkg +
                            "/package.sha256 (package.sha256 lists 5 files, SECURITY_EPOCH=0); "
                            "sign it into package.sha256.sig\n");
    EXPECT_EQ(checkWith(dir, pkg).state, SignatureState::NoSignature);
}

TEST(QvpackSign, CreateSignsWithTheEpochInManifestAndStatement) {
    TempDir dir;
    ASSERT_EQ(package(dir, dir / "pkg", {"--sign", dir / "k.key", "--security-epoch", "7"}), "");
    EXPECT_NE(readBytes(dir / "pkg/manifest.txt").find("\nSECURITY_EPOCH=7\n"), std::string::npos);
    const package_format::SignatureCheck check = checkWith(dir, dir / "pkg");
    ASSERT_EQ(check.state, SignatureState::Verified);
    EXPECT_EQ(check.reading.statement.securityEpoch, 7u);
    EXPECT_EQ(package_format::checkStatementAgainstManifest(
                  check.reading.statement, readBytes(dir / "pkg/manifest.txt"), "SECURITY_EPOCH=7")
                  .agreement,
              package_format::ManifestAgreement::Agrees);
}

TEST(QvpackSign, RefusesBadRequestsAndLeavesNothingSignedWhenOpensslFails) {
    TempDir dir;
    const std::string pkg = dir / "pkg";
    ASSERT_EQ(package(dir, pkg), "");
    ASSERT_EQ(std::system(("cp -r " + pkg + " " + dir / "cut && rm " + dir / "cut/zImage").c_str()),
              0);
    const std::string either = "qvpack: sign: expected one of --key KEY and --statement-only\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;  // the last line on standard error, after openssl's own
    } cases[] = {
        {{"sign", pkg}, 2, either},
        {{"sign", pkg, "--key", "k", "--statement-only"}, 2, either},
        {{"sign", pkg, "--key", dir / "none.key"},
         1,
         "qvpack: openssl failed (status 1); " + pkg + " is not signed\n"},
        {{"sign", dir / "cut", "--statement-only"},
         1,
         "qvpack: " + dir / "cut/images.md5: zImage: a file the installer would refuse (see "
                            "qvpack verify)\n"},
    };
    for (const auto& row : cases) {
        const ProcessResult result = qvpack(row.args);
        EXPECT_EQ(result.exitStatus, row.status) << row.message;
        const std::string& err = result.err;
        ASSERT_GE(err.size(), row.message.size()) << err;
        EXPECT_EQ(err.substr(err.size() - row.message.size()), row.message);
    }
    EXPECT_FALSE(exists(pkg + "/package.sha256.sig"));
    EXPECT_EQ(package(dir, dir / "a", {"--security-epoch", "4294967296"}),
              "qvpack: --security-epoch 4294967296: expected a decimal from 0 to 4294967295\n");
    EXPECT_EQ(package(dir, dir / "b", {"--set", "SECURITY_EPOCH=3"}),
              "qvpack: --set SECURITY_EPOCH: give the epoch with --security-epoch, which the "
              "statement repeats\n");
    EXPECT_NE(package(dir, dir / "c", {"--sign", dir / "none.key"}), "");
    EXPECT_FALSE(exists(dir / "c")) << "a package whose signing failed must not be left";
}

}  // namespace
}  // namespace KIVRA
