#pragma once
// A private file in world-writable /tmp that is renamed into its place when complete, so a
// link or file another user planted at that place is replaced, never written through.

#include <sys/types.h>

#include <string>

namespace KIVRA {
namespace installer {

class ScratchFile {
public:
    // Creates target + ".XXXXXX" (mkstemp) with the given mode; valid() tells whether it
    // exists. The file is removed on destruction unless it was renamed into place.
    ScratchFile(const std::string& target, mode_t mode);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    [[nodiscard]] bool valid() const { return !path_.empty(); }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Moves the file to the target, replacing whatever stands there. False (and the file
    // stays private, to be removed) when the rename fails.
    [[nodiscard]] bool renameIntoPlace();

private:
    std::string target_;
    std::string path_;
};

}  // namespace installer
}  // namespace KIVRA
