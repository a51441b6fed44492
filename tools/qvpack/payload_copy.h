#pragma once
// What qvpack artifact hands to mender-artifact: private copies of the package's files, made
// before the package is checked and compared with it after the check, so that the artifact
// carries the bytes that were checked. A file replaced while mender-artifact runs no longer
// reaches the artifact, and one replaced during the check refuses the artifact.

#include <string>
#include <vector>

#include "qvsystemtools/work_dir.h"

namespace KIVRA {
namespace qvpack {

class PayloadCopy {
public:
    // Copies each regular file of pkgDir (links and other kinds are left to the listing that
    // refuses them). Throws MachineFault when the copies cannot be written, PackError when a
    // file cannot be read.
    explicit PayloadCopy(const std::string& pkgDir);

    // The copies of names (the package's files as listed after the check), in that order.
    // Throws PackError, naming the file, when the package no longer holds exactly the files
    // and the bytes copied.
    [[nodiscard]] std::vector<std::string> checkedCopies(
        const std::vector<std::string>& names) const;

private:
    std::string pkgDir_;
    qvsystemtools::WorkDir dir_;
    std::vector<std::string> names_;    // sorted
    std::vector<std::string> digests_;  // of the copies, by names_
};

}  // namespace qvpack
}  // namespace KIVRA
