#pragma once
// A private working file for world-writable /tmp, given its name only when complete: a link
// or file another user planted at that name is replaced, never written through, and a run
// killed half-way leaves no scratch file behind.

#include <sys/types.h>

#include <string>

#include "installer/unnamed_file.h"

namespace KIVRA {
namespace installer {

class ScratchFile {
public:
    // An empty unnamed file in the target's directory with the given mode; valid() tells
    // whether it exists. Dropped on destruction unless it was put in place.
    ScratchFile(const std::string& target, mode_t mode);

    [[nodiscard]] bool valid() const { return file_.valid(); }
    // A path that opens the scratch file, for writers that take a path.
    [[nodiscard]] std::string path() const { return file_.path(); }

    // Gives the file the target's name, replacing whatever stands there. False (and the
    // file is dropped) when the name cannot be given.
    [[nodiscard]] bool putInPlace();

private:
    std::string target_;
    UnnamedFile file_;
};

}  // namespace installer
}  // namespace KIVRA
