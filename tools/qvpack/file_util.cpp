#include "tools/qvpack/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qvsystemtools/dir_ops.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

using qvsystemtools::AtomicFile;
using qvsystemtools::UniqueDir;
using qvsystemtools::UniqueFd;

std::string errnoText() { return std::strerror(errno); }

namespace {

void commit(AtomicFile& file, const std::string& path) {
    const int error = file.commit();
    if (error != 0) {
        throw MachineFault("cannot write " + path + ": " + std::strerror(error));
    }
}

}  // namespace

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void requireRegularFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw PackError(path + ": " + errnoText());
    }
    if (!S_ISREG(st.st_mode)) {
        throw PackError(path + ": not a regular file");
    }
}

bool prepareOutputDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        throw PackError("cannot create " + path + ": " + errnoText());
    }
    UniqueDir dir(::opendir(path.c_str()));
    if (!dir.valid()) {
        throw PackError(path + ": " + errnoText());
    }
    qvsystemtools::DirEntries entries(dir.get());
    if (entries.next() != nullptr) {
        throw PackError(path + ": directory is not empty");
    }
    if (entries.error() != 0) {
        throw PackError(path + ": " + std::strerror(entries.error()));
    }
    return false;
}

void copyPlain(const std::string& source, const std::string& destination) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        throw PackError("cannot read " + source + ": " + errnoText());
    }
    AtomicFile out(destination);
    if (!out.valid()) {
        throw MachineFault("cannot create " + destination + ": " + errnoText());
    }
    const qvsystemtools::CopyResult copied = qvsystemtools::copyToEnd(in.get(), out.fd());
    if (copied.error != 0) {
        throw MachineFault(
            "cannot " + std::string(copied.failedRead ? "read " + source : "write " + destination) +
            ": " + std::strerror(copied.error));
    }
    // The copy keeps the source's bits, so an executable stays executable.
    if (::fchmod(out.fd(), st.st_mode & 0777) != 0) {
        throw MachineFault("cannot write " + destination + ": " + errnoText());
    }
    commit(out, destination);
}

void writeText(const std::string& path, const std::string& text) {
    AtomicFile out(path);
    // Package files are world-readable whatever the umask of the machine that made them.
    if (!out.valid() || ::fchmod(out.fd(), 0644) != 0 ||
        !qvsystemtools::writeAllFd(out.fd(), text.data(), text.size())) {
        throw MachineFault("cannot write " + path + ": " + errnoText());
    }
    commit(out, path);
}

void encryptPlain(QvEncryption& crypto, const std::string& source, const std::string& destination) {
    AtomicFile out(destination);
    if (!out.valid() || ::fchmod(out.fd(), 0644) != 0) {
        throw MachineFault("cannot create " + destination + ": " + errnoText());
    }
    errno = 0;
    if (crypto.encryptFile(source, out.path()) != 0) {
        throw MachineFault("cannot encrypt " + source + " into " + destination +
                           (errno != 0 ? ": " + errnoText() : std::string()));
    }
    commit(out, destination);
}

std::string readText(const std::string& path) {
    UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        throw PackError("cannot read " + path + ": " + errnoText());
    }
    std::string text;
    const int error = qvsystemtools::readToEnd(in.get(), text);
    if (error != 0) {
        throw PackError("cannot read " + path + ": " + std::strerror(error));
    }
    return text;
}

}  // namespace qvpack
}  // namespace KIVRA
