// qvpack sign and create --sign: the statement lists what the installer reads, openssl's
// signature over it verifies with the public key, and a failed signing leaves no signature.

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "package_format/file_digest.h"
#include "package_format/signature.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::ProcessResult;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

ProcessResult run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::runProcess(argv);
}

ProcessResult qvpack(const std::vector<std::string>& args) {
    return run(testing::binPath("qvpack"), args);
}

// A key pair, the public half in its own trust directory dir/keys.
std::string makeKey(const TempDir& dir) {
    EXPECT_EQ(run("/usr/bin/openssl", {"genpkey", "-algorithm", "RSA", "-pkeyopt",
                                       "rsa_keygen_bits:2048", "-out", dir / "release.key"})
                  .exitStatus,
              0);
    EXPECT_EQ(::mkdir((dir / "keys").c_str(), 0755), 0);
    EXPECT_EQ(run("/usr/bin/openssl",
                  {"pkey", "-in", dir / "release.key", "-pubout", "-out", dir / "keys/release.pem"})
                  .exitStatus,
              0);
    return dir / "release.key";
}

std::vector<std::string> createArgs(const TempDir& dir, const std::string& out) {
    writeBytes(dir / "zImage", testing::randomBytes(3000, 1));
    writeBytes(dir / "settings.conf", "a=1\n");
    writeBytes(dir / "pre.sh", "#!/bin/sh\n");
    return {"create",         out,
            "--version",      "4.2",
            "--product-type", "BIRCH",
            "--init-script",  dir / "pre.sh",
            dir / "zImage",   dir / "settings.conf"};
}

package_format::SignatureCheck checkWith(const TempDir& dir, const std::string& pkg) {
    return package_format::checkPackageSignature(package_format::loadTrustAnchors(dir / "keys"),
                                                 pkg);
}

TEST(QvpackSign, StatementListsEveryFileTheInstallerReadsAndTheSignatureVerifies) {
    TempDir dir;
    const std::string key = makeKey(dir);
    ASSERT_EQ(qvpack(createArgs(dir, dir / "pkg")).exitStatus, 0);
    const ProcessResult sign = qvpack({"sign", dir / "pkg", "--key", key});
    ASSERT_EQ(sign.exitStatus, 0) << sign.err;
    EXPECT_EQ(sign.out, "qvpack: signed " + dir / "pkg" +
                            ": package.sha256 lists 5 files, SECURITY_EPOCH=0\n");

    // openssl itself accepts the signature over the statement's bytes.
    const ProcessResult verified = run(
        "/usr/bin/openssl", {"dgst", "-sha256", "-verify", dir / "keys/release.pem", "-signature",
                             dir / "pkg/package.sha256.sig", dir / "pkg/package.sha256"});
    EXPECT_EQ(verified.exitStatus, 0) << verified.out << verified.err;

    const package_format::SignatureCheck check = checkWith(dir, dir / "pkg");
    ASSERT_EQ(check.state, package_format::SignatureState::Verified);
    const package_format::Statement& statement = check.reading.statement;
    std::vector<std::string> names;
    for (const auto& file : statement.files) {
        names.push_back(file.name);
        std::string digest;
        ASSERT_TRUE(package_format::sha256Text(dir / ("pkg/" + file.name), digest));
        EXPECT_EQ(file.sha256, digest) << file.name << ": the bytes as they stand in the package";
    }
    EXPECT_EQ(names, (std::vector<std::string>{"manifest.txt", "images.md5", "init.sh", "zImage",
                                               "settings.conf"}));
    EXPECT_EQ(package_format::checkStatementAgainstManifest(statement,
                                                            readBytes(dir / "pkg/manifest.txt"), "")
                  .agreement,
              package_format::ManifestAgreement::Agrees);
}

TEST(QvpackSign, StatementOnlyRemovesTheSignatureOfAnOlderStatement) {
    TempDir dir;
    const std::string key = makeKey(dir);
    ASSERT_EQ(qvpack(createArgs(dir, dir / "pkg")).exitStatus, 0);
    ASSERT_EQ(qvpack({"sign", dir / "pkg", "--key", key}).exitStatus, 0);
    const ProcessResult only = qvpack({"sign", dir / "pkg", "--statement-only"});
    ASSERT_EQ(only.exitStatus, 0) << only.err;
    EXPECT_EQ(only.out, "qvpack: wrote " + dir / "pkg" +
                            "/package.sha256 (package.sha256 lists 5 files, SECURITY_EPOCH=0); "
                            "sign it into package.sha256.sig\n");
    EXPECT_TRUE(exists(dir / "pkg/package.sha256"));
    EXPECT_FALSE(exists(dir / "pkg/package.sha256.sig"));
    EXPECT_EQ(checkWith(dir, dir / "pkg").state, package_format::SignatureState::NoSignature);
}

TEST(QvpackSign, CreateSignsWithTheEpochInManifestAndStatement) {
    TempDir dir;
    const std::string key = makeKey(dir);
    std::vector<std::string> args = createArgs(dir, dir / "pkg");
    args.insert(args.begin() + 2, {"--sign", key, "--security-epoch", "7"});
    const ProcessResult made = qvpack(args);
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_NE(made.out.find("qvpack: created " + dir / "pkg" + ": 7 files (3 encrypted)"),
              std::string::npos)
        << made.out;
    EXPECT_NE(made.out.find("qvpack: signed " + dir / "pkg" +
                            ": package.sha256 lists 5 files, SECURITY_EPOCH=7\n"),
              std::string::npos)
        << made.out;
    EXPECT_NE(readBytes(dir / "pkg/manifest.txt").find("\nSECURITY_EPOCH=7\n"), std::string::npos);
    const package_format::SignatureCheck check = checkWith(dir, dir / "pkg");
    ASSERT_EQ(check.state, package_format::SignatureState::Verified);
    EXPECT_EQ(check.reading.statement.securityEpoch, 7u);
    EXPECT_EQ(package_format::checkStatementAgainstManifest(
                  check.reading.statement, readBytes(dir / "pkg/manifest.txt"), "SECURITY_EPOCH=7")
                  .agreement,
              package_format::ManifestAgreement::Agrees);
}

TEST(QvpackSign, RefusesBadRequestsAndLeavesNoSignatureWhenOpensslFails) {
    TempDir dir;
    ASSERT_EQ(qvpack(createArgs(dir, dir / "pkg")).exitStatus, 0);
    ASSERT_EQ(
        std::system(("cp -r " + dir / "pkg " + dir / "cut && rm " + dir / "cut/zImage").c_str()),
        0);
    std::vector<std::string> badEpoch = createArgs(dir, dir / "new");
    badEpoch.insert(badEpoch.end(), {"--security-epoch", "4294967296"});
    std::vector<std::string> epochBySet = createArgs(dir, dir / "new");
    epochBySet.insert(epochBySet.end(), {"--set", "SECURITY_EPOCH=3"});
    const struct {
        std::vector<std::string> args;
        int exitStatus;
        std::string message;
    } cases[] = {
        {{"sign", dir / "pkg"},
         2,
         "qvpack: sign: expected one of --key KEY and --statement-only\n"},
        {{"sign", dir / "pkg", "--key", "k", "--statement-only"},
         2,
         "qvpack: sign: expected one of --key KEY and --statement-only\n"},
        {{"sign", dir / "pkg", "--key", dir / "no-such.key"},
         1,
         "qvpack: openssl failed (status 1); " + dir / "pkg" + " is not signed\n"},
        {{"sign", dir / "cut", "--statement-only"},
         1,
         "qvpack: " + dir / "cut/images.md5: zImage: a file the installer would refuse (see "
                            "qvpack verify)\n"},
        {{"sign", dir / "nothing", "--statement-only"},
         1,
         "qvpack: cannot read " + dir / "nothing/manifest.txt: No such file or directory\n"},
        {badEpoch, 2,
         "qvpack: --security-epoch 4294967296: expected a decimal from 0 to 4294967295\n"},
        {epochBySet, 2,
         "qvpack: --set SECURITY_EPOCH: give the epoch with --security-epoch, which the "
         "statement repeats\n"},
    };
    for (const auto& row : cases) {
        const ProcessResult result = qvpack(row.args);
        EXPECT_EQ(result.exitStatus, row.exitStatus) << row.args[1];
        // openssl's own complaint goes before qvpack's line.
        ASSERT_GE(result.err.size(), row.message.size()) << result.err;
        EXPECT_EQ(result.err.substr(result.err.size() - row.message.size()), row.message);
    }
    EXPECT_FALSE(exists(dir / "pkg/package.sha256.sig"));

    std::vector<std::string> args = createArgs(dir, dir / "new");
    args.insert(args.begin() + 2, {"--sign", dir / "no-such.key"});
    EXPECT_EQ(qvpack(args).exitStatus, 1);
    EXPECT_FALSE(exists(dir / "new")) << "a package whose signing failed must not be left";
}

}  // namespace
}  // namespace KIVRA
