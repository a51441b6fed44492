/* A stand-in for the boot flash /dev/mtd0 where no MTD kernel runs (the host and its user-mode
   emulator), preloaded into the installer by host tests: the node is the regular file named by
   QV_FLASH_STANDIN, shown as MTD character device 90:0 (the tests describe it in the sandbox's
   /sys/class/mtd), and the MTD requests on it are answered here: erase writes 0xFF, blocks are
   never bad. Everything else goes to the C library. The real MTD layer is tested in the QEMU
   device harness; this only lets a whole install reach its end on any machine. */
#define _GNU_SOURCE
/* Both the plain and the 64-bit-offset entry points are defined here, whichever the program
   calls: the build's offset setting would make them one. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

static const char kNode[] = "/dev/mtd0";
enum { kEraseSize = 65536, kMaxFds = 1024 };
static char standin_fds[kMaxFds];

static const char* image(void) { return getenv("QV_FLASH_STANDIN"); }
static int is_node(const char* path) {
    return path != NULL && image() != NULL && strcmp(path, kNode) == 0;
}
static int is_standin(int fd) { return fd >= 0 && fd < kMaxFds && standin_fds[fd]; }

static int open_image(int flags) {
    static int (*real_open)(const char*, int, ...);
    if (real_open == NULL) real_open = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
    const int fd = real_open(image(), flags & ~(O_CREAT | O_TRUNC | O_EXCL));
    if (fd >= 0 && fd < kMaxFds) standin_fds[fd] = 1;
    return fd;
}

#define OPEN_WRAPPER(name)                                                                \
    int name(const char* path, int flags, ...) {                                          \
        static int (*real)(const char*, int, ...);                                        \
        mode_t mode = 0;                                                                  \
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {                      \
            va_list ap;                                                                   \
            va_start(ap, flags);                                                          \
            mode = va_arg(ap, mode_t);                                                    \
            va_end(ap);                                                                   \
        }                                                                                 \
        if (is_node(path)) return open_image(flags);                                      \
        if (real == NULL) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name); \
        return real(path, flags, mode);                                                   \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

#define STAT_WRAPPER(name, type)                                                       \
    int name(const char* path, type* st) {                                             \
        static int (*real)(const char*, type*);                                        \
        if (real == NULL) real = (int (*)(const char*, type*))dlsym(RTLD_NEXT, #name); \
        if (!is_node(path)) return real(path, st);                                     \
        const int result = real(image(), st);                                          \
        if (result == 0) {                                                             \
            st->st_mode = S_IFCHR | 0600;                                              \
            st->st_rdev = makedev(90, 0);                                              \
            st->st_size = 0;                                                           \
        }                                                                              \
        return result;                                                                 \
    }
STAT_WRAPPER(stat, struct stat)
STAT_WRAPPER(stat64, struct stat64)

int close(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < kMaxFds) standin_fds[fd] = 0;
    return real(fd);
}

static int erase(int fd, uint64_t start, uint64_t length) {
    static char erased[kEraseSize];
    memset(erased, 0xff, sizeof erased);
    if (start % kEraseSize != 0 || length % kEraseSize != 0) {
        errno = EINVAL;
        return -1;
    }
    for (uint64_t at = start; at < start + length; at += kEraseSize) {
        if (pwrite(fd, erased, kEraseSize, (off_t)at) != kEraseSize) return -1;
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    if (!is_standin(fd)) {
        if (real == NULL) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
        return real(fd, request, argument);
    }
    struct stat st;
    switch (request) {
        case MEMGETINFO: {
            struct mtd_info_user* info = argument;
            if (fstat(fd, &st) != 0) return -1;
            memset(info, 0, sizeof *info);
            info->type = MTD_NORFLASH;
            info->flags = MTD_CAP_NORFLASH;
            info->size = (uint32_t)st.st_size;
            info->erasesize = kEraseSize;
            info->writesize = 1;
            return 0;
        }
        case MEMERASE: {
            const struct erase_info_user* e = argument;
            return erase(fd, e->start, e->length);
        }
        case MEMERASE64: {
            const struct erase_info_user64* e = argument;
            return erase(fd, e->start, e->length);
        }
        case MEMGETBADBLOCK:
            return 0;
        default:
            errno = ENOTTY;
            return -1;
    }
}
