#include "crypto/qv_encryption.h"

#include <fcntl.h>
#include <tomcrypt.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "qvsystemtools/file_io.h"
#include "qvsystemtools/file_queries.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

namespace {

// Packages are encrypted with this salt by the release tools; changing it makes every
// existing package undecryptable.
const unsigned char kSalt[8] = {0x3a, 0x9e, 0x51, 0xc7, 0x02, 0xd4, 0x6b, 0xe8};

constexpr int kDigestIterations = 5;
constexpr unsigned long kKeyLength = 32;

// The key material must not outlive its use in freed heap or stack memory.
void wipe(void* data, size_t length) { zeromem(data, length); }

enum class Direction { Encrypt, Decrypt };

// Transforms in from its current position to its end, one transfer unit at a time: stored
// (when given) sees each chunk as read, sink receives it transformed. 0, or -1 when a read
// fails (errno set), the cipher cannot be set up or stored or sink refuses a chunk. The
// counter carries over from chunk to chunk, so the unit never changes the bytes.
int transformFd(const KeyRecord& record, int in, Direction direction,
                const QvEncryption::ChunkSink& stored, const QvEncryption::ChunkSink& sink) {
    // The file is read once, front to back: a wider read-ahead keeps the disk ahead of the
    // cipher. Only a hint; its failure changes nothing.
    (void)::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);

    if (register_cipher(&aes_desc) == -1) {
        return -1;
    }
    const int cipher = find_cipher("aes");
    symmetric_CTR ctr;
    if (ctr_start(cipher, record.iv, record.key, static_cast<int>(kKeyLength), 0,
                  CTR_COUNTER_LITTLE_ENDIAN, &ctr) != CRYPT_OK) {
        return -1;
    }

    // Transformed in place, so a chunk is touched in one buffer from its read to its write.
    // Aligned so the library XORs whole machine words.
    alignas(16) unsigned char buffer[qvsystemtools::kTransferUnit];
    bool failed = false;
    int readError = 0;
    for (;;) {
        const qvsystemtools::ReadResult got = qvsystemtools::readFull(in, buffer, sizeof buffer);
        // A read error (a failing medium, an input that is a directory) ends the transfer as
        // a failure: the output would otherwise pass for the complete file.
        if (got.error != 0) {
            readError = got.error;
            failed = true;
            break;
        }
        if (got.count == 0) {
            break;
        }
        const unsigned long length = static_cast<unsigned long>(got.count);
        if (stored && !stored(buffer, length)) {
            failed = true;
            break;
        }
        const int err = direction == Direction::Encrypt ? ctr_encrypt(buffer, buffer, length, &ctr)
                                                        : ctr_decrypt(buffer, buffer, length, &ctr);
        if (err != CRYPT_OK || !sink(buffer, length)) {
            failed = true;
            break;
        }
        if (got.count < sizeof buffer) {
            break;  // the end of the file: no further read needed to learn it
        }
    }
    const bool done = ctr_done(&ctr) == CRYPT_OK;
    wipe(&ctr, sizeof ctr);
    wipe(buffer, sizeof buffer);
    if (readError != 0) {
        errno = readError;
    }
    return done && !failed ? 0 : -1;
}

int transformFile(const KeyRecord& record, const std::string& input, const std::string& output,
                  Direction direction, const QvEncryption::ChunkObservers& observers) {
    qvsystemtools::UniqueFd in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
    // Transforming a file onto itself would truncate the input before it is read.
    if (in.valid() && qvsystemtools::sameFile(in.get(), output)) {
        return -1;
    }
    // The output is created or emptied before the input is checked, so a caller never finds
    // stale content from an earlier run under the output name after a failure.
    qvsystemtools::UniqueFd out(
        ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!in.valid() || !out.valid()) {
        return -1;
    }
    // A short or failed write (a full file system) leaves a truncated output that must not
    // be reported as complete.
    const int fd = out.get();
    const QvEncryption::ChunkSink& written = observers.written;
    bool failed = transformFd(record, in.get(), direction, observers.stored,
                              [fd, &written](const unsigned char* data, size_t length) {
                                  return qvsystemtools::writeAllFd(fd, data, length) &&
                                         (!written || written(data, length));
                              }) != 0;
    // Some file systems report a failed write only when the file is closed.
    if (out.close() != 0) {
        failed = true;
    }
    return failed ? -1 : 0;
}

}  // namespace

int deriveDigest(const unsigned char* data, unsigned long length, unsigned char* out,
                 unsigned long* outLength, int iterations) {
    if (data == nullptr || out == nullptr || outLength == nullptr) {
        return -1;
    }
    if (register_hash(&sha256_desc) == -1) {
        return -1;
    }
    const int hash = find_hash("sha256");

    unsigned char scratch[128];
    unsigned long digestLength = sizeof scratch;
    int result = 0;
    // A capacity above the digest's length fails as described; one below it fails too,
    // since the digest would not fit.
    if (hash_memory(hash, data, length, scratch, &digestLength) != CRYPT_OK ||
        digestLength != *outLength) {
        result = -1;
    } else {
        std::memcpy(out, scratch, digestLength);
        *outLength = digestLength;
        for (int i = 1; i < iterations; ++i) {
            digestLength = sizeof scratch;
            if (hash_memory(hash, out, *outLength, scratch, &digestLength) != CRYPT_OK ||
                digestLength != *outLength) {
                result = -1;
                break;
            }
            std::memcpy(out, scratch, digestLength);
        }
    }
    wipe(scratch, sizeof scratch);
    return result;
}

QvEncryption::QvEncryption() : keyRecord(std::make_unique<KeyRecord>()) {}

QvEncryption::~QvEncryption() { wipe(keyRecord.get(), sizeof *keyRecord); }

int QvEncryption::setKey(const std::string& passphrase) {
    // Layout: room for the first digest, then the passphrase, then the salt, so the second
    // derivation runs over D1 + P + S without another copy.
    std::vector<unsigned char> buffer(kKeyLength + passphrase.size() + sizeof kSalt);
    std::memcpy(buffer.data() + kKeyLength, passphrase.data(), passphrase.size());
    std::memcpy(buffer.data() + kKeyLength + passphrase.size(), kSalt, sizeof kSalt);

    unsigned char key[kKeyLength];
    unsigned char iv[kKeyLength];
    unsigned long keyLength = sizeof key;
    unsigned long ivLength = sizeof iv;
    int result = deriveDigest(buffer.data() + kKeyLength, buffer.size() - kKeyLength, key,
                              &keyLength, kDigestIterations);
    if (result == 0) {
        std::memcpy(buffer.data(), key, kKeyLength);
        result = deriveDigest(buffer.data(), buffer.size(), iv, &ivLength, kDigestIterations);
    }
    if (result == 0 && (keyLength != kKeyLength || ivLength != kKeyLength)) {
        result = -1;
    }
    if (result == 0) {
        std::memcpy(keyRecord->key, key, kKeyLength);
        std::memcpy(keyRecord->iv, iv, kKeyLength);
    }
    wipe(buffer.data(), buffer.size());
    wipe(key, sizeof key);
    wipe(iv, sizeof iv);
    return result;
}

int QvEncryption::encryptFile(const std::string& input, const std::string& output) {
    return transformFile(*keyRecord, input, output, Direction::Encrypt, {});
}

int QvEncryption::decryptFile(const std::string& input, const std::string& output) {
    return transformFile(*keyRecord, input, output, Direction::Decrypt, {});
}

int QvEncryption::decryptFile(const std::string& input, const std::string& output,
                              const ChunkObservers& observers) {
    return transformFile(*keyRecord, input, output, Direction::Decrypt, observers);
}

int QvEncryption::decryptToSink(int input, const ChunkSink& sink, const ChunkSink& stored) {
    return transformFd(*keyRecord, input, Direction::Decrypt, stored, sink);
}

}  // namespace KIVRA
