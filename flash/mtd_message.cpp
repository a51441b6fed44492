#include "flash/mtd_message.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace KIVRA {
namespace mtdmsg {

namespace {
constexpr const char* kProgram = "libmtd";

void printError(const char* format, va_list args) {
    std::fprintf(stderr, "%s: error!: ", kProgram);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}
}  // namespace

void error(const char* format, ...) {
    const int saved = errno;
    va_list args;
    va_start(args, format);
    printError(format, args);
    va_end(args);
    errno = saved;
}

void sysError(const char* format, ...) {
    const int saved = errno;
    va_list args;
    va_start(args, format);
    printError(format, args);
    va_end(args);
    std::fprintf(stderr, "%*serror %d (%s)\n", 8, "", saved, std::strerror(saved));
    errno = saved;
}

void notice(const char* format, ...) {
    const int saved = errno;
    va_list args;
    va_start(args, format);
    std::printf("%s: ", kProgram);
    std::vprintf(format, args);
    std::putchar('\n');
    std::fflush(stdout);
    va_end(args);
    errno = saved;
}

void outOfMemory() {
    errno = ENOMEM;
    sysError("out of memory");
    std::exit(-1);
}

}  // namespace mtdmsg
}  // namespace KIVRA
