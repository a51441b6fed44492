#include "tools/qvpack/payload_copy.h"

#include <sys/stat.h>

#include <algorithm>

#include "package_format/file_digest.h"
#include "qvsystemtools/dir_listing.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {
namespace {

std::string digestOf(const std::string& path) {
    std::string digest;
    if (!package_format::md5Text(path, digest)) {
        throw PackError("cannot read " + path);
    }
    return digest;
}

}  // namespace

PayloadCopy::PayloadCopy(const std::string& pkgDir) : pkgDir_(pkgDir), dir_("qvpack") {
    if (!dir_.valid()) {
        throw MachineFault(dir_.failureText());
    }
    std::vector<std::string> paths;
    std::string error;
    // A package that cannot be listed is refused by its check, in the check's own words;
    // here it leaves no copies, so nothing could be wrapped either.
    (void)qvsystemtools::listFiles(pkgDir, paths, error);
    for (const std::string& path : paths) {
        struct stat st {};
        // A FIFO would block the copy; a link is not a package file.
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            names_.push_back(baseName(path));
        }
    }
    std::sort(names_.begin(), names_.end());
    for (const std::string& name : names_) {
        const std::string copy = dir_.path() + "/" + name;
        copyPlain(pkgDir + "/" + name, copy);
        digests_.push_back(digestOf(copy));
    }
}

std::vector<std::string> PayloadCopy::checkedCopies(const std::vector<std::string>& names) const {
    std::vector<std::string> copies;
    for (const std::string& name : names) {
        const auto at = std::lower_bound(names_.begin(), names_.end(), name);
        const std::string path = pkgDir_ + "/" + name;
        if (at == names_.end() || *at != name ||
            digestOf(path) != digests_[static_cast<size_t>(at - names_.begin())]) {
            throw PackError(path + " changed while the package was checked; no artifact built");
        }
        copies.push_back(dir_.path() + "/" + name);
    }
    if (names.size() != names_.size()) {
        throw PackError(pkgDir_ + " changed while the package was checked; no artifact built");
    }
    return copies;
}

}  // namespace qvpack
}  // namespace KIVRA
