// Package signatures against openssl as the signer: every key state of a device and every
// form of signature get the verdict the installer and qvpack act on, and a verified statement
// is held to the manifest the installer reads.

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "package_format/file_digest.h"
#include "package_format/signature.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using package_format::ManifestAgreement;
using package_format::SignatureState;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const testing::ProcessResult result = testing::runProcess(argv);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
}

// An RSA key pair made by openssl: key (private, PEM) and pem (public, as trust anchor).
struct KeyPair {
    std::string key;
    std::string pem;
    std::string fingerprint;  // SHA-256 of the DER public key, as openssl and sha256sum give it
};

KeyPair makeKey(const TempDir& dir, const std::string& name, int bits) {
    KeyPair pair{dir / (name + ".key"), dir / (name + ".pub.pem"), ""};
    openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:" + std::to_string(bits),
             "-out", pair.key});
    openssl({"pkey", "-in", pair.key, "-pubout", "-out", pair.pem});
    openssl({"pkey", "-pubin", "-in", pair.pem, "-outform", "DER", "-out", dir / (name + ".der")});
    pair.fingerprint =
        testing::runProcess({"/usr/bin/sha256sum", dir / (name + ".der")}).out.substr(0, 64);
    return pair;
}

std::string signatureBy(const KeyPair& pair, const std::string& statementPath, const TempDir& dir) {
    openssl({"dgst", "-sha256", "-sign", pair.key, "-out", dir / "sig", statementPath});
    return readBytes(dir / "sig");
}

const std::string kStatement =
    "KIVRA-PACKAGE-STATEMENT 1\nPRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4\n"
    "SECURITY_EPOCH=0\n" +
    std::string(64, 'a') + " 1 manifest.txt\n" + std::string(64, 'b') + " 2 images.md5\n";

struct KeyStateCase {
    const char* fault;                 // what a check that got the row wrong would let happen
    std::vector<std::string> anchors;  // key names in the directory; "none": no directory
    std::string signer;                // key that signs; "" for no signature file
    std::string tamper;                // "truncate", "append", "empty", "statement", "malformed"
    SignatureState state;
    std::string verifiedBy;  // key name of Verified
    size_t skipped;
};

TEST(Signature, EveryKeyStateAndSignatureFormGetsItsVerdict) {
    TempDir dir;
    const KeyPair a = makeKey(dir, "a", 2048);
    const KeyPair b = makeKey(dir, "b", 3072);
    const KeyPair weak = makeKey(dir, "weak", 1024);
    const auto pairOf = [&](const std::string& name) -> const KeyPair& {
        return name == "a" ? a : name == "b" ? b : weak;
    };
    const KeyStateCase cases[] = {
        {"a device without anchors refusing packages",
         {"none"},
         "",
         "",
         SignatureState::NotEnforced,
         "",
         0},
        {"an empty directory trusting anything", {}, "a", "", SignatureState::NoUsableKey, "", 0},
        {"unreadable keys taken for none at all",
         {"garbage", "dir"},
         "a",
         "",
         SignatureState::NoUsableKey,
         "",
         2},
        {"a 1024-bit anchor trusted", {"weak"}, "weak", "", SignatureState::NoUsableKey, "", 1},
        {"a good signature refused", {"a"}, "a", "", SignatureState::Verified, "a", 0},
        {"a foreign key's signature accepted",
         {"a"},
         "b",
         "",
         SignatureState::SignedByNoTrustedKey,
         "",
         0},
        {"a truncated signature accepted",
         {"a"},
         "a",
         "truncate",
         SignatureState::SignedByNoTrustedKey,
         "",
         0},
        {"a signature with a byte appended accepted",
         {"a"},
         "a",
         "append",
         SignatureState::SignedByNoTrustedKey,
         "",
         0},
        {"an empty signature accepted",
         {"a"},
         "a",
         "empty",
         SignatureState::SignedByNoTrustedKey,
         "",
         0},
        {"a statement changed after signing accepted",
         {"a"},
         "a",
         "statement",
         SignatureState::SignedByNoTrustedKey,
         "",
         0},
        {"an unsigned package accepted", {"a"}, "", "", SignatureState::NoSignature, "", 0},
        {"the first of two keys not trusted",
         {"a", "b"},
         "a",
         "",
         SignatureState::Verified,
         "a",
         0},
        {"the second of two keys not trusted",
         {"a", "b"},
         "b",
         "",
         SignatureState::Verified,
         "b",
         0},
        {"an unreadable key stopping a good one",
         {"garbage", "a"},
         "a",
         "",
         SignatureState::Verified,
         "a",
         1},
        {"a weak key's signature accepted beside a good key",
         {"weak", "a"},
         "weak",
         "",
         SignatureState::SignedByNoTrustedKey,
         "",
         1},
        {"a signed statement of another form accepted",
         {"a"},
         "a",
         "malformed",
         SignatureState::BadStatement,
         "",
         0},
    };
    for (const KeyStateCase& row : cases) {
        SCOPED_TRACE(row.fault);
        TempDir trust;
        TempDir pkg;
        std::string trustDir = trust / "keys";
        if (row.anchors != std::vector<std::string>{"none"}) {
            ASSERT_EQ(::mkdir(trustDir.c_str(), 0755), 0);
            // Files beside the keys that are not *.pem anchors: never read.
            writeBytes(trustDir + "/README", "not a key");
            writeBytes(trustDir + "/.hidden.pem", "not a key");
        }
        for (const std::string& name : row.anchors) {
            if (name == "garbage") {
                writeBytes(trustDir + "/garbage.pem", "-----BEGIN PUBLIC KEY-----\n!!\n");
            } else if (name == "dir") {
                ASSERT_EQ(::mkdir((trustDir + "/dir.pem").c_str(), 0755), 0);
            } else if (name != "none") {
                writeBytes(trustDir + "/" + name + ".pem", readBytes(pairOf(name).pem));
            }
        }
        const std::string statement = row.tamper == "malformed" ? kStatement + "\n" : kStatement;
        writeBytes(pkg / "package.sha256", statement);
        if (!row.signer.empty()) {
            std::string signature = signatureBy(pairOf(row.signer), pkg / "package.sha256", dir);
            if (row.tamper == "truncate") signature.pop_back();
            if (row.tamper == "append") signature += '\0';
            if (row.tamper == "empty") signature.clear();
            writeBytes(pkg / "package.sha256.sig", signature);
        }
        if (row.tamper == "statement") {
            writeBytes(pkg / "package.sha256", kStatement.substr(0, kStatement.size() - 2) + "3\n");
        }

        const package_format::TrustAnchors anchors = package_format::loadTrustAnchors(trustDir);
        EXPECT_EQ(anchors.skipped.size(), row.skipped);
        const package_format::SignatureCheck check =
            package_format::checkPackageSignature(anchors, pkg.path());
        EXPECT_EQ(check.state, row.state) << package_format::describe(check, anchors);
        if (row.state == SignatureState::Verified) {
            EXPECT_EQ(check.key.path, trustDir + "/" + row.verifiedBy + ".pem");
            EXPECT_EQ(check.key.fingerprint, pairOf(row.verifiedBy).fingerprint);
            EXPECT_EQ(check.reading.statement.productType, "BIRCH");
        }
    }
}

TEST(Signature, RefusalsAndSkippedKeysAreWordedForADeviceEngineer) {
    TempDir dir;
    const std::string trustDir = dir / "keys";
    ASSERT_EQ(::mkdir(trustDir.c_str(), 0755), 0);
    writeBytes(trustDir + "/old.pem", "-----BEGIN PUBLIC KEY-----\n!!\n");
    const package_format::TrustAnchors anchors = package_format::loadTrustAnchors(trustDir);
    ASSERT_EQ(anchors.skipped.size(), 1u);
    EXPECT_EQ(
        package_format::describe(anchors.skipped[0]),
        "trusted key " + trustDir + "/old.pem skipped: no PEM public key (\"BEGIN PUBLIC KEY\")");
    const package_format::SignatureCheck check =
        package_format::checkPackageSignature(anchors, dir.path());
    EXPECT_EQ(package_format::describe(check, anchors), "no usable trusted key in " + trustDir);

    package_format::SignatureCheck unsigned_;
    unsigned_.state = SignatureState::NoSignature;
    unsigned_.missing = "package.sha256.sig";
    EXPECT_EQ(package_format::describe(unsigned_, anchors),
              "no signature (package.sha256.sig missing)");
    unsigned_.state = SignatureState::SignedByNoTrustedKey;
    EXPECT_EQ(package_format::describe(unsigned_, anchors), "signed by no trusted key");
}

TEST(Signature, KeyFilesThatAreNoUsableRsaPublicKeyAreRefusedWithTheirReason) {
    TempDir dir;
    openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
             dir / "ec.key"});
    openssl({"pkey", "-in", dir / "ec.key", "-pubout", "-out", dir / "ec.pem"});
    const KeyPair weak = makeKey(dir, "weak", 1024);
    const KeyPair good = makeKey(dir, "good", 2048);
    const struct {
        const char* fault;
        std::string text;
        package_format::KeyVerdict verdict;
    } cases[] = {
        {"an EC key taken for RSA", readBytes(dir / "ec.pem"),
         package_format::KeyVerdict::NotRsaKey},
        {"a private key file trusted as a public key", readBytes(weak.key),
         package_format::KeyVerdict::NotPemKey},
        {"a key without its END line", "-----BEGIN PUBLIC KEY-----\nAAAA\n",
         package_format::KeyVerdict::NotPemKey},
        {"a 1024-bit key trusted", readBytes(weak.pem), package_format::KeyVerdict::TooShort},
        {"a good key refused", readBytes(good.pem), package_format::KeyVerdict::Usable},
    };
    for (const auto& row : cases) {
        const package_format::KeyReading reading = package_format::readTrustedKey(row.text);
        EXPECT_EQ(reading.verdict, row.verdict) << row.fault;
    }
    EXPECT_EQ(package_format::readTrustedKey(readBytes(weak.pem)).bits, 1024u);
    EXPECT_EQ(package_format::readTrustedKey(readBytes(good.pem)).fingerprint, good.fingerprint);
}

TEST(Signature, PackageFilesAreReadOnlyAsRegularFilesNeverThroughALink) {
    TempDir dir;
    const KeyPair a = makeKey(dir, "a", 2048);
    const std::string trustDir = dir / "keys";
    ASSERT_EQ(::mkdir(trustDir.c_str(), 0755), 0);
    writeBytes(trustDir + "/a.pem", readBytes(a.pem));
    writeBytes(dir / "elsewhere", kStatement);
    const std::string signature = signatureBy(a, dir / "elsewhere", dir);
    TempDir pkg;
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (pkg / "package.sha256").c_str()), 0);
    writeBytes(pkg / "package.sha256.sig", signature);
    const package_format::TrustAnchors anchors = package_format::loadTrustAnchors(trustDir);
    const package_format::SignatureCheck check =
        package_format::checkPackageSignature(anchors, pkg.path());
    EXPECT_EQ(check.state, SignatureState::UnreadableFile);
    EXPECT_EQ(package_format::describe(check, anchors),
              "no signature (package.sha256 cannot be read: not a regular file)");
}

struct ManifestCase {
    const char* fault;
    std::string manifest;
    std::string running;
    ManifestAgreement agreement;
    std::string words;
};

TEST(Signature, VerifiedStatementIsHeldToTheManifestAndTheRunningEpoch) {
    const std::string manifest = "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\nSECURITY_EPOCH=5\n";
    const ManifestCase cases[] = {
        {"a matching package refused", manifest, "KIVRA_VERSION=4.1\nSECURITY_EPOCH=5\n",
         ManifestAgreement::Agrees, ""},
        {"a device without a running epoch refusing", manifest, "", ManifestAgreement::Agrees, ""},
        {"a manifest changed beside its statement", manifest + "EXTRA=1\n", "",
         ManifestAgreement::ManifestDiffers,
         "the statement does not match the manifest (manifest.txt)"},
        {"a package of another product type",
         "PRODUCT_TYPE=ALDER\nKIVRA_VERSION=4.2\nSECURITY_EPOCH=5\n", "",
         ManifestAgreement::ProductTypeDiffers,
         "the statement does not match the manifest (PRODUCT_TYPE)"},
        {"a statement of another version",
         "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.3\nSECURITY_EPOCH=5\n", "",
         ManifestAgreement::VersionDiffers,
         "the statement does not match the manifest (KIVRA_VERSION)"},
        {"a manifest whose epoch the next run would read lower",
         "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\n", "", ManifestAgreement::EpochDiffers,
         "the statement does not match the manifest (SECURITY_EPOCH)"},
        {"an old signed package replayed", manifest, "SECURITY_EPOCH=6\n",
         ManifestAgreement::EpochLower, "security epoch 5 lower than the running firmware's 6"},
        {"a damaged running epoch taken for 0", manifest, "SECURITY_EPOCH=six\n",
         ManifestAgreement::RunningEpochUnreadable,
         "the running firmware's SECURITY_EPOCH is not a number from 0 to 4294967295"},
    };
    for (const ManifestCase& row : cases) {
        TempDir dir;
        writeBytes(dir / "m", row.manifest == manifest ? manifest : row.manifest);
        package_format::Statement statement;
        statement.productType = "BIRCH";
        statement.version = "4.2";
        statement.securityEpoch = 5;
        writeBytes(dir / "signed", manifest);
        std::string digest;
        ASSERT_TRUE(package_format::sha256Text(dir / "signed", digest));
        statement.files = {{digest, manifest.size(), "manifest.txt"}};
        if (row.agreement == ManifestAgreement::ProductTypeDiffers ||
            row.agreement == ManifestAgreement::VersionDiffers ||
            row.agreement == ManifestAgreement::EpochDiffers) {
            // The keys are compared on a manifest that the statement does list.
            ASSERT_TRUE(package_format::sha256Text(dir / "m", digest));
            statement.files = {{digest, row.manifest.size(), "manifest.txt"}};
        }
        const package_format::ManifestCheck check =
            package_format::checkStatementAgainstManifest(statement, row.manifest, row.running);
        EXPECT_EQ(check.agreement, row.agreement) << row.fault;
        EXPECT_EQ(package_format::describe(check), row.words) << row.fault;
    }
}

// Signatures whose padded block is not the one encoding openssl writes: a verifier that parses
// the block leniently accepts some of them, and garbage where the encoding is loose is the
// room forged signatures are made in (for small public exponents).
TEST(Signature, OnlyTheOneEncodingOfTheDigestVerifies) {
    TempDir dir;
    const KeyPair a = makeKey(dir, "a", 2048);
    writeBytes(dir / "msg", kStatement);
    openssl({"dgst", "-sha256", "-binary", "-out", dir / "hash", dir / "msg"});
    const std::string hash = readBytes(dir / "hash");
    const std::string oid("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
    const std::string null("\x05\x00", 2);
    const auto digestInfo = [&](const std::string& algorithm, const std::string& trailer) {
        const std::string algo = std::string("\x30", 1) + char(algorithm.size()) + algorithm;
        const std::string octets = std::string("\x04\x20", 2) + hash;
        const std::string body = algo + octets + trailer;
        return std::string("\x30", 1) + char(body.size()) + body;
    };
    const std::string longForm = std::string("\x30\x81\x31", 3) + "\x30\x0d" + oid + null +
                                 std::string("\x04\x20", 2) + hash;
    const struct {
        const char* fault;
        std::string encoded;
        bool verifies;
    } cases[] = {
        {"the encoding openssl writes refused", digestInfo(oid + null, ""), true},
        {"bytes after the digest accepted", digestInfo(oid + null, std::string(8, 'x')), false},
        {"a digest info without its NULL accepted", digestInfo(oid, ""), false},
        {"a long-form length accepted", longForm, false},
    };
    const package_format::KeyReading key = package_format::readTrustedKey(readBytes(a.pem));
    ASSERT_EQ(key.verdict, package_format::KeyVerdict::Usable);
    for (const auto& row : cases) {
        std::string block = std::string("\x00\x01", 2) +
                            std::string(256 - 3 - row.encoded.size(), '\xff') +
                            std::string(1, '\0') + row.encoded;
        writeBytes(dir / "block", block);
        // The raw private-key operation on the block is its signature.
        openssl({"pkeyutl", "-decrypt", "-inkey", a.key, "-pkeyopt", "rsa_padding_mode:none", "-in",
                 dir / "block", "-out", dir / "raw"});
        EXPECT_EQ(package_format::verifiesSignature(key.der, kStatement, readBytes(dir / "raw")),
                  row.verifies)
            << row.fault;
    }
}

}  // namespace
}  // namespace KIVRA
