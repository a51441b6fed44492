#include "qvsystemtools/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace KIVRA {
namespace qvsystemtools {

ReadResult readFull(int fd, void* buffer, size_t length) {
    ReadResult result;
    char* bytes = static_cast<char*>(buffer);
    while (result.count < length) {
        const ssize_t n = ::read(fd, bytes + result.count, length - result.count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        result.count += static_cast<size_t>(n);
    }
    return result;
}

int readToEnd(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ReadResult got = readFull(fd, buffer, sizeof buffer);
        text.append(buffer, got.count);
        if (got.error != 0) {
            return got.error;
        }
        if (got.count < sizeof buffer) {
            return 0;
        }
    }
}

int readThrough(int fd, const ChunkObserver& observe) {
    std::vector<unsigned char> buffer(kTransferUnit);
    for (;;) {
        const ReadResult got = readFull(fd, buffer.data(), buffer.size());
        if (got.count > 0) {
            observe(buffer.data(), got.count);
        }
        if (got.error != 0) {
            return got.error;
        }
        if (got.count < buffer.size()) {
            return 0;
        }
    }
}

CopyResult copyToEnd(int in, int out, const ChunkObserver& observe) {
    std::vector<unsigned char> buffer(kTransferUnit);
    for (;;) {
        const ReadResult got = readFull(in, buffer.data(), buffer.size());
        if (got.count > 0 && observe) {
            observe(buffer.data(), got.count);
        }
        if (got.count > 0 && !writeAllFd(out, buffer.data(), got.count)) {
            return {errno, false};
        }
        if (got.error != 0) {
            return {got.error, true};
        }
        if (got.count < buffer.size()) {
            return {};
        }
    }
}

AtomicFile::AtomicFile(const std::string& target) : target_(target), temp_(target + ".XXXXXX") {
    fd_.reset(::mkostemp(&temp_[0], O_CLOEXEC));
    if (!fd_.valid()) {
        temp_.clear();
    }
}

AtomicFile::~AtomicFile() {
    if (!committed_ && !temp_.empty()) {
        (void)::unlink(temp_.c_str());  // best effort; the caller has reported the failure
    }
}

int AtomicFile::commit() {
    if (!fd_.valid()) {
        return EBADF;
    }
    // Synced before the rename, so a power cut never leaves the new name on missing data.
    if (::fsync(fd_.get()) != 0 || fd_.close() != 0 ||
        ::rename(temp_.c_str(), target_.c_str()) != 0) {
        return errno;
    }
    committed_ = true;
    return 0;
}

const dirent* DirEntries::next() {
    if (dir_ == nullptr) {
        error_ = EBADF;
        return nullptr;
    }
    for (;;) {
        // readdir returns null both at the end and on an error; only errno tells them apart.
        errno = 0;
        const dirent* entry = ::readdir(dir_);
        if (entry == nullptr) {
            error_ = errno;
            return nullptr;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            return entry;
        }
    }
}

}  // namespace qvsystemtools
}  // namespace KIVRA
