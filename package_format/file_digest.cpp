#include "package_format/file_digest.h"

#include <sys/stat.h>
#include <tomcrypt.h>

#include <cstdio>
#include <memory>

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

struct FileCloser {
    // Opened for reading only: a failed close loses nothing.
    void operator()(FILE* file) const { (void)std::fclose(file); }
};

// The digest text of the file at path under the hash of descriptor, as md5Text describes.
bool fileDigestText(const std::string& path, const ltc_hash_descriptor& descriptor,
                    std::string& digest) {
    // hash_file reads a directory as an empty file and reports success; a directory where an
    // image belongs must not pass as the image whose digest is the empty file's.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return false;
    }
    if (register_hash(&descriptor) == -1) {
        return false;
    }
    // The file is opened here rather than by hash_file: the library is built without 64-bit
    // file offsets on the 32-bit target, and its own open refuses an image beyond 2 GiB there.
    const std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return false;
    }
    unsigned char buffer[128];
    unsigned long length = sizeof buffer;
    if (hash_filehandle(find_hash(descriptor.name), file.get(), buffer, &length) != CRYPT_OK) {
        return false;
    }
    // hash_filehandle stops at the first short read without telling an error from the end of
    // the file; a failing medium must not yield the digest of a truncated image.
    if (std::ferror(file.get()) != 0) {
        return false;
    }
    digest = hexText(buffer, length);
    return true;
}

}  // namespace

bool md5Text(const std::string& path, std::string& digest) {
    return fileDigestText(path, md5_desc, digest);
}

bool sha256Text(const std::string& path, std::string& digest) {
    return fileDigestText(path, sha256_desc, digest);
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
