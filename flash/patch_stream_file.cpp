#include "flash/patch_stream_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

using qvsystemtools::UniqueFd;

struct PatchStreamFile::State {
    qvsystemtools::UniqueFd fd;
    int mode = 0;
};

PatchStreamFile::PatchStreamFile() : state_(std::make_unique<State>()) {}

PatchStreamFile::~PatchStreamFile() { (void)close(); }  // close cannot fail

int PatchStreamFile::open(const char* path, int mode, uint32_t limit) {
    (void)limit;  // a file has no region to keep to
    const int closed = close();
    if (closed != 0) {
        return closed;
    }
    int flags = 0;
    if (mode == 1) {
        flags = O_RDONLY;
    } else if (mode == 2) {
        // Written files live in world-writable /tmp: a link planted at the path is never
        // written through, and a regular file is emptied only once it is known to be one
        // that no other name shares.
        flags = O_WRONLY | O_CREAT | O_NOFOLLOW;
    } else {
        return -1;
    }
    state_->mode = mode;
    UniqueFd fd(::open(path, flags | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return -1;
    }
    if (mode == 2) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            return -1;
        }
        if (S_ISREG(st.st_mode) && (st.st_nlink > 1 || ::ftruncate(fd.get(), 0) != 0)) {
            return -1;
        }
    }
    state_->fd = std::move(fd);
    return 0;
}

int PatchStreamFile::close() {
    // Data written to a regular file is in the page cache already; a late error of close
    // has no one to tell beyond what write reported.
    state_->fd.reset();
    return 0;
}

int PatchStreamFile::getMode() { return state_->mode; }

int PatchStreamFile::read(void* buffer, uint32_t length) {
    if (!state_->fd.valid()) {
        errno = EBADF;  // nothing is open, also for a read of no bytes
        return -1;
    }
    // A failed read after some bytes gives those bytes; the next read reports the failure.
    const qvsystemtools::ReadResult got =
        qvsystemtools::readFull(state_->fd.get(), buffer, std::min<size_t>(length, INT_MAX));
    return got.count == 0 && got.error != 0 ? -1 : static_cast<int>(got.count);
}

int PatchStreamFile::write(const void* data, uint32_t length) {
    const size_t want = std::min<size_t>(length, INT_MAX);
    const auto* in = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < want) {
        const ssize_t n = ::write(state_->fd.get(), in + done, want - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return done > 0 ? static_cast<int>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

int PatchStreamFile::seek(uint32_t offset) {
    const off_t at = ::lseek(state_->fd.get(), static_cast<off_t>(offset), SEEK_SET);
    return at < 0 ? -1 : static_cast<int>(at);
}

int PatchStreamFile::erase() { return 0; }

}  // namespace KIVRA
