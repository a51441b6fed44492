#pragma once
// A file made without a name in a directory (O_TMPFILE) and given its name only when it is
// complete. Until then no other process can reach it, and a run killed at any moment leaves
// nothing behind. Where the kernel or file system cannot make unnamed files, a private
// mkstemp file beside the target stands in (removed on destruction).

#include <sys/types.h>

#include <string>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace installer {

class UnnamedFile {
public:
    // An empty file in dir with the given mode (the umask does not apply); valid() tells.
    UnnamedFile(const std::string& dir, mode_t mode);
    ~UnnamedFile();
    UnnamedFile(const UnnamedFile&) = delete;
    UnnamedFile& operator=(const UnnamedFile&) = delete;

    [[nodiscard]] bool valid() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }

    // A path that opens this very file, for writers that take a path.
    [[nodiscard]] std::string path() const;

    // Gives the file the name target, in one step; fails (errno EEXIST) when anything
    // stands at target, which is never followed or replaced.
    [[nodiscard]] bool linkAs(const std::string& target);

    // Gives the file the name target in place of whatever stands there (a link planted
    // there is removed, never written through). False when the name cannot be given.
    [[nodiscard]] bool replace(const std::string& target);

    // Hands over the open descriptor; the object then holds nothing.
    [[nodiscard]] qvsystemtools::UniqueFd takeFd();

private:
    qvsystemtools::UniqueFd fd_;
    std::string namedPath_;  // the stand-in's name, empty for an unnamed file
};

}  // namespace installer
}  // namespace KIVRA
