#pragma once
// A private working directory for a tool's intermediate files.

#include <string>

namespace KIVRA {
namespace qvsystemtools {

// A directory of its own (mode 0700) below $TMPDIR, or /tmp when that is unset or empty,
// named PREFIX.XXXXXX, removed with its content by the destructor: what a tool decrypts or
// copies there never stays behind in a shared directory.
class WorkDir {
public:
    explicit WorkDir(const std::string& prefix);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    // False when the directory could not be made; failureText then says where and why.
    [[nodiscard]] bool valid() const { return error_ == 0; }
    [[nodiscard]] std::string failureText() const;
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string pattern_;
    std::string path_;
    int error_ = 0;
};

}  // namespace qvsystemtools
}  // namespace KIVRA
