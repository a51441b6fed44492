// Package signatures with openssl as the signer: every key state of a device and every form
// of signature get their verdict, and a verified statement is held to the manifest.

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "package_format/file_digest.h"
#include "package_format/signature.h"
#include "tests/support/package_builder.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using package_format::KeyVerdict;
using package_format::ManifestAgreement;
using package_format::SignatureState;
using testing::readBytes;
using testing::requireOpenssl;
using testing::TempDir;
using testing::writeBytes;

// dir/NAME.key (private) and dir/NAME.pem (public); returns the public key's fingerprint.
std::string makeKey(const TempDir& dir, const std::string& name, int bits) {
    const std::string base = dir / name;
    requireOpenssl({"genpkey", "-algorithm", "RSA", "-pkeyopt",
                    "rsa_keygen_bits:" + std::to_string(bits), "-out", base + ".key"});
    requireOpenssl({"pkey", "-in", base + ".key", "-pubout", "-out", base + ".pem"});
    requireOpenssl(
        {"pkey", "-pubin", "-in", base + ".pem", "-outform", "DER", "-out", base + ".der"});
    return testing::runProcess({"/usr/bin/sha256sum", base + ".der"}).out.substr(0, 64);
}

std::string sign(const TempDir& dir, const std::string& key, const std::string& file) {
    requireOpenssl({"dgst", "-sha256", "-sign", dir / (key + ".key"), "-out", dir / "sig", file});
    return readBytes(dir / "sig");
}

const std::string kStatement =
    "KIVRA-PACKAGE-STATEMENT 1\nPRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4\nSECURITY_EPOCH=0\n" +
    std::string(64, 'a') + " 1 manifest.txt\n" + std::string(64, 'b') + " 2 images.md5\n";

struct KeyStateCase {
    const char* fault;    // what a check that got the row wrong would let happen
    std::string anchors;  // key files of the directory, by blanks; "-": no directory
    std::string signer;   // "" for no signature file
    std::string tamper;
    SignatureState state;
    size_t skipped;
};

TEST(Signature, EveryKeyStateAndSignatureFormGetsItsVerdict) {
    TempDir dir;
    std::map<std::string, std::string> fingerprints = {{"a", makeKey(dir, "a", 2048)},
                                                       {"b", makeKey(dir, "b", 3072)},
                                                       {"weak", makeKey(dir, "weak", 1024)}};
    using S = SignatureState;
    const KeyStateCase cases[] = {
        {"a device without anchors refusing", "-", "", "", S::NotEnforced, 0},
        {"an empty directory trusting anything", "", "a", "", S::NoUsableKey, 0},
        {"a good signature refused", "a", "a", "", S::Verified, 0},
        {"a foreign key accepted", "a", "b", "", S::SignedByNoTrustedKey, 0},
        {"a cut signature accepted", "a", "a", "cut", S::SignedByNoTrustedKey, 0},
        {"an extended signature accepted", "a", "a", "add", S::SignedByNoTrustedKey, 0},
        {"an empty signature accepted", "a", "a", "empty", S::SignedByNoTrustedKey, 0},
        {"a statement changed after signing", "a", "a", "statement", S::SignedByNoTrustedKey, 0},
        {"an unsigned package accepted", "a", "", "", S::NoSignature, 0},
        {"a statement read through a link", "a", "a", "link", S::UnreadableFile, 0},
        {"the first of two keys ignored", "a b", "a", "", S::Verified, 0},
        {"the second of two keys ignored", "a b", "b", "", S::Verified, 0},
        // Each unreadable key is skipped and counted, never trusted and never stopping the rest.
        {"a bad key stopping a good one", "bad dir a", "a", "", S::Verified, 2},
        {"a 1024-bit key trusted beside a good one", "weak a", "weak", "", S::SignedByNoTrustedKey,
         1},
        {"a signed statement of another form accepted", "a", "a", "form", S::BadStatement, 0},
    };
    for (const KeyStateCase& row : cases) {
        SCOPED_TRACE(row.fault);
        TempDir trust;
        TempDir pkg;
        const std::string keys = trust / "keys";
        if (row.anchors != "-") {
            ASSERT_EQ(::mkdir(keys.c_str(), 0755), 0);
            writeBytes(keys + "/README", "not a key, never read");
            writeBytes(keys + "/.hidden.pem", "not a key, never read");
        }
        std::istringstream names(row.anchors == "-" ? "" : row.anchors);
        for (std::string name; names >> name;) {
            if (name == "dir") {
                ASSERT_EQ(::mkdir((keys + "/dir.pem").c_str(), 0755), 0);
            } else {
                writeBytes(keys + "/" + name + ".pem", name == "bad"
                                                           ? "-----BEGIN PUBLIC KEY-----\n!!\n"
                                                           : readBytes(dir / (name + ".pem")));
            }
        }
        writeBytes(dir / "statement", row.tamper == "form" ? kStatement + "\n" : kStatement);
        if (row.tamper == "link") {
            ASSERT_EQ(::symlink((dir / "statement").c_str(), (pkg / "package.sha256").c_str()), 0);
        } else {
            writeBytes(pkg / "package.sha256", readBytes(dir / "statement"));
        }
        if (!row.signer.empty()) {
            std::string signature = sign(dir, row.signer, dir / "statement");
            if (row.tamper == "cut") signature.pop_back();
            if (row.tamper == "add") signature += '\0';
            if (row.tamper == "empty") signature.clear();
            writeBytes(pkg / "package.sha256.sig", signature);
        }
        if (row.tamper == "statement") {
            writeBytes(pkg / "package.sha256", kStatement.substr(0, kStatement.size() - 2) + "3\n");
        }

        const package_format::TrustAnchors anchors = package_format::loadTrustAnchors(keys);
        EXPECT_EQ(anchors.skipped.size(), row.skipped);
        const package_format::SignatureCheck check =
            package_format::checkPackageSignature(anchors, pkg.path());
        EXPECT_EQ(check.state, row.state) << package_format::describe(check, anchors);
        if (row.state == SignatureState::Verified) {
            EXPECT_EQ(check.key.path, keys + "/" + row.signer + ".pem");
            EXPECT_EQ(check.key.fingerprint, fingerprints[row.signer]);
        }
    }
}

TEST(Signature, KeyFilesThatAreNoUsableRsaPublicKeyAreRefused) {
    TempDir dir;
    requireOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                    dir / "ec.key"});
    requireOpenssl({"pkey", "-in", dir / "ec.key", "-pubout", "-out", dir / "ec.pem"});
    (void)makeKey(dir, "weak", 1024);
    const std::pair<std::string, KeyVerdict> cases[] = {
        {readBytes(dir / "ec.pem"), KeyVerdict::NotRsaKey},
        {readBytes(dir / "weak.key"), KeyVerdict::NotPemKey},  // a private key is no anchor
        {"-----BEGIN PUBLIC KEY-----\nAAAA\n", KeyVerdict::NotPemKey},
        {"-----BEGIN PUBLIC KEY-----\n=\n-----END PUBLIC KEY-----\n", KeyVerdict::NotRsaKey},
        {readBytes(dir / "weak.pem"), KeyVerdict::TooShort},
    };
    for (const auto& [text, verdict] : cases) {
        EXPECT_EQ(package_format::readTrustedKey(text).verdict, verdict) << text.substr(0, 40);
    }
    EXPECT_EQ(package_format::readTrustedKey(readBytes(dir / "weak.pem")).bits, 1024u);
}

// A verifier that parses the signed block leniently accepts other encodings than the one
// openssl writes, and loose encodings are the room forged signatures are made in.
TEST(Signature, OnlyTheOneEncodingOfTheDigestVerifies) {
    TempDir dir;
    (void)makeKey(dir, "a", 2048);
    writeBytes(dir / "msg", kStatement);
    requireOpenssl({"dgst", "-sha256", "-binary", "-out", dir / "hash", dir / "msg"});
    const std::string hash = std::string("\x04\x20", 2) + readBytes(dir / "hash");
    const std::string oid("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
    const std::string null("\x05\x00", 2);
    const auto sequence = [](const std::string& body) {
        return '\x30' + (char(body.size()) + body);
    };
    const std::pair<std::string, bool> cases[] = {
        {sequence(sequence(oid + null) + hash), true},  // as openssl writes it
        {sequence(sequence(oid + null) + hash + "garbage"), false},
        {sequence(sequence(oid) + hash), false},  // LibTomCrypt alone takes it
        {std::string("\x30\x81\x31", 3) + sequence(oid + null) + hash, false},  // long form
    };
    const package_format::KeyReading key = package_format::readTrustedKey(readBytes(dir / "a.pem"));
    for (const auto& [encoded, verifies] : cases) {
        writeBytes(dir / "block", std::string("\x00\x01", 2) +
                                      std::string(256 - 3 - encoded.size(), '\xff') +
                                      std::string(1, '\0') + encoded);
        // The raw private-key operation on the block is its signature.
        requireOpenssl({"pkeyutl", "-decrypt", "-inkey", dir / "a.key", "-pkeyopt",
                        "rsa_padding_mode:none", "-in", dir / "block", "-out", dir / "raw"});
        EXPECT_EQ(package_format::verifiesSignature(key.der, kStatement, readBytes(dir / "raw")),
                  verifies);
    }
}

TEST(Signature, VerifiedStatementIsHeldToTheManifestAndTheRunningEpoch) {
    const std::string manifest = "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\nSECURITY_EPOCH=5\n";
    const std::string differs = "the statement does not match the manifest (";
    const struct {
        std::string manifest;  // the bytes the statement lists
        std::string running;
        ManifestAgreement agreement;
        std::string words;
    } cases[] = {
        {manifest, "KIVRA_VERSION=4.1\nSECURITY_EPOCH=5\n", ManifestAgreement::Agrees, ""},
        {manifest, "", ManifestAgreement::Agrees, ""},
        {"PRODUCT_TYPE=ALDER\nKIVRA_VERSION=4.2\nSECURITY_EPOCH=5\n", "",
         ManifestAgreement::ProductTypeDiffers, differs + "PRODUCT_TYPE)"},
        {"PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.3\nSECURITY_EPOCH=5\n", "",
         ManifestAgreement::VersionDiffers, differs + "KIVRA_VERSION)"},
        // The next run would read the manifest's epoch, not the statement's.
        {"PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2\n", "", ManifestAgreement::EpochDiffers,
         differs + "SECURITY_EPOCH)"},
        {manifest, "SECURITY_EPOCH=6\n", ManifestAgreement::EpochLower,
         "security epoch 5 lower than the running firmware's 6"},
        {manifest, "SECURITY_EPOCH=six\n", ManifestAgreement::RunningEpochUnreadable,
         "the running firmware's SECURITY_EPOCH is not a number from 0 to 4294967295"},
    };
    TempDir dir;
    package_format::Statement statement;
    statement.productType = "BIRCH";
    statement.version = "4.2";
    statement.securityEpoch = 5;
    for (const auto& row : cases) {
        writeBytes(dir / "m", row.manifest);
        std::string digest;
        ASSERT_TRUE(package_format::sha256Text(dir / "m", digest));
        statement.files = {{digest, row.manifest.size(), "manifest.txt"}};
        const package_format::ManifestCheck check =
            package_format::checkStatementAgainstManifest(statement, row.manifest, row.running);
        EXPECT_EQ(check.agreement, row.agreement) << row.words;
        EXPECT_EQ(package_format::describe(check), row.words);
        // A manifest other than the one listed never gets as far as its keys.
        EXPECT_EQ(package_format::checkStatementAgainstManifest(statement, row.manifest + "X=1\n",
                                                                row.running)
                      .agreement,
                  ManifestAgreement::ManifestDiffers);
    }
}

}  // namespace
}  // namespace KIVRA
