#include "installer/scratch_file.h"

namespace KIVRA {
namespace installer {

namespace {

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ScratchFile::ScratchFile(const std::string& target, mode_t mode)
    : target_(target), file_(directoryOf(target), mode) {}

bool ScratchFile::putInPlace() { return file_.replace(target_); }

}  // namespace installer
}  // namespace KIVRA
