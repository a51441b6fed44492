#include "qvcommontools/fw_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvcommontools {

const char* const kFwStatusPath = "/tmp/fw_status";

namespace {
constexpr uid_t kStatusOwner = 1002;
constexpr gid_t kStatusGroup = 0;
}  // namespace

void writeFwStatus(const std::string& text) {
    // /tmp is world-writable: never follow a link planted at the path, never block on a
    // FIFO, and truncate only after the opened object is known to be our own regular file.
    qvsystemtools::UniqueFd fd(
        ::open(kFwStatusPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return;
    }
    if (::ftruncate(fd.get(), 0) != 0) {
        return;
    }
    // A short write leaves a partial status; readers see the stage number at least, and
    // nothing better can be done for a one-line indicator.
    (void)qvsystemtools::writeAllFd(fd.get(), text.data(), text.size());
    if (::fchown(fd.get(), kStatusOwner, kStatusGroup) != 0) {
        std::cout << "failed to change /tmp/fw_status owner" << std::endl;
    }
}

}  // namespace qvcommontools
}  // namespace KIVRA
