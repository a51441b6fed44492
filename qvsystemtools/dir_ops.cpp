#include "qvsystemtools/dir_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <iostream>

#include "qvsystemtools/entry_kind.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvsystemtools {

namespace {

void report(const char* operation, const std::string& text) {
    std::cerr << "[qvsystemtools::" << operation << "] " << text << std::endl;
}

// Opens the directory `name` below parentFd (a path of its own with AT_FDCWD) without
// following a symbolic link in its place.
DIR* openDirNoFollow(int parentFd, const std::string& name) {
    const int fd =
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        (void)::close(fd);
    }
    return dir;
}

ToolStatus removeTreeAt(int parentFd, const std::string& name, const std::string& path);

// Empties and removes the directory `name` below parentFd; `path` names it in messages only.
// Every entry is reached through the descriptor of the directory opened, never through its
// path again: a directory in /tmp that another user renames and replaces by a link while it
// is being emptied can then never turn the removal into one of the link's target.
void removeTree(int parentFd, const std::string& name, const std::string& path) {
    UniqueDir dir(openDirNoFollow(parentFd, name));
    if (!dir.valid()) {
        report("removeDir", "Cannot open dir " + path);
        throw TOOL_ERR_OPEN_DIR;
    }
    const int dirFd = ::dirfd(dir.get());
    DirEntries entries(dir.get());
    while (const dirent* entry = entries.next()) {
        const std::string entryPath = path + "/" + entry->d_name;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            report("removeDir", "Cannot lstat file " + entryPath);
            throw TOOL_ERR_LSTAT;
        }
        if (S_ISDIR(st.st_mode)) {
            if (removeTreeAt(dirFd, entry->d_name, entryPath) != TOOL_OK) {
                report("removeDir", "Cannot remove dir " + entryPath);
                throw TOOL_ERR_REMOVE_DIR;
            }
        } else if (::unlinkat(dirFd, entry->d_name, 0) != 0) {
            report("removeDir", "Cannot remove file " + entryPath);
            throw TOOL_ERR_REMOVE_FILE;
        }
    }
    if (entries.error() != 0) {
        // Taken for the end, a read error would leave the rest of the tree and fail later
        // with a reason that hides this one.
        report("removeDir", "Cannot open dir " + path);
        throw TOOL_ERR_OPEN_DIR;
    }
    if (dir.close() != 0) {
        report("removeDir", "Cannot close " + path);
        throw TOOL_ERR_CLOSE_DIR;
    }
    // A link put in the directory's place meanwhile is not a directory: the removal fails.
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
        report("removeDir", "Cannot remove " + path);
        throw TOOL_ERR_REMOVE_DIR;
    }
}

// The boundary of an operation that raises its failure as a ToolStatus: a code, never an
// exception.
template <typename Body>
ToolStatus toolBoundary(Body&& body) {
    try {
        body();
        return TOOL_OK;
    } catch (ToolStatus status) {
        return status;
    } catch (...) {
        return TOOL_ERR_UNEXPECTED;
    }
}

// One removal, also of each subdirectory, within its own boundary.
ToolStatus removeTreeAt(int parentFd, const std::string& name, const std::string& path) {
    return toolBoundary([&] { removeTree(parentFd, name, path); });
}

void createDir(const std::string& path, bool removeExisting, mode_t mode) {
    struct stat st {};
    if (removeExisting && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link is not a directory to empty: following it would remove whatever it points
        // to. Without removal a link to a directory is kept like the directory, and a link to
        // a regular file is unlinked below (the link itself, never its target).
        report("forceCreateDir", "Cannot create " + path);
        throw TOOL_ERR_CREATE_DIR;
    }
    if (isDir(path) && removeExisting) {
        if (removeDir(path) != TOOL_OK) {
            report("forceCreateDir", "Cannot remove " + path);
            throw TOOL_ERR_REMOVE_DIR;
        }
    } else if (isFile(path)) {
        if (::unlink(path.c_str()) != 0) {
            report("forceCreateDir", "Cannot remove " + path);
            throw TOOL_ERR_REMOVE_FILE;
        }
    }
    if (isDir(path)) {
        return;
    }
    if (::mkdir(path.c_str(), mode) != 0) {
        report("forceCreateDir", "Cannot create " + path);
        throw TOOL_ERR_CREATE_DIR;
    }
}

bool endsWithName(const std::string& path, const std::string& name, bool& tooLong) {
    if (name.size() > path.size()) {
        tooLong = true;
        return false;
    }
    const std::string tail = path.substr(path.size() - name.size());
    if (tail == name) {
        return true;
    }
    std::string lower = tail;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == name;
}

bool search(const std::string& dir, const std::vector<std::string>& names, std::string& found,
            std::string& error) {
    UniqueDir handle(::opendir(dir.c_str()));
    if (!handle.valid()) {
        error = "Cannot open dir " + dir;
        return false;
    }
    found.clear();
    DirEntries entries(handle.get());
    while (found.empty()) {
        const dirent* entry = entries.next();
        if (entry == nullptr) {
            if (entries.error() != 0) {
                error = "Cannot open dir " + dir;
                return false;
            }
            break;
        }
        const std::string entryPath = dir + "/" + entry->d_name;
        struct stat st {};
        if (::stat(entryPath.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!search(entryPath, names, found, error)) {
                return false;
            }
            continue;
        }
        if (names.empty()) {
            found = entryPath;
            continue;
        }
        for (const std::string& name : names) {
            if (!found.empty()) {
                break;
            }
            bool tooLong = false;
            if (endsWithName(entryPath, name, tooLong)) {
                found = entryPath;
            } else if (tooLong) {
                return false;
            }
        }
    }
    // A failed close of a directory opened for reading loses nothing.
    (void)handle.close();
    return true;
}

}  // namespace

ToolStatus removeDir(const std::string& path) { return removeTreeAt(AT_FDCWD, path, path); }

ToolStatus forceCreateDir(const std::string& path, bool removeExisting, mode_t mode) {
    return toolBoundary([&] { createDir(path, removeExisting, mode); });
}

ToolStatus forceCreateDir(const std::string& path, bool removeExisting) {
    return forceCreateDir(path, removeExisting, 0777);
}

bool findFile(const std::string& dir, const std::vector<std::string>& names, std::string& found,
              std::string& error) {
    try {
        return search(dir, names, found, error);
    } catch (...) {
        // Only allocation can throw here; the search then counts as failed.
        return false;
    }
}

}  // namespace qvsystemtools
}  // namespace KIVRA
