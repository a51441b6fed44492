// mtdGetDevInfo: the description of one MTD device, from sysfs or, on kernels without the MTD
// class in sysfs, from the MEMGETINFO request and the /proc/mtd listing.

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "flash/mtd_library.h"
#include "flash/mtd_message.h"
#include "flash/mtd_sysfs.h"
#include "qvsystemtools/device_paths.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

using qvsystemtools::UniqueDir;
using qvsystemtools::UniqueFd;

namespace {

constexpr int kMtdMajor = 90;
constexpr const char* kProcMtd = devicepaths::kProcMtd;
constexpr const char* kProcMtdHeader = "dev:    size   erasesize  name\n";
constexpr size_t kProcMtdBytes = 4096;

// The lowest and highest N of the entries "mtd<N>" in the MTD class directory.
int deviceRange(const MtdLibrary* library, int* lowest, int* highest) {
    UniqueDir dir(::opendir(library->sysfsMtd.c_str()));
    if (!dir.valid()) {
        if (errno == ENOENT) {
            errno = ENODEV;
            return -1;
        }
        mtdmsg::sysError("cannot open \"%s\"", library->sysfsMtd.c_str());
        return -1;
    }
    int low = INT_MAX;
    int high = -1;
    const int walked = mtdsysfs::forEachDevice(dir, library->sysfsMtd, [&](int number) {
        low = number < low ? number : low;
        high = number > high ? number : high;
        return true;
    });
    if (walked != 0) {
        return -1;
    }
    *lowest = low;
    *highest = high;
    return 0;
}

int nodeNumberFromSysfs(const MtdLibrary* library, const char* node, int* number) {
    struct stat st {};
    if (::stat(node, &st) != 0) {
        mtdmsg::sysError("cannot get information about \"%s\"", node);
        return -1;
    }
    if (!S_ISCHR(st.st_mode)) {
        mtdmsg::error("\"%s\" is not a character device", node);
        errno = EINVAL;
        return -1;
    }
    const int nodeMajor = static_cast<int>(major(st.st_rdev));
    const int nodeMinor = static_cast<int>(minor(st.st_rdev));
    int lowest = 0;
    int highest = -1;
    if (deviceRange(library, &lowest, &highest) != 0) {
        return -1;
    }
    for (int n = lowest; n <= highest; ++n) {
        int devMajor = 0;
        int devMinor = 0;
        if (mtdsysfs::readMajorMinor(mtdsysfs::devicePath(library->devFile, n), &devMajor,
                                     &devMinor) != 0) {
            if (errno == ENOENT) {
                continue;  // numbers need not be contiguous
            }
            return -1;
        }
        if (devMajor == nodeMajor && devMinor == nodeMinor) {
            *number = n;
            return 0;
        }
    }
    errno = ENODEV;
    return -1;
}

int sysfsDevInfo(const MtdLibrary* library, const char* node, MtdDevInfo* info) {
    int number = 0;
    if (nodeNumberFromSysfs(library, node, &number) != 0) {
        return -1;
    }
    std::memset(info, 0, sizeof *info);
    info->mtdNum = number;
    struct stat st {};
    if (::stat(mtdsysfs::devicePath(library->mtdDir, number).c_str(), &st) != 0) {
        errno = ENODEV;
        return -1;
    }
    auto path = [&](const std::string& pattern) { return mtdsysfs::devicePath(pattern, number); };
    long long size = 0;
    int flags = 0;
    if (mtdsysfs::readMajorMinor(path(library->devFile), &info->major, &info->minor) != 0 ||
        mtdsysfs::readText(path(library->nameFile), info->name, sizeof info->name) != 0 ||
        mtdsysfs::readText(path(library->typeFile), info->typeStr, sizeof info->typeStr) != 0 ||
        mtdsysfs::readInt(path(library->ebSizeFile), &info->ebSize) != 0 ||
        mtdsysfs::readInt64(path(library->sizeFile), &size) != 0 ||
        mtdsysfs::readInt(path(library->minIoFile), &info->minIoSize) != 0 ||
        mtdsysfs::readInt(path(library->subpageFile), &info->subpageSize) != 0 ||
        mtdsysfs::readInt(path(library->oobFile), &info->oobSize) != 0 ||
        mtdsysfs::readInt(path(library->regionsFile), &info->regionCnt) != 0 ||
        mtdsysfs::readHexInt(path(library->flagsFile), &flags) != 0) {
        return -1;
    }
    info->size = size;
    info->writable = (flags & MTD_WRITEABLE) != 0 ? 1 : 0;
    // A device that reports no erase block size cannot be divided into blocks.
    info->ebCnt = info->ebSize > 0 ? static_cast<int>(size / info->ebSize) : 0;
    info->type = mtdTypeCode(info->typeStr);
    info->bbAllowed = (info->type == MTD_NANDFLASH || info->type == MTD_MLCNANDFLASH) ? 1 : 0;
    return 0;
}

// Finds the name of device number in the /proc/mtd listing.
int procMtdName(int number, char* name, size_t size) {
    UniqueFd fd(::open(kProcMtd, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        mtdmsg::sysError("cannot open \"%s\"", kProcMtd);
        return -1;
    }
    char text[kProcMtdBytes + 1] = {};
    const qvsystemtools::ReadResult got = qvsystemtools::readFull(fd.get(), text, kProcMtdBytes);
    if (got.error != 0) {
        errno = got.error;
        mtdmsg::sysError("cannot read \"%s\"", kProcMtd);
        return -1;
    }
    text[got.count] = '\0';
    return mtdProcMtdName(text, number, name, size);
}

// The device number from the node itself: a character device of the MTD major.
int nodeNumbers(const char* node, MtdDevInfo* info) {
    struct stat st {};
    if (::stat(node, &st) != 0) {
        const int cause = errno;
        mtdmsg::sysError("cannot open \"%s\"", node);
        if (cause == ENOENT) {
            mtdmsg::notice(
                "MTD subsystem is old and does not support sysfs, so MTD character "
                "device nodes have to exist");
        }
        return -1;
    }
    if (!S_ISCHR(st.st_mode)) {
        mtdmsg::error("\"%s\" is not a character device", node);
        errno = EINVAL;
        return -1;
    }
    std::memset(info, 0, sizeof *info);
    info->major = static_cast<int>(major(st.st_rdev));
    info->minor = static_cast<int>(minor(st.st_rdev));
    if (info->major != kMtdMajor) {
        mtdmsg::error("\"%s\" has major number %d, MTD devices have major %d", node, info->major,
                      kMtdMajor);
        errno = EINVAL;
        return -1;
    }
    // Each device has a read-write node (even minor) and a read-only one (odd minor).
    info->mtdNum = info->minor / 2;
    return 0;
}

// The geometry and whether bad blocks are possible, as the driver answers for the open node.
int askDriver(int fd, MtdDevInfo* info) {
    struct mtd_info_user reply {};
    if (::ioctl(fd, MEMGETINFO, &reply) != 0) {
        mtdmsg::sysError("MEMGETINFO ioctl request failed");
        return -1;
    }
    loff_t offset = 0;
    if (::ioctl(fd, MEMGETBADBLOCK, &offset) < 0) {
        if (errno != EOPNOTSUPP) {
            mtdmsg::sysError("MEMGETBADBLOCK ioctl failed");
            return -1;
        }
        errno = 0;
        info->bbAllowed = 0;
    } else {
        info->bbAllowed = 1;
    }
    info->type = reply.type;
    info->size = reply.size;
    info->ebSize = static_cast<int>(reply.erasesize);
    info->minIoSize = static_cast<int>(reply.writesize);
    info->oobSize = static_cast<int>(reply.oobsize);
    info->subpageSize = info->minIoSize;
    info->writable = (reply.flags & MTD_WRITEABLE) != 0 ? 1 : 0;
    return 0;
}

// Refuses a geometry no flash has, and names the type.
int checkGeometry(const char* node, MtdDevInfo* info) {
    if (info->minIoSize <= 0) {
        mtdmsg::error("mtd%d (%s) has insane min. I/O unit size %d", info->mtdNum, node,
                      info->minIoSize);
        errno = EINVAL;
        return -1;
    }
    if (info->ebSize <= 0 || info->ebSize < info->minIoSize) {
        mtdmsg::error("mtd%d (%s) has insane eraseblock size %d", info->mtdNum, node, info->ebSize);
        errno = EINVAL;
        return -1;
    }
    if (info->size <= 0 || info->size < info->ebSize) {
        mtdmsg::error("mtd%d (%s) has insane size %lld", info->mtdNum, node,
                      static_cast<long long>(info->size));
        errno = EINVAL;
        return -1;
    }
    info->ebCnt = static_cast<int>(info->size / info->ebSize);
    if (info->type == MTD_ABSENT) {
        mtdmsg::error("mtd%d (%s) is removable and is not present", info->mtdNum, node);
        errno = ENODEV;
        return -1;
    }
    const char* typeName = mtdTypeName(info->type);
    if (typeName == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::snprintf(info->typeStr, sizeof info->typeStr, "%s", typeName);
    return 0;
}

int legacyDevInfo(const char* node, MtdDevInfo* info) {
    if (nodeNumbers(node, info) != 0) {
        return -1;
    }
    UniqueFd fd(::open(node, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        mtdmsg::sysError("cannot open \"%s\"", node);
        return -1;
    }
    if (askDriver(fd.get(), info) != 0 || checkGeometry(node, info) != 0) {
        return -1;
    }
    if (fd.close() != 0) {
        mtdmsg::sysError("close failed on \"%s\"", node);
        return -1;
    }
    return procMtdName(info->mtdNum, info->name, sizeof info->name);
}

}  // namespace

int mtdProcMtdName(const char* text, int number, char* name, size_t size) {
    const size_t headerLength = std::strlen(kProcMtdHeader);
    if (std::strncmp(text, kProcMtdHeader, headerLength) != 0) {
        mtdmsg::error("\"%s\" does not start with \"%s\"", kProcMtd, kProcMtdHeader);
        errno = EINVAL;
        return -1;
    }
    const char* line = text + headerLength;
    while (*line != '\0') {
        int lineNumber = 0;
        unsigned long long lineSize = 0;
        unsigned lineEbSize = 0;
        if (std::sscanf(line, "mtd%d: %llx %x", &lineNumber, &lineSize, &lineEbSize) != 3) {
            mtdmsg::error("\"%s\" pattern not found", kProcMtd);
            errno = EINVAL;
            return -1;
        }
        const char* open = std::strchr(line, '"');
        if (open == nullptr) {
            mtdmsg::error("opening \" not found");
            errno = EINVAL;
            return -1;
        }
        ++open;
        const char* close = std::strchr(open, '"');
        if (close == nullptr) {
            mtdmsg::error("closing \" not found");
            errno = EINVAL;
            return -1;
        }
        if (close[1] != '\n') {
            mtdmsg::error("opening \"\n\" not found");
            errno = EINVAL;
            return -1;
        }
        const size_t length = static_cast<size_t>(close - open);
        if (length > 127 || length >= size) {
            mtdmsg::error("too long mtd%d device name", lineNumber);
            errno = EINVAL;
            return -1;
        }
        if (lineNumber == number) {
            std::memcpy(name, open, length);
            name[length] = '\0';
            return 0;
        }
        line = close + 2;
    }
    mtdmsg::error("mtd%d not found in \"%s\"", number, kProcMtd);
    errno = ENOENT;
    return -1;
}

int mtdGetDevInfo(MtdLibrary* library, const char* node, MtdDevInfo* info) {
    if (library->sysfsSupported != 0) {
        return sysfsDevInfo(library, node, info);
    }
    return legacyDevInfo(node, info);
}

}  // namespace KIVRA
