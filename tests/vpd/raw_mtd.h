#pragma once
// Direct access to /dev/mtd0 for setting up and inspecting flash in device tests, through the
// kernel's MTD character device only, independent of the streams under test.

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace KIVRA {
namespace testing {

class RawMtd {
public:
    explicit RawMtd(const std::string& path = "/dev/mtd0") : path_(path) {}

    mtd_info_user info() const {
        const int fd = openDevice(O_RDONLY);
        mtd_info_user info{};
        const int rc = ::ioctl(fd, MEMGETINFO, &info);
        (void)::close(fd);
        if (rc != 0) {
            throw std::runtime_error("MEMGETINFO failed on " + path_);
        }
        return info;
    }

    // Erases the blocks that bytes covers (offset must start a block) and writes bytes.
    void write(uint32_t offset, const std::string& bytes) const {
        const uint32_t block = info().erasesize;
        if (offset % block != 0) {
            throw std::runtime_error("unaligned raw write");
        }
        const int fd = openDevice(O_RDWR);
        erase_info_user erase{offset,
                              (static_cast<uint32_t>(bytes.size()) + block - 1) / block * block};
        bool ok =
            ::ioctl(fd, MEMERASE, &erase) == 0 &&
            ::pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
        ok = ::close(fd) == 0 && ok;
        if (!ok) {
            throw std::runtime_error("raw write failed on " + path_);
        }
    }

    std::string read(uint32_t offset, uint32_t size) const {
        const int fd = openDevice(O_RDONLY);
        std::string bytes(size, '\0');
        const ssize_t n = ::pread(fd, &bytes[0], size, offset);
        (void)::close(fd);
        if (n != static_cast<ssize_t>(size)) {
            throw std::runtime_error("raw read failed on " + path_);
        }
        return bytes;
    }

private:
    int openDevice(int flags) const {
        const int fd = ::open(path_.c_str(), flags | O_CLOEXEC);
        if (fd < 0) {
            throw std::runtime_error("cannot open " + path_);
        }
        return fd;
    }

    std::string path_;
};

// Makes /dev/mtd0 disappear for its lifetime, as on a device whose node cannot be opened.
class HiddenDeviceNode {
public:
    explicit HiddenDeviceNode(const std::string& path = "/dev/mtd0")
        : path_(path), hidden_(path + ".hidden") {
        if (::rename(path_.c_str(), hidden_.c_str()) != 0) {
            throw std::runtime_error("cannot hide " + path_);
        }
    }
    ~HiddenDeviceNode() { (void)::rename(hidden_.c_str(), path_.c_str()); }
    HiddenDeviceNode(const HiddenDeviceNode&) = delete;
    HiddenDeviceNode& operator=(const HiddenDeviceNode&) = delete;

private:
    std::string path_;
    std::string hidden_;
};

}  // namespace testing
}  // namespace KIVRA
