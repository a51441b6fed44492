#pragma once
// Readers of the MTD class attributes in sysfs and the rules for its entry names, shared by
// mtdOpenLibrary and mtdGetDevInfo. Each returns 0 or -1 with errno set; a file that cannot
// be opened fails without a message (the caller decides whether that is an error).

#include <cstddef>
#include <functional>
#include <string>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace mtdsysfs {

// left + "/" + right, without doubling a "/" that left already ends in.
[[nodiscard]] std::string joinPath(const std::string& left, const std::string& right);
// pattern with its "%d" replaced by number.
[[nodiscard]] std::string devicePath(const std::string& pattern, int number);

// 1 when name is "mtd" followed by a decimal number and nothing else (number filled), 0 when
// it is another entry, -1 (EINVAL, reported) for a name longer than 254 characters.
[[nodiscard]] int entryNumber(const std::string& directory, const char* name, int* number);

// Walks the open MTD class directory (named directory, for messages) and calls visit with N
// for each entry "mtd<N>" until visit returns false; then closes it. 0; -1 (reported, errno
// set) for a name that is too long, a failed read of the directory or a failed close.
[[nodiscard]] int forEachDevice(qvsystemtools::UniqueDir& dir, const std::string& directory,
                                const std::function<bool(int)>& visit);

// Text attribute into buffer (at most size bytes, NUL-terminated, last character removed).
[[nodiscard]] int readText(const std::string& path, char* buffer, size_t size);
[[nodiscard]] int readMajorMinor(const std::string& path, int* major, int* minor);
[[nodiscard]] int readInt64(const std::string& path, long long* value);
[[nodiscard]] int readInt(const std::string& path, int* value);
[[nodiscard]] int readHexInt(const std::string& path, int* value);

}  // namespace mtdsysfs
}  // namespace KIVRA
