#include "flash/mtd_library.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "flash/mtd_message.h"
#include "flash/mtd_sysfs.h"
#include "qvsystemtools/device_paths.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

using qvsystemtools::UniqueDir;
using qvsystemtools::UniqueFd;

namespace {

constexpr const char* kClassMtd = "class/mtd";

int kernelRequest(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

struct TypeName {
    int code;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {MTD_ABSENT, "absent"},  {MTD_RAM, "ram"},
    {MTD_ROM, "rom"},        {MTD_NORFLASH, "nor"},
    {MTD_NANDFLASH, "nand"}, {MTD_DATAFLASH, "dataflash"},
    {MTD_UBIVOLUME, "ubi"},  {MTD_MLCNANDFLASH, "mlc-nand"},
};

// Decides whether the kernel describes MTD devices in sysfs: the class directory must list a
// device "mtd<N>" whose name attribute can be opened. A failure while looking is reported and
// then taken as support, since the directory was there.
bool sysfsDescribesDevices(const MtdLibrary& library) {
    UniqueDir dir(::opendir(library.sysfsMtd.c_str()));
    if (!dir.valid()) {
        if (errno == ENOENT) {
            return false;
        }
        mtdmsg::sysError("cannot open \"%s\"", library.sysfsMtd.c_str());
        return true;
    }
    int number = -1;
    bool found = false;
    if (mtdsysfs::forEachDevice(dir, library.sysfsMtd, [&](int n) {
            number = n;
            found = true;
            return false;
        }) != 0) {
        return true;
    }
    if (!found) {
        return false;
    }
    const std::string name = mtdsysfs::devicePath(library.nameFile, number);
    UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    if (fd.close() != 0) {
        mtdmsg::sysError("close failed on \"%s\"", name.c_str());
    }
    return true;
}

// Checks an erase block number against the device.
int checkBlock(const MtdDevInfo* info, int eb) {
    if (eb < 0 || eb >= info->ebCnt) {
        mtdmsg::error("bad eraseblock number %d, mtd%d has %d eraseblocks", eb, info->mtdNum,
                      info->ebCnt);
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int checkRange(const MtdDevInfo* info, int offs, int len) {
    if (offs < 0 || len < 0 || static_cast<long long>(offs) + len > info->ebSize) {
        mtdmsg::error("bad offset %d or length %d, mtd%d eraseblock size is %d", offs, len,
                      info->mtdNum, info->ebSize);
        errno = EINVAL;
        return -1;
    }
    return 0;
}

int seekTo(const MtdDevInfo* info, int fd, int eb, int offs) {
    const long long offset = static_cast<long long>(eb) * info->ebSize + offs;
    if (::lseek(fd, offset, SEEK_SET) != offset) {
        mtdmsg::sysError("cannot seek mtd%d to offset %lld", info->mtdNum, offset);
        return -1;
    }
    return 0;
}

}  // namespace

MtdLibrary::MtdLibrary() : sysfsSupported(0), erase64State(0), eraseRequest(kernelRequest) {}

int mtdTypeCode(const char* typeStr) {
    for (const TypeName& t : kTypeNames) {
        if (std::strcmp(t.name, typeStr) == 0) {
            return t.code;
        }
    }
    return -1;
}

const char* mtdTypeName(int code) {
    for (const TypeName& t : kTypeNames) {
        if (t.code == code) {
            return t.name;
        }
    }
    return nullptr;
}

MtdLibrary* mtdOpenLibrary() {
    MtdLibrary* library = new (std::nothrow) MtdLibrary();
    if (library == nullptr) {
        mtdmsg::outOfMemory();
    }
    try {
        library->sysfsMtd = mtdsysfs::joinPath(devicepaths::kSysfsRoot, kClassMtd);
        library->mtdDir = mtdsysfs::joinPath(library->sysfsMtd, "mtd%d");
        library->nameFile = mtdsysfs::joinPath(library->mtdDir, "name");
        if (!sysfsDescribesDevices(*library)) {
            library->sysfsMtd.clear();
            library->mtdDir.clear();
            library->nameFile.clear();
            library->sysfsSupported = 0;
            return library;
        }
        library->devFile = mtdsysfs::joinPath(library->mtdDir, "dev");
        library->typeFile = mtdsysfs::joinPath(library->mtdDir, "type");
        library->ebSizeFile = mtdsysfs::joinPath(library->mtdDir, "erasesize");
        library->sizeFile = mtdsysfs::joinPath(library->mtdDir, "size");
        library->minIoFile = mtdsysfs::joinPath(library->mtdDir, "writesize");
        library->subpageFile = mtdsysfs::joinPath(library->mtdDir, "subpagesize");
        library->oobFile = mtdsysfs::joinPath(library->mtdDir, "oobsize");
        library->regionsFile = mtdsysfs::joinPath(library->mtdDir, "numeraseregions");
        library->flagsFile = mtdsysfs::joinPath(library->mtdDir, "flags");
        library->sysfsSupported = 1;
        return library;
    } catch (const std::bad_alloc&) {
        delete library;
        return nullptr;
    }
}

void mtdCloseLibrary(MtdLibrary* library) { delete library; }

int mtdEraseBlock(MtdLibrary* library, const MtdDevInfo* info, int fd, int eb) {
    if (checkBlock(info, eb) != 0) {
        return -1;
    }
    const uint64_t start = static_cast<uint64_t>(eb) * static_cast<uint64_t>(info->ebSize);
    const uint64_t length = static_cast<uint64_t>(info->ebSize);
    if (library->erase64State == 0 || library->erase64State == 2) {
        struct erase_info_user64 request64 {};
        request64.start = start;
        request64.length = length;
        if (library->eraseRequest(fd, MEMERASE64, &request64) == 0) {
            return 0;
        }
        if (errno != ENOTTY || library->erase64State != 0) {
            mtdmsg::sysError("%s ioctl failed for eraseblock %d (mtd%d)", "MEMERASE64", eb,
                             info->mtdNum);
            return -1;
        }
        library->erase64State = 1;
    }
    if (start + length > 0xFFFFFFFFull) {
        mtdmsg::error("this system can address only %u eraseblocks",
                      0xFFFFFFFFu / static_cast<unsigned>(info->ebSize));
        errno = EINVAL;
        return -1;
    }
    struct erase_info_user request {};
    request.start = static_cast<uint32_t>(start);
    request.length = static_cast<uint32_t>(length);
    if (library->eraseRequest(fd, MEMERASE, &request) != 0) {
        mtdmsg::sysError("%s ioctl failed for eraseblock %d (mtd%d)", "MEMERASE", eb, info->mtdNum);
        return -1;
    }
    return 0;
}

int mtdIsBad(const MtdDevInfo* info, int fd, int eb) {
    if (checkBlock(info, eb) != 0) {
        return -1;
    }
    if (info->bbAllowed == 0) {
        return 0;
    }
    loff_t offset = static_cast<loff_t>(eb) * info->ebSize;
    const int result = ::ioctl(fd, MEMGETBADBLOCK, &offset);
    if (result < 0) {
        mtdmsg::sysError("%s ioctl failed for eraseblock %d (mtd%d)", "MEMGETBADBLOCK", eb,
                         info->mtdNum);
        return -1;
    }
    return result;
}

int mtdMarkBad(const MtdDevInfo* info, int fd, int eb) {
    if (checkBlock(info, eb) != 0) {
        return -1;
    }
    if (info->bbAllowed == 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    loff_t offset = static_cast<loff_t>(eb) * info->ebSize;
    if (::ioctl(fd, MEMSETBADBLOCK, &offset) < 0) {
        mtdmsg::sysError("%s ioctl failed for eraseblock %d (mtd%d)", "MEMSETBADBLOCK", eb,
                         info->mtdNum);
        return -1;
    }
    return 0;
}

int mtdRead(const MtdDevInfo* info, int fd, int eb, int offs, void* buf, int len) {
    if (checkBlock(info, eb) != 0 || checkRange(info, offs, len) != 0) {
        return -1;
    }
    if (seekTo(info, fd, eb, offs) != 0) {
        return -1;
    }
    const qvsystemtools::ReadResult got =
        qvsystemtools::readFull(fd, buf, static_cast<size_t>(len));
    if (got.count < static_cast<size_t>(len)) {
        // Inside the device's bounds an early end means the device went away under us.
        errno = got.error != 0 ? got.error : EIO;
        mtdmsg::sysError("cannot read %d bytes from mtd%d (eraseblock %d, offset %d)", len,
                         info->mtdNum, eb, offs);
        return -1;
    }
    return 0;
}

int mtdWrite(MtdLibrary* library, const MtdDevInfo* info, int fd, int eb, int offs,
             const void* data, int len) {
    (void)library;  // the handle carries nothing a main-area write needs
    if (checkBlock(info, eb) != 0 || checkRange(info, offs, len) != 0) {
        return -1;
    }
    if (info->subpageSize > 0 && offs % info->subpageSize != 0) {
        mtdmsg::error("write offset %d is not aligned to mtd%d min. I/O size %d", offs,
                      info->mtdNum, info->subpageSize);
        errno = EINVAL;
        return -1;
    }
    if (info->subpageSize > 0 && len % info->subpageSize != 0) {
        mtdmsg::error("write length %d is not aligned to mtd%d min. I/O size %d", len, info->mtdNum,
                      info->subpageSize);
        errno = EINVAL;
        return -1;
    }
    if (seekTo(info, fd, eb, offs) != 0) {
        return -1;
    }
    ssize_t n;
    do {
        n = ::write(fd, data, static_cast<size_t>(len));
    } while (n < 0 && errno == EINTR);
    if (n != len) {
        if (n >= 0) {
            errno = EIO;  // a partial program is a failed program
        }
        mtdmsg::sysError("cannot write %d bytes to mtd%d (eraseblock %d, offset %d)", len,
                         info->mtdNum, eb, offs);
        return -1;
    }
    return 0;
}

}  // namespace KIVRA
