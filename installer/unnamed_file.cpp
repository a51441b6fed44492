#include "installer/unnamed_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace KIVRA {
namespace installer {

namespace {

// Attempts to place the new name while something else keeps taking it: each round removes
// what stands there, so only a process racing this one can keep the name busy.
constexpr int kReplaceAttempts = 3;

}  // namespace

UnnamedFile::UnnamedFile(const std::string& dir, mode_t mode) {
    fd_.reset(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd_.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        const std::string pattern = dir + "/.qvinstaller.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
        if (fd_.valid()) {
            namedPath_ = name.data();
        }
    }
    if (fd_.valid() && ::fchmod(fd_.get(), mode) != 0) {
        fd_.reset();
    }
}

UnnamedFile::~UnnamedFile() {
    if (!namedPath_.empty()) {
        (void)::unlink(namedPath_.c_str());  // the stand-in's own name; nothing else uses it
    }
}

std::string UnnamedFile::path() const {
    return namedPath_.empty() ? "/proc/self/fd/" + std::to_string(fd_.get()) : namedPath_;
}

bool UnnamedFile::linkAs(const std::string& target) {
    if (!fd_.valid()) {
        errno = EBADF;
        return false;
    }
    if (!namedPath_.empty()) {
        if (::link(namedPath_.c_str(), target.c_str()) != 0) {
            return false;
        }
        (void)::unlink(namedPath_.c_str());  // the file keeps its new name
        namedPath_.clear();
        return true;
    }
    const std::string self = path();
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    // Without /proc: the descriptor itself (needs CAP_DAC_READ_SEARCH on older kernels).
    return ::linkat(fd_.get(), "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0;
}

bool UnnamedFile::replace(const std::string& target) {
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
        if (linkAs(target)) {
            return true;
        }
        if (errno != EEXIST || (::unlink(target.c_str()) != 0 && errno != ENOENT)) {
            return false;
        }
    }
    return false;
}

qvsystemtools::UniqueFd UnnamedFile::takeFd() { return std::move(fd_); }

}  // namespace installer
}  // namespace KIVRA
