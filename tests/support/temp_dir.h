#pragma once
// The one temporary directory of the test programs and the fuzz targets. It leans on nothing
// but the toolbox, so a fuzz target (no GoogleTest) uses it too.

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "qvsystemtools/dir_ops.h"

namespace KIVRA {
namespace testing {

// A fresh directory below /tmp, removed with its content when the owner goes. The sandbox
// every test and fuzz target runs in gives each its own /tmp.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qvtest.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() { (void)qvsystemtools::removeDir(path_); }  // scratch: a leftover costs space only
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace testing
}  // namespace KIVRA
