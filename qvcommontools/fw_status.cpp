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

StatusWrite writeFwStatus(const std::string& text) {
    // /tmp is world-writable: never follow a link planted at the path, never block on a
    // FIFO, and truncate only after the opened object is known to be our own regular file.
    qvsystemtools::UniqueFd fd(
        ::open(kFwStatusPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return StatusWrite::Refused;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        return StatusWrite::Refused;
    }
    if (::ftruncate(fd.get(), 0) != 0) {
        return StatusWrite::Refused;
    }
    // A short write leaves a partial status that readers would take for a stage: the caller
    // must know, so that the run does not go on as if the device had been told.
    const bool whole = qvsystemtools::writeAllFd(fd.get(), text.data(), text.size());
    if (::fchown(fd.get(), kStatusOwner, kStatusGroup) != 0) {
        std::cout << "failed to change /tmp/fw_status owner" << std::endl;
    }
    return whole && fd.close() == 0 ? StatusWrite::Written : StatusWrite::Failed;
}

}  // namespace qvcommontools
}  // namespace KIVRA
