// Package encryption format: key derivation, key stream and file transfer.
//
// The known answers below come from tests/crypto/known_answers.sh, which derives them with
// coreutils sha256sum/md5sum and OpenSSL's AES-256-ECB over counter blocks it builds itself,
// sharing no code with the installer. Run it again to regenerate them.

#include <sys/mount.h>
#include <sys/stat.h>
#include <tomcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/qv_encryption.h"
#include "tests/support/package_builder.h"

namespace KIVRA {
namespace {

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

struct KnownAnswer {
    const char* passphrase;
    const char* key;
    const char* iv;
    const char* keyStreamHead;
    std::vector<std::pair<size_t, const char*>> keyStreamMd5;  // length, MD5 of that prefix
};

// passphrase "4.2.1-r7"
const KnownAnswer kVersionPassphrase = {
    "4.2.1-r7",
    "ba088f030431a6fec1084cf4b35385181ead122cc083eb804cef57d3b2e392a5",  // key
    "c6ba7e4fcb9e2248f43eb407f2cb1211f2608fec7ce0af6e17bdde656d00fcb7",  // iv
    "7a858da2350ba8f89bed606d303a6e39c69a39f598b76f9bafdea8090480c080b3305896916323c816b7bde04c"
    "e3975d",  // first 48 key-stream bytes
    {
        {1, "fbade9e36a3f36d3d676c1b808451dd7"},
        {15, "d8f86ae44a336b315cb68fb1de4bcc33"},
        {16, "517280c33116e5cba3033dae0f32f194"},
        {17, "fbc737c62942847c16361fb8014b8b05"},
        {4095, "9c2b48f7065b435b9a7851a727127a73"},
        {4096, "336eca85e0ab76ce11fbe80df476abe6"},
        {4097, "be4ba395bae6e051d2b090dfb1d44803"},
    },
};

// passphrase ""
const KnownAnswer kEmptyPassphrase = {
    "",
    "d040deb748c2bb65161f6dcfe9456fc5640fa57b4063b8c9faba16050f5ba289",  // key
    "1955f7249b8c68270bf933f4d2c304aa69aeaa9ce3978b68f42e6d2d591d248e",  // iv
    "5f412c67e25f1191cc17326f33e0b1588d462f114589f545e1415b7ea38039f0621e10d4f9971a840bbc5171f1"
    "faeff1",  // first 48 key-stream bytes
    {
        {1, "b14a7b8059d9c055954c92674ce60032"},
        {15, "8af9ab9b4f7445b6cd2293712d66979c"},
        {16, "0b475928deab5d03132cec2bc2945715"},
        {17, "0dfdca1f8b0559e5c33e3211206add13"},
        {4095, "94ad4cdda7336b66dc57a22fec46fa35"},
        {4096, "156e9f8142d98a398c6e35d4c8b20f04"},
        {4097, "facafe147416e5a18bae5d4c64b13961"},
    },
};

// passphrase "carry-7": counter block 0 ff13fc7f8f22679a8c7dac152dba3bda, block 1
// 0014fc7f8f22679a8c7dac152dba3bda (a carry towards byte 15 instead would give block 1
// ff13fc7f8f22679a8c7dac152dba3bdb)
const KnownAnswer kCarryPassphrase = {
    "carry-7",
    "8fbcbbc67e9b0b9154097135ca9c7be3b7805ffc1cdcf1b1d12b7e54a2bc705e",  // key
    "ff13fc7f8f22679a8c7dac152dba3bda0c5da121bd69810752626d2c7afa8dd6",  // iv
    "c2296defbfae4aebda54c47decee7e215f414bb5d48ffa1a821fefe3f6b5904b5c0d2ef37539b0a8e1af8a1f08"
    "846843",  // first 48 key-stream bytes
    {
        {1, "6465dad1d31752be3f3283e8f70feef7"},
        {15, "ea18969b8645139973140de2d7ba3985"},
        {16, "871c7ffe96a1390a6e6f6a33ae166156"},
        {17, "5b3c7aca05dd418ee3566f93f6c420a6"},
        {4095, "d2b2cd9fb3026983ccf9132ecbd21225"},
        {4096, "ea410db9e1b45f30239414baf96e30e2"},
        {4097, "026611e9d8289e1802fe724d685f9eba"},
    },
};

const unsigned char kSalt[8] = {0x3a, 0x9e, 0x51, 0xc7, 0x02, 0xd4, 0x6b, 0xe8};

std::string toHex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char c : bytes) {
        text += kHex[c >> 4];
        text += kHex[c & 0x0F];
    }
    return text;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    return toHex(std::string(reinterpret_cast<const char*>(bytes), length));
}

std::string fiveFold(const std::string& data) {
    unsigned char out[32];
    unsigned long length = sizeof out;
    EXPECT_EQ(deriveDigest(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out,
                           &length, 5),
              0);
    EXPECT_EQ(length, 32u);
    return toHex(out, length);
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// Encrypts length zero bytes: the result is the key stream itself.
std::string keyStream(const TempDir& dir, const std::string& passphrase, size_t length) {
    writeBytes(dir / "zeros", std::string(length, '\0'));
    QvEncryption crypto;
    EXPECT_EQ(crypto.setKey(passphrase), 0);
    EXPECT_EQ(crypto.encryptFile(dir / "zeros", dir / "stream"), 0);
    return readBytes(dir / "stream");
}

const KnownAnswer* const kAllAnswers[] = {&kVersionPassphrase, &kEmptyPassphrase,
                                          &kCarryPassphrase};

TEST(QvEncryptionKnownAnswer, KeyIsFiveFoldSha256OfPassphraseAndSalt) {
    for (const KnownAnswer* answer : kAllAnswers) {
        const std::string salt(reinterpret_cast<const char*>(kSalt), sizeof kSalt);
        EXPECT_EQ(fiveFold(answer->passphrase + salt), answer->key) << answer->passphrase;
    }
}

TEST(QvEncryptionKnownAnswer, CounterIsFiveFoldSha256OfKeyPassphraseAndSalt) {
    for (const KnownAnswer* answer : kAllAnswers) {
        const std::string salt(reinterpret_cast<const char*>(kSalt), sizeof kSalt);
        EXPECT_EQ(fiveFold(fromHex(answer->key) + answer->passphrase + salt), answer->iv)
            << answer->passphrase;
    }
}

TEST(QvEncryptionKnownAnswer, SingleIterationIsPlainSha256) {
    // FIPS 180-2 example: SHA-256("abc").
    const unsigned char abc[] = {'a', 'b', 'c'};
    unsigned char out[64] = {};
    for (unsigned long wrong : {31UL, 33UL, 64UL}) {
        unsigned long length = wrong;
        EXPECT_EQ(deriveDigest(abc, 3, out, &length, 1), -1) << "capacity " << wrong;
        EXPECT_EQ(length, wrong);
    }
    EXPECT_EQ(toHex(out, sizeof out), std::string(128, '0')) << "nothing written on failure";
    unsigned long length = 32;
    ASSERT_EQ(deriveDigest(abc, 3, out, &length, 1), 0);
    EXPECT_EQ(toHex(out, length),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(QvEncryptionKnownAnswer, KeyStreamMatchesIndependentAesCounterMode) {
    for (const KnownAnswer* answer : kAllAnswers) {
        TempDir dir;
        EXPECT_EQ(toHex(keyStream(dir, answer->passphrase, 48)), answer->keyStreamHead)
            << "passphrase \"" << answer->passphrase << "\"";
    }
}

TEST(QvEncryptionKnownAnswer, CounterCarriesFromByteZeroIntoByteOne) {
    // Counter block 0 of this passphrase begins with ff, so key-stream block 1 is the
    // encryption of 00 14 fc ...; a carry into byte 15 or a big-endian counter gives other
    // bytes from the second block on.
    ASSERT_EQ(std::string(kCarryPassphrase.iv).substr(0, 4), "ff13");
    TempDir dir;
    const std::string stream = toHex(keyStream(dir, kCarryPassphrase.passphrase, 48));
    EXPECT_EQ(stream.substr(0, 32), std::string(kCarryPassphrase.keyStreamHead).substr(0, 32));
    EXPECT_EQ(stream.substr(32), std::string(kCarryPassphrase.keyStreamHead).substr(32));
}

TEST(QvEncryptionKnownAnswer, EveryBoundaryLengthGivesThatPrefixOfTheKeyStream) {
    for (const KnownAnswer* answer : kAllAnswers) {
        for (const auto& [length, digest] : answer->keyStreamMd5) {
            TempDir dir;
            const std::string stream = keyStream(dir, answer->passphrase, length);
            EXPECT_EQ(stream.size(), length);
            EXPECT_EQ(testing::md5Of(stream), digest)
                << "passphrase \"" << answer->passphrase << "\", length " << length;
        }
    }
}

// The transfer unit never enters the format: across unit boundaries the file's key stream is
// the one LibTomCrypt gives for the whole length in a single call, from the known key and IV.
TEST(QvEncryptionKnownAnswer, KeyStreamAcrossTransferUnitsIsTheSingleCallStream) {
    const size_t length = 3 * 65536 + 5;
    ASSERT_NE(register_cipher(&aes_desc), -1);
    const std::string key = fromHex(kVersionPassphrase.key);
    const std::string iv = fromHex(kVersionPassphrase.iv);
    symmetric_CTR ctr;
    ASSERT_EQ(ctr_start(find_cipher("aes"), reinterpret_cast<const unsigned char*>(iv.data()),
                        reinterpret_cast<const unsigned char*>(key.data()), 32, 0,
                        CTR_COUNTER_LITTLE_ENDIAN, &ctr),
              CRYPT_OK);
    std::string expected(length, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(&expected[0]);
    ASSERT_EQ(ctr_encrypt(bytes, bytes, length, &ctr), CRYPT_OK);
    (void)ctr_done(&ctr);
    TempDir dir;
    EXPECT_TRUE(keyStream(dir, kVersionPassphrase.passphrase, length) == expected);
}

// One object for all lengths: each call starts at key-stream position zero, so encrypting
// and decrypting give the same bytes and a round trip restores the plain file, over the
// block and chunk boundaries and across many chunks. An earlier output is replaced, even by
// an empty one.
TEST(QvEncryption, RoundTripRestoresEveryLengthWithEachCallStartingAfresh) {
    const size_t lengths[] = {0, 1, 15, 16, 17, 4095, 4096, 4097, 3 * 4096 + 5, 1024 * 1024 + 3};
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey(kVersionPassphrase.passphrase), 0);
    for (const size_t length : lengths) {
        SCOPED_TRACE(length);
        TempDir dir;
        const std::string plain =
            testing::randomBytes(length, 1000 + static_cast<unsigned>(length));
        writeBytes(dir / "plain", plain);
        writeBytes(dir / "dec", "stale content");
        ASSERT_EQ(crypto.encryptFile(dir / "plain", dir / "enc"), 0);
        ASSERT_EQ(crypto.decryptFile(dir / "plain", dir / "enc2"), 0);
        ASSERT_EQ(crypto.decryptFile(dir / "enc", dir / "dec"), 0);
        const std::string encrypted = readBytes(dir / "enc");
        EXPECT_EQ(encrypted.size(), length);
        if (length >= 16) {
            EXPECT_NE(encrypted, plain);
        }
        EXPECT_TRUE(readBytes(dir / "enc2") == encrypted);
        EXPECT_TRUE(readBytes(dir / "dec") == plain);
    }
}

// Objects with one passphrase agree; the last character of the passphrase changes the whole
// stream; a second setKey replaces the key.
TEST(QvEncryption, KeyStreamBelongsToThePassphraseAlone) {
    TempDir dir;
    QvEncryption first, second, other;
    ASSERT_EQ(first.setKey("5.0.1"), 0);
    ASSERT_EQ(second.setKey("first"), 0);
    ASSERT_EQ(second.setKey("5.0.1"), 0);
    ASSERT_EQ(other.setKey("5.0.2"), 0);
    writeBytes(dir / "plain", std::string(4096, '\0'));
    ASSERT_EQ(first.encryptFile(dir / "plain", dir / "a"), 0);
    ASSERT_EQ(second.encryptFile(dir / "plain", dir / "b"), 0);
    ASSERT_EQ(other.encryptFile(dir / "plain", dir / "c"), 0);
    const std::string a = readBytes(dir / "a");
    const std::string c = readBytes(dir / "c");
    EXPECT_TRUE(a == readBytes(dir / "b"));
    size_t equal = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        equal += a[i] == c[i] ? 1 : 0;
    }
    // Unrelated streams agree in about one byte of 256.
    EXPECT_LT(equal, 64u);
    ASSERT_EQ(second.setKey(kEmptyPassphrase.passphrase), 0);
    writeBytes(dir / "zeros", std::string(48, '\0'));
    ASSERT_EQ(second.encryptFile(dir / "zeros", dir / "replaced"), 0);
    EXPECT_EQ(toHex(readBytes(dir / "replaced")), kEmptyPassphrase.keyStreamHead);
}

TEST(QvEncryptionFailure, MissingInputLeavesEmptyOutputAndFails) {
    TempDir dir;
    writeBytes(dir / "out", "earlier content");
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey("1.0"), 0);
    EXPECT_EQ(crypto.decryptFile(dir / "missing", dir / "out"), -1);
    EXPECT_EQ(readBytes(dir / "out"), "");
    EXPECT_EQ(crypto.encryptFile(dir / "missing", dir / "out2"), -1);
    EXPECT_EQ(readBytes(dir / "out2"), "");
}

TEST(QvEncryptionFailure, DirectoryInputFailsInsteadOfGivingAnEmptyFile) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey("1.0"), 0);
    EXPECT_EQ(crypto.decryptFile(dir / "sub", dir / "out"), -1);
    EXPECT_EQ(crypto.encryptFile(dir / "sub", dir / "out"), -1);
}

TEST(QvEncryptionFailure, OutputInMissingDirectoryFailsAndKeepsInput) {
    TempDir dir;
    const std::string plain = testing::randomBytes(100, 3);
    writeBytes(dir / "in", plain);
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey("1.0"), 0);
    EXPECT_EQ(crypto.decryptFile(dir / "in", dir / "nodir/out"), -1);
    EXPECT_EQ(readBytes(dir / "in"), plain);
}

TEST(QvEncryptionFailure, OutputNamingTheInputFailsWithoutDestroyingIt) {
    TempDir dir;
    const std::string plain = testing::randomBytes(5000, 4);
    writeBytes(dir / "in", plain);
    ASSERT_EQ(::link((dir / "in").c_str(), (dir / "hardlink").c_str()), 0);
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey("1.0"), 0);
    EXPECT_EQ(crypto.encryptFile(dir / "in", dir / "in"), -1);
    EXPECT_EQ(crypto.decryptFile(dir / "in", dir / "hardlink"), -1);
    EXPECT_EQ(readBytes(dir / "in"), plain);
}

TEST(QvEncryptionFailure, WriteToFullDeviceFails) {
    TempDir dir;
    writeBytes(dir / "in", testing::randomBytes(10000, 5));
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey("1.0"), 0);
    EXPECT_EQ(crypto.decryptFile(dir / "in", "/dev/full"), -1);
    EXPECT_EQ(crypto.encryptFile(dir / "in", "/dev/full"), -1);
}

class QvEncryptionFullFileSystem : public testing::SandboxTest {};

TEST_F(QvEncryptionFullFileSystem, ShortWriteOnFullFileSystemFails) {
    TempDir dir;
    const std::string mountPoint = dir / "small";
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    ASSERT_EQ(::mount("qvtest-small", mountPoint.c_str(), "tmpfs", 0, "size=16k"), 0)
        << std::strerror(errno);
    writeBytes(dir / "in", testing::randomBytes(64 * 1024, 6));
    QvEncryption crypto;
    ASSERT_EQ(crypto.setKey("1.0"), 0);
    const int result = crypto.decryptFile(dir / "in", mountPoint + "/out");
    const size_t written = readBytes(mountPoint + "/out").size();
    (void)::umount2(mountPoint.c_str(), MNT_DETACH);
    EXPECT_EQ(result, -1);
    EXPECT_LT(written, 64u * 1024);
}

TEST(QvEncryptionFailure, DeriveDigestRejectsNullBuffersAndSmallCapacity) {
    const unsigned char data[] = {1, 2, 3};
    unsigned char out[32];
    unsigned long length = sizeof out;
    EXPECT_EQ(deriveDigest(nullptr, 3, out, &length, 5), -1);
    EXPECT_EQ(deriveDigest(data, 3, nullptr, &length, 5), -1);
    unsigned long small = 31;
    EXPECT_EQ(deriveDigest(data, 3, out, &small, 5), -1);
}

}  // namespace
}  // namespace KIVRA
