#pragma once
// Helpers of the fuzz targets: where a target may write, and how it hands bytes to a reader
// that takes a path. Each target is a few lines around a real entry point of the product.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "crypto/qv_encryption.h"
#include "tests/support/temp_dir.h"

namespace KIVRA {
namespace fuzz {

// A target that writes the installer's fixed paths (/tmp, /mnt/hda1) runs only in the
// private mount namespace of scripts/sandbox, which scripts/fuzz uses for every target.
inline void requireSandbox() {
    char self[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/mnt", self, sizeof self - 1);
    const char* outer = std::getenv("QV_SANDBOX_OUTER_NS");
    if (n <= 0 || outer == nullptr || std::string(self) == outer) {
        std::fprintf(stderr, "refusing to write /tmp or /mnt outside scripts/sandbox\n");
        std::exit(1);
    }
}

// mkdir -p, or exit: a target without its directories would only report false findings.
inline void makeDirs(const std::string& path) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string dir = path.substr(0, at);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "cannot create %s\n", dir.c_str());
            std::exit(1);
        }
        if (at == std::string::npos) return;
    }
}

inline void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file in memory, reachable by path, for readers that open what they read.
class MemFile {
public:
    MemFile() : fd_(::memfd_create("qv-fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0) std::abort();
    }
    ~MemFile() { (void)::close(fd_); }  // nothing to lose: the content is scratch
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    // The path under which readers find content.
    std::string hold(const std::string& content) {
        if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, content.data(), content.size(), 0) !=
                                            static_cast<ssize_t>(content.size())) {
            std::abort();
        }
        return "/proc/self/fd/" + std::to_string(fd_);
    }

private:
    int fd_;
};

// plain encrypted under passphrase into path, as the release tool builds package files.
inline void writeEncrypted(const std::string& path, const std::string& plain,
                           const std::string& passphrase) {
    writeBytes(path + ".plain", plain);
    QvEncryption encryption;
    if (encryption.setKey(passphrase) != 0 || encryption.encryptFile(path + ".plain", path) != 0) {
        std::abort();
    }
    (void)::unlink((path + ".plain").c_str());  // scratch; a leftover only costs space
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// The entries of an environment record (header included) as the boot loader sees them, in
// order, leaving out those of key: the test's own reading, independent of VpdUpdater.
inline Entries othersOf(const std::string& record, const std::string& key) {
    Entries entries;
    size_t at = 5;
    while (at < record.size() && record[at] != '\0') {
        size_t end = record.find('\0', at);
        if (end == std::string::npos) end = record.size();
        const std::string text = record.substr(at, end - at);
        const size_t equals = text.find('=');
        if (equals != std::string::npos && text.substr(0, equals) != key) {
            entries.emplace_back(text.substr(0, equals), text.substr(equals + 1));
        }
        at = end + 1;
    }
    return entries;
}

}  // namespace fuzz
}  // namespace KIVRA
