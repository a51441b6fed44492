#include "installer/file_digest.h"

#include <sys/stat.h>
#include <tomcrypt.h>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"

namespace KIVRA {

namespace installer {

bool md5Text(const std::string& path, std::string& digest) {
    // hash_file reads a directory as an empty file and reports success; a directory where an
    // image belongs must not pass as the image whose digest is the empty file's.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return false;
    }
    if (register_hash(&md5_desc) == -1) {
        return false;
    }
    unsigned char buffer[128];
    unsigned long length = sizeof buffer;
    if (hash_file(find_hash("md5"), path.c_str(), buffer, &length) != CRYPT_OK) {
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned long i = 0; i < length; ++i) {
        text += kHex[buffer[i] >> 4];
        text += kHex[buffer[i] & 0x0F];
    }
    digest = text;
    return true;
}

}  // namespace installer

int KivraInstaller::getMd5Sum(const std::string& path, std::string& digest) {
    const std::string origin = installer::origin("getMd5Sum");
    return installer::runStep([&] {
        if (!installer::md5Text(path, digest)) {
            installer::raise(FileError, "Cannot compute MD5 sum of " + path, origin);
        }
    });
}

int KivraInstaller::md5sum(const std::string& path, const std::string& expected, bool& match) {
    const std::string origin = installer::origin("md5sum");
    match = false;
    return installer::runStep([&] {
        std::string digest;
        if (getMd5Sum(path, digest) != Success) {
            installer::raise(Failure, "Failed to compute MD5 Checksum", origin);
        }
        match = digest == expected;
    });
}

}  // namespace KIVRA
