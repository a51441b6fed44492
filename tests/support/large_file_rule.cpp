// The router's 32-bit kernel refuses to open a regular file larger than 2 GiB - 1 unless the
// opener asks for large-file access (O_LARGEFILE), and answers EOVERFLOW. Under user-mode
// emulation the 64-bit host kernel grants large-file access to every open, so a library
// built without 64-bit file offsets would pass every test here and still fail on the device.
// On 32-bit targets the test programs therefore carry the rule themselves: they define the
// 32-bit-offset open functions, which take precedence over the C library's for every caller
// that uses them (such as a shared library built without 64-bit offsets), apply the device
// kernel's check, and hand the call on to the 64-bit-offset functions. Callers built with
// 64-bit offsets never come here.

// The definitions below must get the 32-bit-offset names, not the 64-bit ones the build
// redirects to.
#undef _FILE_OFFSET_BITS

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>

#if __SIZEOF_LONG__ == 4 && defined(__GLIBC__)

namespace {

bool beyondSmallFileLimit(int dirFd, const char* path) {
    struct stat64 st {};
    return ::fstatat64(dirFd, path, &st, 0) == 0 && S_ISREG(st.st_mode) &&
           st.st_size > static_cast<off64_t>(INT_MAX);
}

bool refused(int dirFd, const char* path, int flags) {
    if ((flags & O_LARGEFILE) != 0 || !beyondSmallFileLimit(dirFd, path)) {
        return false;
    }
    errno = EOVERFLOW;
    return true;
}

mode_t modeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return refused(AT_FDCWD, path, flags) ? -1 : ::open64(path, flags, mode);
}

int openat(int dirFd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return refused(dirFd, path, flags) ? -1 : ::openat64(dirFd, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
    return refused(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC) ? -1 : ::creat64(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
    return refused(AT_FDCWD, path, 0) ? nullptr : ::fopen64(path, mode);
}

FILE* freopen(const char* path, const char* mode, FILE* stream) {
    if (path != nullptr && refused(AT_FDCWD, path, 0)) {
        (void)::fclose(stream);  // freopen closes the stream whatever the outcome
        return nullptr;
    }
    return ::freopen64(path, mode, stream);
}

}  // extern "C"

#endif
