#include "package_format/signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <tomcrypt.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>

#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/manifest_line.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace package_format {

namespace {

const char* const kPemBegin = "-----BEGIN PUBLIC KEY-----";
const char* const kPemEnd = "-----END PUBLIC KEY-----";

// RSA needs a big-number library behind LibTomCrypt; Debian builds it with libtommath's
// descriptor, which every import below selects (a plain copy, the same each time).
void selectMathProvider() { ltc_mp = ltm_desc; }

struct RsaKeyOwner {
    rsa_key key{};
    bool imported = false;
    RsaKeyOwner() = default;
    ~RsaKeyOwner() {
        if (imported) {
            rsa_free(&key);
        }
    }
    RsaKeyOwner(const RsaKeyOwner&) = delete;
    RsaKeyOwner& operator=(const RsaKeyOwner&) = delete;

    // A public RSA key only: a private key file among the trust anchors is a mistake to refuse,
    // not a key to use.
    // An empty body ("=" between the armour lines) is refused here: LibTomCrypt's argument
    // check aborts the whole process on a null buffer, and one damaged anchor must not stop
    // the router from reading the others.
    bool import(const std::vector<unsigned char>& der) {
        if (der.empty()) {
            return false;
        }
        selectMathProvider();
        imported = rsa_import(der.data(), static_cast<unsigned long>(der.size()), &key) == CRYPT_OK;
        return imported && key.type == PK_PUBLIC;
    }
};

// The SHA-256 DigestInfo header of PKCS#1 v1.5 with its NULL parameters, as openssl writes it.
const unsigned char kDigestInfoPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                           0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                           0x01, 0x05, 0x00, 0x04, 0x20};

// True when the signature opens to exactly 00 01 FF..FF 00 DigestInfo(digest): LibTomCrypt
// also takes a DigestInfo without its NULL parameters, and no encoding but the one openssl
// writes is to verify, so the signed block leaves no room for other bytes.
bool isCanonicalBlock(rsa_key& key, const std::string& signature, const std::string& digest) {
    std::vector<unsigned char> block(signature.size());
    unsigned long length = static_cast<unsigned long>(block.size());
    if (rsa_exptmod(reinterpret_cast<const unsigned char*>(signature.data()),
                    static_cast<unsigned long>(signature.size()), block.data(), &length, PK_PUBLIC,
                    &key) != CRYPT_OK ||
        length != block.size()) {
        return false;
    }
    std::vector<unsigned char> expected(block.size(), 0xff);
    const size_t tail = sizeof kDigestInfoPrefix + digest.size();
    if (expected.size() < tail + 11) {
        return false;
    }
    expected[0] = 0x00;
    expected[1] = 0x01;
    expected[expected.size() - tail - 1] = 0x00;
    std::copy(std::begin(kDigestInfoPrefix), std::end(kDigestInfoPrefix),
              expected.end() - static_cast<std::ptrdiff_t>(tail));
    std::copy(digest.begin(), digest.end(),
              expected.end() - static_cast<std::ptrdiff_t>(digest.size()));
    return block == expected;
}

std::string sha256OfBytes(const unsigned char* data, size_t length) {
    Sha256Stream stream;
    stream.update(data, length);
    return stream.finish();
}

// The DER bytes of the first PUBLIC KEY block of text; false without one.
bool pemBlock(const std::string& text, std::vector<unsigned char>& der) {
    const size_t begin = text.find(kPemBegin);
    if (begin == std::string::npos) {
        return false;
    }
    const size_t bodyStart = begin + std::strlen(kPemBegin);
    const size_t end = text.find(kPemEnd, bodyStart);
    if (end == std::string::npos) {
        return false;
    }
    std::string body;
    for (size_t i = bodyStart; i < end; ++i) {
        const char c = text[i];
        if (c != '\n' && c != '\r' && c != ' ' && c != '\t') {
            body += c;
        }
    }
    if (body.empty()) {
        return false;
    }
    std::vector<unsigned char> out(body.size() / 4 * 3 + 3);
    unsigned long length = static_cast<unsigned long>(out.size());
    if (base64_strict_decode(reinterpret_cast<const unsigned char*>(body.data()),
                             static_cast<unsigned long>(body.size()), out.data(),
                             &length) != CRYPT_OK) {
        return false;
    }
    out.resize(length);
    der = std::move(out);
    return true;
}

// Reads a regular file of at most max bytes (max + 1 read, so the caller sees it is larger),
// never through a link for package files. 0, or the errno of the failed step (EINVAL for
// something that is no regular file).
int readBounded(const std::string& path, size_t max, bool followLinks, std::string& content) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    const qvsystemtools::UniqueFd fd(::open(path.c_str(), flags));
    if (!fd.valid()) {
        return errno == ELOOP ? EINVAL : errno;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    std::string data(max + 1, '\0');
    const qvsystemtools::ReadResult read = qvsystemtools::readFull(fd.get(), data.data(), max + 1);
    if (read.error != 0) {
        return read.error;
    }
    data.resize(read.count);
    content = std::move(data);
    return 0;
}

std::string errorText(int error) {
    return error == EINVAL ? "not a regular file" : std::strerror(error);
}

std::string keyReason(const SkippedKey& skipped) {
    switch (skipped.reading.verdict) {
        case KeyVerdict::Usable:
            return "usable";
        case KeyVerdict::Unreadable:
            return "cannot be read (" + errorText(skipped.error) + ")";
        case KeyVerdict::NotPemKey:
            return "no PEM public key (\"BEGIN PUBLIC KEY\")";
        case KeyVerdict::NotRsaKey:
            return "not an RSA public key";
        case KeyVerdict::TooShort:
            return "RSA modulus of " + std::to_string(skipped.reading.bits) + " bits, below " +
                   std::to_string(kMinModulusBits);
    }
    return "unusable";
}

std::map<std::string, std::string> manifestTable(const std::string& text) {
    std::map<std::string, std::string> table;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        addManifestLine(text.substr(start, end - start), table);
        start = end + 1;
    }
    return table;
}

// The SECURITY_EPOCH of a manifest, 0 when absent; false when present but not a valid epoch.
bool manifestEpoch(const std::map<std::string, std::string>& table, uint32_t& epoch) {
    const auto entry = table.find(kSecurityEpochKey);
    if (entry == table.end()) {
        epoch = 0;
        return true;
    }
    return parseSecurityEpoch(entry->second, epoch);
}

bool sameEntry(const std::map<std::string, std::string>& table, const char* key,
               const std::string& value) {
    const auto entry = table.find(key);
    return entry != table.end() && entry->second == value;
}

}  // namespace

KeyReading readTrustedKey(const std::string& pemText) {
    KeyReading reading;
    std::vector<unsigned char> der;
    if (!pemBlock(pemText, der)) {
        reading.verdict = KeyVerdict::NotPemKey;
        return reading;
    }
    reading.fingerprint = sha256OfBytes(der.data(), der.size());
    RsaKeyOwner owner;
    if (!owner.import(der)) {
        reading.verdict = KeyVerdict::NotRsaKey;
        return reading;
    }
    reading.bits = static_cast<unsigned>(ltc_mp.count_bits(owner.key.N));
    if (reading.bits < kMinModulusBits) {
        reading.verdict = KeyVerdict::TooShort;
        return reading;
    }
    reading.der = std::move(der);
    return reading;
}

bool verifiesSignature(const std::vector<unsigned char>& der, const std::string& message,
                       const std::string& signature) {
    RsaKeyOwner owner;
    if (!owner.import(der) || register_hash(&sha256_desc) == -1) {
        return false;
    }
    const std::string digest = [&message] {
        unsigned char bytes[32];
        hash_state state{};
        (void)sha256_init(&state);
        (void)sha256_process(&state, reinterpret_cast<const unsigned char*>(message.data()),
                             static_cast<unsigned long>(message.size()));
        (void)sha256_done(&state, bytes);
        return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
    }();
    // The library already refuses a signature of another length than the modulus; checked
    // here too, so an appended byte can never be taken for a shorter valid signature.
    if (signature.empty() || signature.size() != static_cast<size_t>(rsa_get_size(&owner.key))) {
        return false;
    }
    int valid = 0;
    const int result =
        rsa_verify_hash_ex(reinterpret_cast<const unsigned char*>(signature.data()),
                           static_cast<unsigned long>(signature.size()),
                           reinterpret_cast<const unsigned char*>(digest.data()),
                           static_cast<unsigned long>(digest.size()), LTC_PKCS_1_V1_5,
                           find_hash("sha256"), 0, &valid, &owner.key);
    return result == CRYPT_OK && valid == 1 && isCanonicalBlock(owner.key, signature, digest);
}

TrustAnchors loadTrustAnchors(const std::string& dir) {
    TrustAnchors anchors;
    anchors.dir = dir;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 && errno == ENOENT) {
        return anchors;
    }
    anchors.enforced = true;
    qvsystemtools::UniqueDir handle(::opendir(dir.c_str()));
    if (!handle.valid()) {
        anchors.listError = errno;
        return anchors;
    }
    std::vector<std::string> names;
    qvsystemtools::DirEntries entries(handle.get());
    while (const dirent* entry = entries.next()) {
        const std::string name = entry->d_name;
        const std::string suffix = kTrustedKeySuffix;
        if (name[0] != '.' && name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            names.push_back(name);
        }
    }
    if (entries.error() != 0) {
        // A directory read only in part could hide the key that signed; nothing is trusted.
        anchors.listError = entries.error();
        return anchors;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        std::string text;
        SkippedKey skipped;
        skipped.path = path;
        // The anchors lie on the read-only root file system: a link there is the image's own.
        skipped.error = readBounded(path, kKeyFileMaxSize, true, text);
        if (skipped.error != 0) {
            skipped.reading.verdict = KeyVerdict::Unreadable;
            anchors.skipped.push_back(skipped);
            continue;
        }
        skipped.reading = readTrustedKey(text);
        if (skipped.reading.verdict != KeyVerdict::Usable) {
            anchors.skipped.push_back(skipped);
            continue;
        }
        anchors.keys.push_back({path, skipped.reading.fingerprint, skipped.reading.der});
    }
    return anchors;
}

std::string describe(const SkippedKey& skipped) {
    return "trusted key " + skipped.path + " skipped: " + keyReason(skipped);
}

SignatureCheck checkPackageSignature(const TrustAnchors& anchors, const std::string& pkgDir) {
    SignatureCheck check;
    if (!anchors.enforced) {
        return check;
    }
    if (anchors.keys.empty()) {
        check.state = SignatureState::NoUsableKey;
        return check;
    }
    std::string contents[2];
    const char* const names[2] = {kStatementName, kSignatureName};
    const size_t bounds[2] = {kStatementMaxSize, kSignatureMaxSize};
    for (size_t i = 0; i < 2; ++i) {
        const int error = readBounded(pkgDir + "/" + names[i], bounds[i], false, contents[i]);
        if (error != 0) {
            check.state =
                error == ENOENT ? SignatureState::NoSignature : SignatureState::UnreadableFile;
            check.missing = names[i];
            check.error = error;
            return check;
        }
    }
    const std::string& statement = contents[0];
    if (statement.size() > kStatementMaxSize) {
        // Not verified, so not worth more reading; the form decides.
        check.state = SignatureState::BadStatement;
        check.reading = readStatement(statement);
        return check;
    }
    check.state = SignatureState::SignedByNoTrustedKey;
    for (const TrustedKey& key : anchors.keys) {
        if (verifiesSignature(key.der, statement, contents[1])) {
            check.key = key;
            check.reading = readStatement(statement);
            check.state = check.reading.verdict == StatementVerdict::Valid
                              ? SignatureState::Verified
                              : SignatureState::BadStatement;
            break;
        }
    }
    return check;
}

std::string describe(const SignatureCheck& check, const TrustAnchors& anchors) {
    switch (check.state) {
        case SignatureState::NotEnforced:
            return "";
        case SignatureState::NoUsableKey:
            return "no usable trusted key in " + anchors.dir +
                   (anchors.listError != 0 ? " (" + errorText(anchors.listError) + ")" : "");
        case SignatureState::NoSignature:
            return "no signature (" + check.missing + " missing)";
        case SignatureState::UnreadableFile:
            return "no signature (" + check.missing + " cannot be read: " + errorText(check.error) +
                   ")";
        case SignatureState::SignedByNoTrustedKey:
            return "signed by no trusted key";
        case SignatureState::BadStatement:
            return "the signed statement is not valid: " + describe(check.reading);
        case SignatureState::Verified:
            return "signed by trusted key " + check.key.path + " (sha256 " + check.key.fingerprint +
                   ")";
    }
    return "signature not checked";
}

ManifestCheck checkStatementAgainstManifest(const Statement& statement,
                                            const std::string& manifestBytes,
                                            const std::string& runningManifest) {
    ManifestCheck check;
    check.epoch = statement.securityEpoch;
    const StatementFile* line = statement.find(kManifestName);
    const auto bytes = reinterpret_cast<const unsigned char*>(manifestBytes.data());
    if (line == nullptr || line->size != manifestBytes.size() ||
        line->sha256 != sha256OfBytes(bytes, manifestBytes.size())) {
        check.agreement = ManifestAgreement::ManifestDiffers;
        return check;
    }
    const std::map<std::string, std::string> manifest = manifestTable(manifestBytes);
    uint32_t manifestEpochValue = 0;
    if (!sameEntry(manifest, kProductTypeKey, statement.productType)) {
        check.agreement = ManifestAgreement::ProductTypeDiffers;
    } else if (!sameEntry(manifest, kVersionKey, statement.version)) {
        check.agreement = ManifestAgreement::VersionDiffers;
    } else if (!manifestEpoch(manifest, manifestEpochValue) ||
               manifestEpochValue != statement.securityEpoch) {
        check.agreement = ManifestAgreement::EpochDiffers;
    } else if (!manifestEpoch(manifestTable(runningManifest), check.runningEpoch)) {
        check.agreement = ManifestAgreement::RunningEpochUnreadable;
    } else if (statement.securityEpoch < check.runningEpoch) {
        check.agreement = ManifestAgreement::EpochLower;
    }
    return check;
}

std::string describe(const ManifestCheck& check) {
    const std::string differs = "the statement does not match the manifest (";
    switch (check.agreement) {
        case ManifestAgreement::Agrees:
            return "";
        case ManifestAgreement::ManifestDiffers:
            return differs + kManifestName + ")";
        case ManifestAgreement::ProductTypeDiffers:
            return differs + kProductTypeKey + ")";
        case ManifestAgreement::VersionDiffers:
            return differs + kVersionKey + ")";
        case ManifestAgreement::EpochDiffers:
            return differs + kSecurityEpochKey + ")";
        case ManifestAgreement::RunningEpochUnreadable:
            return std::string("the running firmware's ") + kSecurityEpochKey +
                   " is not a number from 0 to " + std::to_string(kSecurityEpochMax);
        case ManifestAgreement::EpochLower:
            return "security epoch " + std::to_string(check.epoch) +
                   " lower than the running firmware's " + std::to_string(check.runningEpoch);
    }
    return differs + "unchecked)";
}

FileAgreement checkListedFile(const Statement& statement, const std::string& name,
                              const std::string& sha256, uint64_t size) {
    const StatementFile* line = statement.find(name);
    if (line == nullptr) {
        return FileAgreement::NotListed;
    }
    if (line->size != size) {
        return FileAgreement::SizeDiffers;
    }
    return line->sha256 == sha256 ? FileAgreement::Agrees : FileAgreement::DigestDiffers;
}

std::string describe(FileAgreement agreement, const Statement& statement, const std::string& name,
                     uint64_t size) {
    const std::string statementName = kStatementName;
    switch (agreement) {
        case FileAgreement::Agrees:
            return "";
        case FileAgreement::NotListed:
            return name + ": not listed in " + statementName;
        case FileAgreement::Missing:
            return name + ": listed in " + statementName + " but missing";
        case FileAgreement::SizeDiffers: {
            const StatementFile* line = statement.find(name);
            return name + ": size " + std::to_string(size) + " differs from " + statementName +
                   "'s " + std::to_string(line == nullptr ? 0 : line->size);
        }
        case FileAgreement::DigestDiffers:
            return name + ": SHA-256 differs from " + statementName + "'s";
    }
    return name + ": not checked against " + statementName;
}

}  // namespace package_format
}  // namespace KIVRA
