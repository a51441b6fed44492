#include "qvsystemtools/dir_listing.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "qvsystemtools/entry_kind.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvsystemtools {

namespace {

// Link texts longer than this are not followed; the kernel refuses paths past PATH_MAX anyway.
constexpr size_t kMaxLinkText = size_t{64} * 1024;

int32_t clampSize(off_t size) {
    if (size <= 0) {
        return 0;
    }
    return size >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// Adds without wrapping: a total past INT32_MAX stays there.
void addSize(int32_t* total, off_t size) {
    if (total == nullptr) {
        return;
    }
    const int64_t sum = static_cast<int64_t>(*total) + clampSize(size);
    *total = sum >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

// The whole link text; a text that does not fit in the first buffer is read again with a
// larger one instead of being cut off into a wrong path.
bool readLinkText(const std::string& path, std::string& text) {
    for (size_t size = 1024; size <= kMaxLinkText; size *= 2) {
        std::string buffer(size, '\0');
        const ssize_t n = ::readlink(path.c_str(), &buffer[0], size);
        if (n < 0) {
            return false;
        }
        if (static_cast<size_t>(n) < size) {
            buffer.resize(static_cast<size_t>(n));
            text.swap(buffer);
            return true;
        }
    }
    return false;
}

// Calls opened once dir is open, then visit with the path of each entry (dir + "/" + name).
// false when dir cannot be opened (opened is then not called) or a read of it fails part-way:
// the entries visited before stay visited, but the walk is not claimed whole.
template <typename Opened, typename Visit>
bool forEachEntry(const std::string& dir, Opened opened, Visit visit) {
    UniqueDir handle(::opendir(dir.c_str()));
    if (!handle.valid()) {
        return false;
    }
    opened();
    DirEntries entries(handle.get());
    while (const dirent* entry = entries.next()) {
        visit(dir + "/" + entry->d_name);
    }
    (void)handle.close();  // opened for reading: nothing to lose
    return entries.error() == 0;
}

void nothing() {}

void recordFile(DirListing& listing, const std::string& path, off_t size) {
    if (listing.fileEntries != nullptr) {
        listing.fileEntries->push_back(FileEntry{path, clampSize(size)});
    }
    addSize(listing.totalSize, size);
}

bool walk(const std::string& dir, DirListing& listing, std::string& error) {
    const bool whole = forEachEntry(dir, nothing, [&](const std::string& entryPath) {
        struct stat st {};
        if (::lstat(entryPath.c_str(), &st) != 0) {
            return;
        }
        // The kind comes from lstat rather than d_type: file systems that leave d_type
        // unknown would otherwise have every entry skipped.
        if (S_ISDIR(st.st_mode)) {
            // An unreadable subdirectory only sets error; the rest of the tree is still listed.
            (void)walk(entryPath, listing, error);
        } else if (S_ISREG(st.st_mode)) {
            recordFile(listing, entryPath, st.st_size);
        } else if (S_ISLNK(st.st_mode)) {
            recordFile(listing, entryPath, st.st_size);
            std::string text;
            struct stat target {};
            if (readLinkText(entryPath, text) && !text.empty() &&
                ::stat(entryPath.c_str(), &target) == 0) {
                recordFile(listing, text[0] == '/' ? text : dir + "/" + text, target.st_size);
            }
        }
    });
    if (!whole) {
        error = "Cannot open dir " + dir;
    }
    return whole;
}

}  // namespace

bool listDir(const std::string& dir, DirListing& listing, std::string& error) {
    try {
        // The outputs are left alone for a directory that cannot be opened.
        const auto clearOutputs = [&] {
            if (listing.totalSize != nullptr) {
                *listing.totalSize = 0;
            }
            if (listing.files != nullptr) {
                listing.files->clear();
            }
        };
        const bool whole = forEachEntry(dir, clearOutputs, [&](const std::string& entryPath) {
            struct stat st {};
            if (::stat(entryPath.c_str(), &st) != 0) {
                return;
            }
            if (S_ISDIR(st.st_mode)) {
                if (listing.dirs != nullptr) {
                    listing.dirs->push_back(entryPath);
                }
                return;
            }
            if (listing.files != nullptr) {
                listing.files->push_back(entryPath);
            }
            addSize(listing.totalSize, st.st_size);
        });
        // A listing cut short by a read error is not claimed whole, and says why as a
        // directory that cannot be opened does.
        if (!whole) {
            error = "Cannot open dir " + dir;
            return false;
        }
        return true;
    } catch (...) {
        // Only allocation can throw here; the listing is then incomplete and not claimed.
        return false;
    }
}

bool listNames(const std::string& dir, std::vector<std::string>& names, std::string& error) {
    std::vector<std::string> found;
    if (!forEachEntry(dir, nothing, [&](const std::string& path) {
            found.push_back(path.substr(dir.size() + 1));
        })) {
        error = "Cannot open dir " + dir;
        return false;
    }
    std::sort(found.begin(), found.end());
    names.swap(found);
    return true;
}

bool listFiles(const std::string& dir, std::vector<std::string>& files, std::string& error) {
    DirListing listing;
    listing.files = &files;
    return listDir(dir, listing, error);
}

bool getDirSize(const std::string& dir, int& size, std::string& error) {
    int32_t total = 0;
    DirListing listing;
    listing.totalSize = &total;
    if (!listDir(dir, listing, error)) {
        return false;
    }
    size = total;
    return true;
}

bool walkDir(const std::string& dir, DirListing& listing, std::string& error) {
    if (listing.fileEntries != nullptr) {
        listing.fileEntries->clear();
    }
    if (listing.totalSize != nullptr) {
        *listing.totalSize = 0;
    }
    try {
        return walk(dir, listing, error);
    } catch (...) {
        return false;
    }
}

namespace {

int countEntries(const std::string& dir, bool includeDirs) {
    if (!isDir(dir)) {
        return -1;
    }
    int count = 0;
    const bool whole = forEachEntry(dir, nothing, [&](const std::string& entryPath) {
        if (includeDirs || !isDir(entryPath)) {
            ++count;
        }
    });
    // A count cut short by a read error would pass for the directory's size.
    return whole ? count : -1;
}

}  // namespace

int countDirEntries(const std::string& dir, bool includeDirs) {
    try {
        return countEntries(dir, includeDirs);
    } catch (...) {
        return -1;  // only allocation can throw here
    }
}

}  // namespace qvsystemtools
}  // namespace KIVRA
