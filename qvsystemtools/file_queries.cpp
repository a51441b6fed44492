#include "qvsystemtools/file_queries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "qvsystemtools/entry_kind.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvsystemtools {

bool isCharDevice(const std::string& path) { return hasFileType(path, S_IFCHR); }

bool isBlockDevice(const std::string& path) { return hasFileType(path, S_IFBLK); }

bool isFifo(const std::string& path) { return hasFileType(path, S_IFIFO); }

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool sameFile(int fd, const std::string& path) {
    struct stat sa {};
    struct stat sb {};
    return ::fstat(fd, &sa) == 0 && ::stat(path.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

ToolStatus createFile(const std::string& path) {
    if (path.empty()) {
        return TOOL_ERR_EMPTY_PATH;
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        return TOOL_ERR_OPEN_DIR;
    }
    return fd.close() == 0 ? TOOL_OK : TOOL_ERR_OPEN_DIR;
}

int countLines(const std::string& path) {
    if (!isFile(path)) {
        return 0;
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return 0;
    }
    long long lines = 0;
    bool openLine = false;  // bytes read since the last line end
    char buffer[16 * 1024];
    for (;;) {
        // The end of the file or a read error ends the count: a started last line still
        // counts, as a line read up to the failure.
        const ReadResult got = readFull(fd.get(), buffer, sizeof buffer);
        for (size_t i = 0; i < got.count; ++i) {
            if (buffer[i] == '\n') {
                ++lines;
                openLine = false;
            } else {
                openLine = true;
            }
        }
        if (lines >= INT_MAX) {
            return INT_MAX;
        }
        if (got.error != 0 || got.count < sizeof buffer) {
            break;
        }
    }
    if (openLine) {
        ++lines;
    }
    return lines >= INT_MAX ? INT_MAX : static_cast<int>(lines);
}

}  // namespace qvsystemtools
}  // namespace KIVRA
