#pragma once
// Directory removal and creation, and a recursive search by name ending.
// Failures are printed to standard error as "[qvsystemtools::<operation>] <text>".

#include <sys/types.h>
#include <string>
#include <vector>

#include "qvsystemtools/tool_status.h"

namespace KIVRA {
namespace qvsystemtools {

// Removes a directory tree. Symbolic links inside are removed, never followed, and a path
// that is itself a symbolic link is not opened (TOOL_ERR_OPEN_DIR). The walk stops at the
// first failure; what was removed stays removed.
// Results: TOOL_OK, TOOL_ERR_UNEXPECTED, TOOL_ERR_OPEN_DIR, TOOL_ERR_LSTAT,
// TOOL_ERR_REMOVE_DIR, TOOL_ERR_REMOVE_FILE, TOOL_ERR_CLOSE_DIR.
[[nodiscard]] ToolStatus removeDir(const std::string& path);

// Makes path an existing directory: with removeExisting an existing directory is removed
// with its content and made anew with mode (less the umask); a regular file at the path is
// unlinked in any case; an existing directory is kept when removeExisting is false. A
// symbolic link (or anything else) at the path is left alone and gives TOOL_ERR_CREATE_DIR.
// Results: TOOL_OK, TOOL_ERR_UNEXPECTED, TOOL_ERR_REMOVE_DIR, TOOL_ERR_REMOVE_FILE,
// TOOL_ERR_CREATE_DIR.
[[nodiscard]] ToolStatus forceCreateDir(const std::string& path, bool removeExisting, mode_t mode);
[[nodiscard]] ToolStatus forceCreateDir(const std::string& path, bool removeExisting);
// The values of removeExisting, named for the call sites.
constexpr bool kEmptyExistingDir = true;
constexpr bool kKeepExistingDir = false;
// Mode of a directory only this user may enter (a staging directory of unverified images).
constexpr mode_t kPrivateDirMode = 0700;

// Depth-first search below dir for the first non-directory whose path ends with one of
// names (also after lower-casing the path's tail), in readdir order; an empty names list
// takes the first non-directory. True when the search ran (found then holds the match or is
// empty); false with error = "Cannot open dir " + directory when a directory on the way
// cannot be opened, or when a name is longer than an entry's path.
[[nodiscard]] bool findFile(const std::string& dir, const std::vector<std::string>& names,
                            std::string& found, std::string& error);

}  // namespace qvsystemtools
}  // namespace KIVRA
