#pragma once
// The MTD layer's diagnostics under the program tag "libmtd". Each keeps errno as it found it,
// so a caller can print and then return -1 with the cause still in errno.

namespace KIVRA {
namespace mtdmsg {

// "libmtd: error!: <text>" on standard error.
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The error line, then "        error <errno> (<strerror>)".
void sysError(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "libmtd: <text>" on standard output.
void notice(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Reports an allocation that failed and ends the process, as the layer has no way to go on.
[[noreturn]] void outOfMemory();

}  // namespace mtdmsg
}  // namespace KIVRA
