#include "flash/mtd_sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "flash/mtd_message.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace mtdsysfs {

using qvsystemtools::UniqueFd;

namespace {

constexpr size_t kNumberBytes = 50;

int closeChecked(UniqueFd& fd, const std::string& path) {
    if (fd.close() != 0) {
        mtdmsg::sysError("close failed on \"%s\"", path.c_str());
        return -1;
    }
    return 0;
}

// Opens an attribute and reads its whole text, which must be shorter than size, into
// buffer; count is its length. fd stays open so the caller can report a failing close.
int readAttribute(const std::string& path, UniqueFd& fd, char* buffer, size_t size, size_t& count) {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    const qvsystemtools::ReadResult got = qvsystemtools::readFull(fd.get(), buffer, size);
    if (got.error != 0) {
        errno = got.error;
        mtdmsg::sysError("cannot read \"%s\"", path.c_str());
        return -1;
    }
    if (got.count == size) {
        mtdmsg::error("contents of \"%s\" is too long", path.c_str());
        errno = EINVAL;
        return -1;
    }
    count = got.count;
    return 0;
}

// A numeric attribute's text (fewer than kNumberBytes bytes), NUL-terminated.
int readShortText(const std::string& path, UniqueFd& fd, char (&text)[kNumberBytes + 1]) {
    size_t count = 0;
    if (readAttribute(path, fd, text, kNumberBytes, count) != 0) {
        return -1;
    }
    text[count] = '\0';
    return 0;
}

// Reads a numeric attribute's text (at most kNumberBytes - 1 useful bytes), decimal or
// hexadecimal; the value is signed 64-bit whatever the base.
int readNumber(const std::string& path, bool hex, long long* value) {
    UniqueFd fd;
    char text[kNumberBytes + 1] = {};
    if (readShortText(path, fd, text) != 0) {
        return -1;
    }
    long long parsed = 0;
    unsigned long long parsedHex = 0;
    const int fields =
        hex ? std::sscanf(text, "%llx\n", &parsedHex) : std::sscanf(text, "%lld\n", &parsed);
    if (hex) {
        parsed = static_cast<long long>(parsedHex);
    }
    if (fields != 1) {
        mtdmsg::error("cannot read integer from \"%s\"\n", path.c_str());
        errno = EINVAL;
        return -1;
    }
    if (parsed < 0) {
        mtdmsg::error("negative value %lld in \"%s\"", parsed, path.c_str());
        errno = EINVAL;
        return -1;
    }
    if (closeChecked(fd, path) != 0) {
        return -1;
    }
    *value = parsed;
    return 0;
}

int narrow(const std::string& path, long long wide, int* value) {
    if (wide > INT_MAX) {
        mtdmsg::error("value %lld read from file \"%s\" is out of range", wide, path.c_str());
        errno = EINVAL;
        return -1;
    }
    *value = static_cast<int>(wide);
    return 0;
}

}  // namespace

std::string joinPath(const std::string& left, const std::string& right) {
    if (!left.empty() && left.back() == '/') {
        return left + right;
    }
    return left + "/" + right;
}

std::string devicePath(const std::string& pattern, int number) {
    std::string path = pattern;
    const size_t at = path.find("%d");
    if (at != std::string::npos) {
        path.replace(at, 2, std::to_string(number));
    }
    return path;
}

int entryNumber(const std::string& directory, const char* name, int* number) {
    if (std::strlen(name) > 254) {
        mtdmsg::error("invalid entry in %s: \"%s\"", directory.c_str(), name);
        errno = EINVAL;
        return -1;
    }
    if (std::strncmp(name, "mtd", 3) != 0) {
        return 0;
    }
    const char* digits = name + 3;
    if (*digits == '\0') {
        return 0;
    }
    long long value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;  // "mtd0ro" and the like are not devices of their own
        }
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) {
            return 0;
        }
    }
    *number = static_cast<int>(value);
    return 1;
}

int readText(const std::string& path, char* buffer, size_t size) {
    UniqueFd fd;
    size_t count = 0;
    if (readAttribute(path, fd, buffer, size, count) != 0) {
        return -1;
    }
    // The attribute ends in a newline, which is not part of the value.
    buffer[count > 0 ? count - 1 : 0] = '\0';
    return closeChecked(fd, path);
}

int readMajorMinor(const std::string& path, int* major, int* minor) {
    UniqueFd fd;
    char text[kNumberBytes + 1] = {};
    if (readShortText(path, fd, text) != 0) {
        return -1;
    }
    int first = 0;
    int second = 0;
    if (std::sscanf(text, "%d:%d\n", &first, &second) != 2) {
        mtdmsg::error("\"%s\" does not have major:minor format", path.c_str());
        errno = EINVAL;
        return -1;
    }
    if (first < 0 || second < 0) {
        mtdmsg::error("bad major:minor %d:%d in \"%s\"", first, second, path.c_str());
        errno = EINVAL;
        return -1;
    }
    if (closeChecked(fd, path) != 0) {
        return -1;
    }
    *major = first;
    *minor = second;
    return 0;
}

int readInt64(const std::string& path, long long* value) { return readNumber(path, false, value); }

int readInt(const std::string& path, int* value) {
    long long wide = 0;
    if (readNumber(path, false, &wide) != 0) {
        return -1;
    }
    return narrow(path, wide, value);
}

int readHexInt(const std::string& path, int* value) {
    long long wide = 0;
    if (readNumber(path, true, &wide) != 0) {
        return -1;
    }
    return narrow(path, wide, value);
}

int forEachDevice(qvsystemtools::UniqueDir& dir, const std::string& directory,
                  const std::function<bool(int)>& visit) {
    qvsystemtools::DirEntries entries(dir.get());
    while (const struct dirent* entry = entries.next()) {
        int number = 0;
        const int match = entryNumber(directory, entry->d_name, &number);
        if (match < 0) {
            return -1;
        }
        if (match == 1 && !visit(number)) {
            break;
        }
    }
    if (entries.error() != 0) {
        errno = entries.error();
        mtdmsg::sysError("readdir failed on \"%s\"", directory.c_str());
        return -1;
    }
    if (dir.close() != 0) {
        mtdmsg::sysError("closedir failed on \"%s\"", directory.c_str());
        return -1;
    }
    return 0;
}

}  // namespace mtdsysfs
}  // namespace KIVRA
