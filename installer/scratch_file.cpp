#include "installer/scratch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace installer {

ScratchFile::ScratchFile(const std::string& target, mode_t mode) : target_(target) {
    const std::string pattern = target + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    qvsystemtools::UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return;
    }
    if (::fchmod(fd.get(), mode) == 0 && fd.close() == 0) {
        path_ = name.data();
    } else {
        (void)::unlink(name.data());  // made but not usable; nothing else refers to it
    }
}

ScratchFile::~ScratchFile() {
    if (!path_.empty()) {
        (void)::unlink(path_.c_str());  // nothing else refers to it
    }
}

bool ScratchFile::renameIntoPlace() {
    if (path_.empty() || ::rename(path_.c_str(), target_.c_str()) != 0) {
        return false;
    }
    path_.clear();
    return true;
}

}  // namespace installer
}  // namespace KIVRA
