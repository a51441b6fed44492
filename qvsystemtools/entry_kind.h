#pragma once
// Kinds of paths and directory entries, shared by the toolbox's operations.

#include <sys/stat.h>

#include <cstring>
#include <string>

namespace KIVRA {
namespace qvsystemtools {

// stat (links followed) succeeds and the object's file-type bits equal type (S_IFREG, ...).
inline bool hasFileType(const std::string& path, mode_t type) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

// "." and "..", which every directory walk passes over.
inline bool isDotEntry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace qvsystemtools
}  // namespace KIVRA
