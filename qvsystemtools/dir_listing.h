#pragma once
// One-level and recursive directory listings with size totals, and an entry counter.
// Entry paths are the directory path, "/" and the entry name; "." and ".." are never listed.
// Nothing here prints: a directory that cannot be opened is reported through the caller's
// error string as "Cannot open dir " + directory.
//
// Sizes are 32-bit: a file of 2 GiB or more is recorded as INT32_MAX, and a total stops at
// INT32_MAX instead of wrapping, so a size never turns negative or small.

#include <cstdint>
#include <string>
#include <vector>

namespace KIVRA {
namespace qvsystemtools {

// One file found by walkDir: its path and its st_size in bytes (at most INT32_MAX).
struct FileEntry {
    std::string path;
    int32_t size = 0;
};

// The outputs of listDir and walkDir; a null member is not produced.
struct DirListing {
    std::vector<std::string>* files = nullptr;      // listDir: non-directories
    std::vector<std::string>* dirs = nullptr;       // listDir: subdirectories (appended to)
    std::vector<FileEntry>* fileEntries = nullptr;  // walkDir: files and link targets
    int32_t* totalSize = nullptr;                   // both: sum of the sizes listed
};

// One level of dir, entries stat'ed with links followed; entries whose stat fails are left
// out. files is cleared and totalSize zeroed first, dirs is appended to. Non-directories go
// to files and their sizes into totalSize; directories to dirs. False with error set when dir
// cannot be opened; the outputs are then untouched.
[[nodiscard]] bool listDir(const std::string& dir, DirListing& listing, std::string& error);

// The names of dir's entries, nothing examined and links not followed, in byte order. False
// with error set when dir cannot be opened or read to its end (a listing cut short must not
// pass for a whole one); names is then untouched.
[[nodiscard]] bool listNames(const std::string& dir, std::vector<std::string>& names,
                             std::string& error);

// listDir with only files / only totalSize produced.
[[nodiscard]] bool listFiles(const std::string& dir, std::vector<std::string>& files,
                             std::string& error);
[[nodiscard]] bool getDirSize(const std::string& dir, int& size, std::string& error);

// Recursive: fileEntries is cleared and totalSize zeroed first. Regular files and symbolic
// links are recorded with their own (lstat) size; for a link whose target exists, the target
// path (the link text, taken relative to the link's directory unless absolute) is recorded
// too with the target's size. Links are never descended into. Subdirectories that cannot be
// opened only set error. False with error set when dir itself cannot be opened; the outputs
// are then cleared/zeroed.
[[nodiscard]] bool walkDir(const std::string& dir, DirListing& listing, std::string& error);

// Number of entries of dir; subdirectories (links to directories included) are left out
// when includeDirs is false. -1 when dir is not a directory or cannot be opened.
[[nodiscard]] int countDirEntries(const std::string& dir, bool includeDirs);

}  // namespace qvsystemtools
}  // namespace KIVRA
