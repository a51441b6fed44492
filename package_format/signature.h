#pragma once
// Package authenticity: the trust anchors of a device, the signature over the package
// statement (package.sha256.sig over package.sha256) and the statement's agreement with the
// manifest the installer goes on to read. The installer and the release tool (qvpack verify)
// call the same functions and word refusals with the same describe() texts, so the router and
// the release pipeline cannot disagree on a package. Nothing here logs: every outcome is a
// verdict with its facts, mapped to log lines or report items by the caller.
//
// A signature is RSA PKCS#1 v1.5 over SHA-256, exactly as
//   openssl dgst -sha256 -sign KEY -out package.sha256.sig package.sha256
// writes it; a trusted key is a SubjectPublicKeyInfo in PEM ("BEGIN PUBLIC KEY"), as
// `openssl pkey -pubout` writes it, with a modulus of at least kMinModulusBits.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package_format/statement.h"

namespace KIVRA {
namespace package_format {

// The router's trust anchors, on its read-only root file system. Without this directory a
// device does not enforce signatures at all.
inline constexpr const char* kTrustedKeysDir = "/etc/kivra/trusted-keys";
inline constexpr const char* kTrustedKeySuffix = ".pem";
inline constexpr unsigned kMinModulusBits = 2048;
// A key file or a signature beyond these sizes is no key or signature this code accepts
// (16384-bit RSA needs 2048 signature bytes and well under 4 KiB of PEM); reads stop there.
inline constexpr size_t kKeyFileMaxSize = size_t{16} * 1024;
inline constexpr size_t kSignatureMaxSize = 2048;

enum class KeyVerdict {
    Usable,
    Unreadable,  // the file cannot be opened or read, or is no regular file (error: errno)
    NotPemKey,   // no "BEGIN PUBLIC KEY" block with valid base64 in it
    NotRsaKey,   // the block holds no RSA public key LibTomCrypt can import
    TooShort,    // a modulus below kMinModulusBits (bits says how long it is)
};

struct KeyReading {
    KeyVerdict verdict = KeyVerdict::Usable;
    unsigned bits = 0;               // modulus length, for Usable and TooShort
    std::string fingerprint;         // SHA-256 of the DER key, hex, once the PEM decoded
    std::vector<unsigned char> der;  // the DER key, for Usable
};

// The verdict on the content of one key file. Pure.
[[nodiscard]] KeyReading readTrustedKey(const std::string& pemText);

// True when signature is a valid PKCS#1 v1.5 SHA-256 signature of message by the key der
// (a KeyReading's der), in the one encoding openssl writes (the DigestInfo with its NULL
// parameters, nothing after the digest). A signature of another length than the modulus,
// truncated or with bytes appended, never verifies.
[[nodiscard]] bool verifiesSignature(const std::vector<unsigned char>& der,
                                     const std::string& message, const std::string& signature);

struct TrustedKey {
    std::string path;
    std::string fingerprint;
    std::vector<unsigned char> der;
};

struct SkippedKey {
    std::string path;
    KeyReading reading;
    int error = 0;  // errno for KeyVerdict::Unreadable
};

struct TrustAnchors {
    std::string dir;
    bool enforced = false;            // the directory exists (or cannot be examined: fail closed)
    int listError = 0;                // errno when it exists but cannot be listed
    std::vector<TrustedKey> keys;     // usable keys, by file name
    std::vector<SkippedKey> skipped;  // each *.pem that cannot be used, by file name
};

// Every *.pem of dir (hidden files aside), each read once. A dir that does not exist gives
// enforced false; any other state of dir enforces, and a dir that cannot be listed or holds
// no usable key leaves keys empty, which refuses every package.
[[nodiscard]] TrustAnchors loadTrustAnchors(const std::string& dir);

// "trusted key DIR/x.pem skipped: <reason>", for the one log line per skipped key.
[[nodiscard]] std::string describe(const SkippedKey& skipped);

enum class SignatureState {
    NotEnforced,           // no trust directory: the package is not looked at
    NoUsableKey,           // the directory holds no key that can be used
    NoSignature,           // the statement or its signature is not in the package (missing)
    UnreadableFile,        // the statement or its signature cannot be read (missing, error)
    SignedByNoTrustedKey,  // no key of the directory verifies the signature
    BadStatement,          // signed, but not a statement readStatement accepts (reading)
    Verified,              // signed by key; statement holds the statement
};

struct SignatureCheck {
    SignatureState state = SignatureState::NotEnforced;
    std::string missing;       // the package file of NoSignature and UnreadableFile
    int error = 0;             // errno of UnreadableFile
    TrustedKey key;            // the verifying key, for Verified
    StatementReading reading;  // for BadStatement and Verified
};

// Checks the statement and signature of the package in pkgDir against anchors, in this
// order: enforcement, a usable key, both files present and readable (regular files, no
// links), the signature by any one key, the statement's form. Each file is read once, within
// its bound. Pure but for those reads.
[[nodiscard]] SignatureCheck checkPackageSignature(const TrustAnchors& anchors,
                                                   const std::string& pkgDir);

// The refusal of check in words a device engineer can act on ("no signature
// (package.sha256.sig missing)", "signed by no trusted key", "no usable trusted key in DIR",
// ...); for Verified the key that verified, with its fingerprint; "" for NotEnforced.
[[nodiscard]] std::string describe(const SignatureCheck& check, const TrustAnchors& anchors);

enum class ManifestAgreement {
    Agrees,
    ManifestDiffers,     // the manifest's bytes are not those of the statement's manifest.txt line
    ProductTypeDiffers,  // PRODUCT_TYPE absent from the manifest or other than the statement's
    VersionDiffers,      // KIVRA_VERSION likewise
    EpochDiffers,        // the manifest's SECURITY_EPOCH (0 when absent) is not the statement's
    RunningEpochUnreadable,  // the running firmware's SECURITY_EPOCH is not a valid number
    EpochLower,              // the statement's epoch is below the running firmware's
};

struct ManifestCheck {
    ManifestAgreement agreement = ManifestAgreement::Agrees;
    uint32_t epoch = 0;         // the statement's
    uint32_t runningEpoch = 0;  // the running firmware's (0 when it names none)
};

// Compares a verified statement with the manifest copy the installer reads (its bytes) and
// with the running firmware's manifest text ("" when there is none). The manifest keys are
// read by the manifest's own line rules. Pure.
[[nodiscard]] ManifestCheck checkStatementAgainstManifest(const Statement& statement,
                                                          const std::string& manifestBytes,
                                                          const std::string& runningManifest);

// "the statement does not match the manifest (KIVRA_VERSION)", "security epoch N lower than
// the running firmware's M", ...; "" for Agrees.
[[nodiscard]] std::string describe(const ManifestCheck& check);

enum class FileAgreement {
    Agrees,
    NotListed,      // the installer reads a file the statement does not list
    Missing,        // the statement lists a file the package does not hold as a regular file
    SizeDiffers,    // the bytes read are not as many as listed
    DigestDiffers,  // the bytes read have another SHA-256 than listed
};

// The stored bytes of the package file name, as a pass read them (their SHA-256 text and
// count), against the statement's line for it. Pure.
[[nodiscard]] FileAgreement checkListedFile(const Statement& statement, const std::string& name,
                                            const std::string& sha256, uint64_t size);

// "uImage: not listed in package.sha256", "init.sh: listed in package.sha256 but missing",
// "rootfs.sqfs: size 12 differs from package.sha256's 13", "images.md5: SHA-256 differs from
// package.sha256's"; "" for Agrees.
[[nodiscard]] std::string describe(FileAgreement agreement, const Statement& statement,
                                   const std::string& name, uint64_t size);

}  // namespace package_format
}  // namespace KIVRA
