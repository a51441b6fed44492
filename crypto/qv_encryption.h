#pragma once
// Package file decryption: AES-256 in counter mode with a key and initial counter derived
// from a passphrase (the package version) and a fixed salt. Encrypted files have no header,
// no padding and no tag: they are exactly as long as the plain file.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace KIVRA {

struct KeyRecord {
    uint8_t key[32];
    uint8_t iv[32];  // the first 16 bytes are the initial counter block
};

// SHA-256 applied iterations times to data. outLength is the capacity of out on entry and
// the digest length (32) on return. 0, or -1 on failure (null buffers, a capacity below 32,
// a hash that cannot be registered or computed). Iterations below 1 hash once.
[[nodiscard]] int deriveDigest(const unsigned char* data, unsigned long length, unsigned char* out,
                               unsigned long* outLength, int iterations);

class QvEncryption {
public:
    QvEncryption();
    virtual ~QvEncryption();
    QvEncryption(const QvEncryption&) = delete;
    QvEncryption& operator=(const QvEncryption&) = delete;

    // Derives key and counter from passphrase (any bytes, the empty one included). 0, or -1
    // with the key record unchanged.
    [[nodiscard]] int setKey(const std::string& passphrase);

    // Transform input into output (created or truncated first, even when the input cannot be
    // opened). Each call starts from the initial counter, so both directions give the same
    // bytes. 0, or -1 when a file cannot be opened, read (a directory, a read error), fully
    // written (a full file system) or closed, or the cipher cannot be set up; the output is
    // then empty or short. Output naming the input file itself: -1, both left untouched.
    [[nodiscard]] int encryptFile(const std::string& input, const std::string& output);
    [[nodiscard]] int decryptFile(const std::string& input, const std::string& output);

    // Receives bytes chunk by chunk; false stops the transform as failed.
    using ChunkSink = std::function<bool(const unsigned char* data, size_t length)>;

    // What sees a file's bytes during its one transform besides the output file: stored each
    // chunk as read from the input, before the cipher; written each chunk after it has been
    // written to the output. Either may be empty.
    struct ChunkObservers {
        ChunkSink stored;
        ChunkSink written;
    };

    // decryptFile, with observers seeing the bytes in the same pass (the input is read once,
    // its digests need no second read of either file). Same results as decryptFile, and -1
    // when an observer refused a chunk.
    [[nodiscard]] int decryptFile(const std::string& input, const std::string& output,
                                  const ChunkObservers& observers);

    // Decrypts the open file input, from its position to its end, into sink alone: no plain
    // byte reaches a file, so an image is checked without a plain copy on any disk. 0, or -1
    // when a read fails (errno set to its reason), the cipher cannot be set up or sink
    // refused a chunk (errno as sink left it). stored, when given, sees each chunk as read.
    [[nodiscard]] int decryptToSink(int input, const ChunkSink& sink, const ChunkSink& stored = {});

private:
    std::unique_ptr<KeyRecord> keyRecord;
};

}  // namespace KIVRA
