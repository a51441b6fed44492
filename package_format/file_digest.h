#pragma once
// MD5 digests of files as text, shared by the installer's digest checks and the release tools,
// and the sinks that take a file's bytes as one pass over it streams them past.

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

// The MD5 digest of bytes handed over piece by piece, for content that exists only as it
// streams past (an image decrypted for checking, or while it is written).
class Md5Stream final : public ByteSink {
public:
    Md5Stream();
    void update(const unsigned char* data, size_t length) override;
    // The digest text of everything handed over; the stream is spent afterwards.
    [[nodiscard]] std::string finish();
    [[nodiscard]] uint64_t size() const { return size_; }

private:
    hash_state state_{};
    uint64_t size_ = 0;
};

}  // namespace package_format
}  // namespace KIVRA
