#pragma once
// Owners of system handles that release them on every path.

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace KIVRA {
namespace qvsystemtools {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

    // Closes the held descriptor; the close result is lost here, so callers that must know
    // whether written data reached the file call close() themselves first.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            (void)::close(fd_);
        }
        fd_ = fd;
    }

    // Closes and reports the result (0, or -1 with errno set).
    [[nodiscard]] int close() {
        if (fd_ < 0) {
            return 0;
        }
        const int fd = std::exchange(fd_, -1);
        return ::close(fd);
    }

private:
    int fd_ = -1;
};

class UniqueDir {
public:
    explicit UniqueDir(DIR* dir) : dir_(dir) {}
    ~UniqueDir() {
        if (dir_ != nullptr) {
            (void)::closedir(dir_);
        }
    }
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;

    [[nodiscard]] DIR* get() const { return dir_; }
    [[nodiscard]] bool valid() const { return dir_ != nullptr; }

    // Closes and reports the result; the owner then holds nothing.
    [[nodiscard]] int close() {
        DIR* dir = std::exchange(dir_, nullptr);
        return dir == nullptr ? 0 : ::closedir(dir);
    }

private:
    DIR* dir_;
};

// Owner of a popen stream: pclose on every path, or once explicitly to learn the status.
class UniquePipe {
public:
    explicit UniquePipe(FILE* pipe) : pipe_(pipe) {}
    ~UniquePipe() {
        if (pipe_ != nullptr) {
            // Only reached when reading was cut short; the child's status is of no use then.
            (void)::pclose(pipe_);
        }
    }
    UniquePipe(const UniquePipe&) = delete;
    UniquePipe& operator=(const UniquePipe&) = delete;

    [[nodiscard]] FILE* get() const { return pipe_; }
    [[nodiscard]] bool valid() const { return pipe_ != nullptr; }
    // Closes and gives the child's wait status (-1 when it cannot be had); the owner then
    // holds nothing.
    [[nodiscard]] int close() { return ::pclose(std::exchange(pipe_, nullptr)); }

private:
    FILE* pipe_;
};

// Writes all of data to fd, retrying after interruptions. False on any failure, with errno
// telling why (ENOSPC for a write that takes nothing). Part of the file I/O layer
// (qvsystemtools/file_io.h).
[[nodiscard]] bool writeAllFd(int fd, const void* data, size_t length);

}  // namespace qvsystemtools
}  // namespace KIVRA
