#include "package_format/file_digest.h"

#include <fcntl.h>
#include <tomcrypt.h>

#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace package_format {

namespace {
std::string hexText(const unsigned char* bytes, unsigned long length) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned long i = 0; i < length; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

// The digest text of the file at path under stream's hash, as md5Text describes.
bool fileDigestText(const std::string& path, DigestStream&& stream, std::string& digest) {
    // Read here rather than by the library's hash_file: its stdio reads move 8 KiB at a time,
    // it stops at the first short read without telling an error from the end of the file (a
    // failing medium would yield the digest of a truncated image), it reads a directory as an
    // empty file, and on the 32-bit target it opens files without 64-bit offsets. read() fails
    // on a directory (EISDIR), so a directory where an image belongs has no digest.
    const qvsystemtools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint
    if (qvsystemtools::readThrough(fd.get(), [&stream](const unsigned char* data, size_t length) {
            stream.update(data, length);
        }) != 0) {
        return false;
    }
    digest = stream.finish();
    return true;
}

}  // namespace

bool md5Text(const std::string& path, std::string& digest) {
    if (register_hash(&md5_desc) == -1) {
        return false;
    }
    return fileDigestText(path, Md5Stream(), digest);
}

bool sha256Text(const std::string& path, std::string& digest) {
    if (register_hash(&sha256_desc) == -1) {
        return false;
    }
    return fileDigestText(path, Sha256Stream(), digest);
}

// The init, process and done functions of a hash cannot fail on a valid state and buffer.
DigestStream::DigestStream(const ltc_hash_descriptor& descriptor) : descriptor_(&descriptor) {
    (void)descriptor_->init(&state_);
}

void DigestStream::update(const unsigned char* data, size_t length) {
    (void)descriptor_->process(&state_, data, static_cast<unsigned long>(length));
    size_ += length;
}

std::string DigestStream::finish() {
    unsigned char digest[MAXBLOCKSIZE];
    (void)descriptor_->done(&state_, digest);
    return hexText(digest, descriptor_->hashsize);
}

}  // namespace package_format
}  // namespace KIVRA
