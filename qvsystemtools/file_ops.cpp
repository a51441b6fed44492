#include "qvsystemtools/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <vector>

#include "qvsystemtools/entry_kind.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvsystemtools {

namespace {

void copyFailure(const std::string& text) {
    std::cerr << "[qvsystemtools::copyFile] " << text << std::endl;
}

ToolStatus writeWhole(const std::string& content, const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
    if (!fd.valid()) {
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    if (!writeAllFd(fd.get(), content.data(), content.size())) {
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    return fd.close() == 0 ? TOOL_OK : TOOL_ERR_FILE_NOT_OPEN;
}

}  // namespace

bool writeAllFd(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool isFile(const std::string& path) { return hasFileType(path, S_IFREG); }

bool isDir(const std::string& path) { return hasFileType(path, S_IFDIR); }

ToolStatus copyFile(const std::string& source, const std::string& destination) {
    return copyFile(source, destination, ChunkObserver());
}

ToolStatus copyFile(const std::string& source, const std::string& destination,
                    const ChunkObserver& observe) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    // Opened without truncation: the destination may be the source itself under this or
    // another name, and emptying it first would lose the very bytes to be copied.
    UniqueFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    struct stat outStat {};
    const bool outIsFile =
        out.valid() && ::fstat(out.get(), &outStat) == 0 && S_ISREG(outStat.st_mode);
    if (in.valid() && outIsFile) {
        struct stat inStat {};
        if (::fstat(in.get(), &inStat) == 0 && inStat.st_dev == outStat.st_dev &&
            inStat.st_ino == outStat.st_ino) {
            // The file already holds exactly what a copy would give; an observer still sees
            // those bytes, as it would have seen them copied.
            if (observe && readThrough(in.get(), observe) != 0) {
                copyFailure("Source " + source + " cannot be read");
                return TOOL_ERR_SOURCE_NOT_OPEN;
            }
            return TOOL_OK;
        }
    }
    // The destination is emptied before the source is checked; callers rely on finding an
    // empty target after a failed copy rather than a stale one.
    const bool emptied = !outIsFile || ::ftruncate(out.get(), 0) == 0;
    if (!in.valid()) {
        copyFailure("Source " + source + " is not open");
        return TOOL_ERR_SOURCE_NOT_OPEN;
    }
    if (!out.valid()) {
        copyFailure("Destination " + destination + " is not open");
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    if (!emptied) {
        copyFailure("Destination " + destination + " cannot be written");
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    const CopyResult copied = copyToEnd(in.get(), out.get(), observe);
    if (copied.error != 0 && copied.failedRead) {
        copyFailure("Source " + source + " cannot be read");
        return TOOL_ERR_SOURCE_NOT_OPEN;
    }
    if (copied.error != 0 || out.close() != 0) {
        copyFailure("Destination " + destination + " cannot be written");
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    return TOOL_OK;
}

ToolStatus readFile(std::string& content, const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    std::string data;
    if (readToEnd(fd.get(), data) != 0) {
        // A directory or a read error: nothing half-read reaches the caller.
        return TOOL_ERR_FILE_NOT_OPEN;
    }
    // Line by line with a line end after each, and the last read (at end of file) adds one
    // more: this is the file's bytes followed by a single "\n".
    content += data;
    content += '\n';
    return TOOL_OK;
}

ToolStatus writeFile(const std::string& content, const std::string& path) {
    return writeWhole(content, path, O_TRUNC);
}

ToolStatus appendFile(const std::string& content, const std::string& path) {
    return writeWhole(content, path, O_APPEND);
}

}  // namespace qvsystemtools
}  // namespace KIVRA
