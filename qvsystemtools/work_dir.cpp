#include "qvsystemtools/work_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qvsystemtools/dir_ops.h"

namespace KIVRA {
namespace qvsystemtools {

WorkDir::WorkDir(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    pattern_ =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> name(pattern_.begin(), pattern_.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        error_ = errno;
        return;
    }
    path_ = name.data();
}

WorkDir::~WorkDir() {
    if (valid()) {
        // A failure is printed by removeDir; a destructor has no caller to tell.
        (void)removeDir(path_);
    }
}

std::string WorkDir::failureText() const {
    return "cannot create a work directory in " + pattern_ + ": " + std::strerror(error_);
}

}  // namespace qvsystemtools
}  // namespace KIVRA
