// The package signature step: silent and passing where the device holds no trust anchors,
// and on a device that does, one line naming the key that verified or the cause of the
// refusal with code 19.

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "installer/kivra_installer_impl.h"
#include "installer/package_signature.h"
#include "package_format/file_digest.h"
#include "tests/support/package_builder.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::readBytes;
using testing::writeBytes;

const std::string kPkg = "/tmp/pkg";
const std::string kKeys = "/tmp/keys";
const std::string kManifest = "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\n";
const std::string kCopy = "/tmp/fw_manifest.txt";

std::string sha256Of(const std::string& path) {
    std::string digest;
    EXPECT_TRUE(package_format::sha256Text(path, digest));
    return digest;
}

struct StepCase {
    const char* fault;
    bool anchors;          // the trust directory exists
    bool brokenKeyBeside;  // an unreadable key file beside the good one
    bool signedPackage;
    std::string copy;     // the manifest copy the later steps read
    std::string running;  // /tmp/manifest.txt ("" for none)
    int code;
    std::string console;  // "@" stands for the verified line
};

class PackageSignatureStep : public testing::InstallerTest {};

TEST_F(PackageSignatureStep, RunsOnlyWithAnchorsAndNamesKeyOrCause) {
    ASSERT_EQ(::mkdir(kPkg.c_str(), 0755), 0);
    writeBytes(kPkg + "/manifest.txt", kManifest);
    writeBytes(kPkg + "/images.md5", "encrypted list");
    package_format::Statement statement;
    statement.productType = "BIRCH";
    statement.version = "4.2";
    statement.files = {{sha256Of(kPkg + "/manifest.txt"), kManifest.size(), "manifest.txt"},
                       {sha256Of(kPkg + "/images.md5"), 14, "images.md5"}};
    writeBytes(kPkg + "/package.sha256", package_format::formatStatement(statement));
    testing::requireOpenssl(
        {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "/tmp/a.key"});
    testing::requireOpenssl(
        {"dgst", "-sha256", "-sign", "/tmp/a.key", "-out", "/tmp/a.sig", kPkg + "/package.sha256"});
    const std::string verified = "Package signed by trusted key " + kKeys + "/a.pem (sha256 ";
    const std::string refused = "[KivraInstaller::checkPackageSignature] ";

    const StepCase cases[] = {
        {"a device without anchors logging or refusing", false, false, false, kManifest, "", 0, ""},
        {"a good package refused", true, false, true, kManifest, "SECURITY_EPOCH=0\n", 0, "@"},
        {"a broken key stopping the good one or going unnamed", true, true, true, kManifest, "", 0,
         "trusted key " + kKeys + "/b.pem skipped: no PEM public key (\"BEGIN PUBLIC KEY\")\n@"},
        {"an unsigned package installed", true, false, false, kManifest, "", 19,
         refused + "no signature (package.sha256.sig missing) (err 19)\n"},
        {"a manifest copy other than the signed one read on", true, false, true,
         kManifest + "X=1\n", "", 19,
         refused + "the statement does not match the manifest (manifest.txt) (err 19)\n"},
        {"an old package replayed", true, false, true, kManifest, "SECURITY_EPOCH=1\n", 19,
         refused + "security epoch 0 lower than the running firmware's 1 (err 19)\n"},
    };
    for (const StepCase& row : cases) {
        SCOPED_TRACE(row.fault);
        ASSERT_EQ(
            std::system(
                ("rm -rf " + kKeys + " /tmp/manifest.txt " + kPkg + "/package.sha256.sig").c_str()),
            0);
        if (row.anchors) {
            ASSERT_EQ(::mkdir(kKeys.c_str(), 0755), 0);
            testing::requireOpenssl(
                {"pkey", "-in", "/tmp/a.key", "-pubout", "-out", kKeys + "/a.pem"});
        }
        if (row.brokenKeyBeside) {
            writeBytes(kKeys + "/b.pem", "damaged");
        }
        if (row.signedPackage) {
            writeBytes(kPkg + "/package.sha256.sig", readBytes("/tmp/a.sig"));
        }
        writeBytes(kCopy, row.copy);
        if (!row.running.empty()) {
            writeBytes("/tmp/manifest.txt", row.running);
        }

        KivraInstaller::Impl d;
        d.fwDir = kPkg;
        installer::PackageSignature step(kKeys);
        EXPECT_EQ(step.enforced(), row.anchors);
        ::testing::internal::CaptureStdout();
        const int code = step.check(d);
        const std::string console = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, row.code);
        const auto at = row.console.find('@');
        if (at == std::string::npos) {
            EXPECT_EQ(console, row.console);
        } else {
            EXPECT_EQ(console.substr(0, at + verified.size()),
                      row.console.substr(0, at) + verified);
        }
        EXPECT_EQ(step.statement() != nullptr, row.code == 0 && row.anchors);
    }
}

}  // namespace
}  // namespace KIVRA
