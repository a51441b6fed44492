#pragma once
// Plain functions over the Linux MTD character devices (/dev/mtdN): device description from
// sysfs or from the legacy /proc/mtd listing, and block-level erase, bad-block query, read
// and write. Failures print "libmtd: error!: ..." lines on standard error and return -1 with
// errno set (EINVAL for checks made here, ENODEV or ENOENT for missing devices, the system's
// value otherwise). Nothing is retried here.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace KIVRA {

// The library handle: where the MTD class lives in sysfs and what the kernel supports.
struct MtdLibrary {
    std::string sysfsMtd;  // "/sys/class/mtd"; empty in legacy mode
    // Patterns taking the device number in place of "%d"; empty in legacy mode.
    std::string mtdDir, devFile, nameFile, typeFile, ebSizeFile, sizeFile, minIoFile, subpageFile,
        oobFile, regionsFile, flagsFile;
    unsigned
        sysfsSupported : 1;     // descriptions come from sysfs, else from MEMGETINFO and /proc/mtd
    unsigned erase64State : 2;  // 0 unknown, 1 MEMERASE64 unsupported, 2 supported

    // Issues the erase requests. The kernel is the only caller in production; a test puts in
    // a function that answers ENOTTY to MEMERASE64, which no kernel at hand does any more.
    int (*eraseRequest)(int fd, unsigned long request, void* argument);

    MtdLibrary();
};

// Description of one MTD device, filled by mtdGetDevInfo.
struct MtdDevInfo {
    int mtdNum;
    int major;
    int minor;
    int type;  // MTD_RAM, MTD_NANDFLASH, ... (mtd-abi.h)
    char typeStr[65];
    char name[128];
    int64_t size;
    int ebCnt;
    int ebSize;
    int minIoSize;
    int subpageSize;
    int oobSize;
    int regionCnt;
    unsigned writable : 1;
    unsigned bbAllowed : 1;
};

// A handle for the calls below, or null when a sysfs path cannot be built. Legacy mode
// (sysfsSupported 0) when /sys/class/mtd is missing or lists no device "mtd<N>" with a name.
[[nodiscard]] MtdLibrary* mtdOpenLibrary();
// Frees the handle; null is accepted.
void mtdCloseLibrary(MtdLibrary* library);

// The scoped owner through which our own callers hold the handle, so it is freed on every path.
struct MtdLibraryCloser {
    void operator()(MtdLibrary* library) const { mtdCloseLibrary(library); }
};
using ScopedMtdLibrary = std::unique_ptr<MtdLibrary, MtdLibraryCloser>;

// Describes the device of node (such as "/dev/mtd0"). 0, or -1 with errno; on failure info is
// untouched when the node itself was refused, else zeroed and possibly partly filled.
[[nodiscard]] int mtdGetDevInfo(MtdLibrary* library, const char* node, MtdDevInfo* info);

// Erases erase block eb through fd (opened read-write). 0, or -1 with errno. The first erase
// that meets ENOTTY for MEMERASE64 switches the handle to MEMERASE for good.
[[nodiscard]] int mtdEraseBlock(MtdLibrary* library, const MtdDevInfo* info, int fd, int eb);

// 1 when erase block eb is marked bad, 0 when good (always on devices without bad blocks),
// -1 with errno.
[[nodiscard]] int mtdIsBad(const MtdDevInfo* info, int fd, int eb);

// Marks erase block eb bad so that readers which skip bad blocks pass over it. 0, or -1 with
// errno; on devices without bad blocks -1 with EOPNOTSUPP and no request.
[[nodiscard]] int mtdMarkBad(const MtdDevInfo* info, int fd, int eb);

// Reads len bytes at offs inside erase block eb into buf. 0, or -1 with errno (EIO when the
// device ends early); buf may be partly filled on failure.
[[nodiscard]] int mtdRead(const MtdDevInfo* info, int fd, int eb, int offs, void* buf, int len);

// Writes len bytes of main-area data at offs inside erase block eb in one request; offs and
// len must be multiples of the subpage size. 0, or -1 with errno as the failed call set it
// (EIO for a program failure, which the streams retry elsewhere).
[[nodiscard]] int mtdWrite(MtdLibrary* library, const MtdDevInfo* info, int fd, int eb, int offs,
                           const void* data, int len);

// The name of device number in text, the NUL-terminated start of a "/proc/mtd" listing (the
// legacy mode's source of names), into name (size bytes). 0, or -1 with errno: EINVAL for a
// listing that breaks the kernel's format or a name longer than 127 bytes or than size
// allows, ENOENT when the device is not listed; name is untouched then.
[[nodiscard]] int mtdProcMtdName(const char* text, int number, char* name, size_t size);

// The type code of a sysfs type name ("nand" -> 4), or -1 for an unknown name.
[[nodiscard]] int mtdTypeCode(const char* typeStr);
// The name of a type code (4 -> "nand"), or null for an unknown code.
[[nodiscard]] const char* mtdTypeName(int code);

}  // namespace KIVRA
