#pragma once
// MD5 and SHA-256 digests of files as text, shared by the installer's digest checks, the
// package statement and the release tools, and the sinks that take a file's bytes as one pass
// over it streams them past.

#include <tomcrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KIVRA {
namespace package_format {

// Takes the bytes of a file piece by piece, in file order, as one pass over it reads or writes
// them: a digest, a header check, a byte count. It cannot refuse a piece; it judges what it
// saw once the pass is over.
class ByteSink {
public:
    virtual void update(const unsigned char* data, size_t length) = 0;

protected:
    ByteSink() = default;
    ByteSink(const ByteSink&) = default;
    ByteSink& operator=(const ByteSink&) = default;
    ~ByteSink() = default;
};

// The sinks that ride along one pass over a package file (see file_pass.h): stored takes the
// bytes as they stand in the package directory (encrypted where the file is), installed the
// bytes written into their destination (the plain image). A sink may be on both lists, and
// the order of a list is the order the sinks are handed each piece.
struct PassSinks {
    std::vector<ByteSink*> stored;
    std::vector<ByteSink*> installed;
};

// Digest text of the file at path: the MD5 digest as 32 lower-case hexadecimal characters,
// the file read once, one transfer unit at a time. True with digest set; false with digest
// unchanged when the MD5 descriptor cannot be registered or the file cannot be hashed
// (missing, unreadable, a read error part-way, or a directory). Prints nothing.
[[nodiscard]] bool md5Text(const std::string& path, std::string& digest);

// The digest of bytes handed over piece by piece under one LibTomCrypt hash, for content that
// exists only as it streams past (an image decrypted for checking, or while it is written).
class DigestStream : public ByteSink {
public:
    void update(const unsigned char* data, size_t length) final;
    // The digest text of everything handed over; the stream is spent afterwards.
    [[nodiscard]] std::string finish();
    [[nodiscard]] uint64_t size() const { return size_; }

protected:
    explicit DigestStream(const ltc_hash_descriptor& descriptor);

private:
    const ltc_hash_descriptor* descriptor_;
    hash_state state_{};
    uint64_t size_ = 0;
};

class Md5Stream : public DigestStream {
public:
    Md5Stream() : DigestStream(md5_desc) {}
};

// SHA-256, as the package statement lists files: a file is checked against its statement
// line in the pass that reads it anyway.
class Sha256Stream : public DigestStream {
public:
    Sha256Stream() : DigestStream(sha256_desc) {}
};

// Digest text of the file at path as for md5Text, with SHA-256: 64 lower-case hexadecimal
// characters, as the package statement lists them.
[[nodiscard]] bool sha256Text(const std::string& path, std::string& digest);

}  // namespace package_format
}  // namespace KIVRA
