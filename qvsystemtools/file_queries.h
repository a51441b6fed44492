#pragma once
// Further file-type tests, file identity, creation of an empty file and a line counter.
// Nothing here prints.

#include <string>

#include "qvsystemtools/tool_status.h"

namespace KIVRA {
namespace qvsystemtools {

// stat (links followed) succeeds and the object is a character device / a block device /
// a FIFO.
[[nodiscard]] bool isCharDevice(const std::string& path);
[[nodiscard]] bool isBlockDevice(const std::string& path);
[[nodiscard]] bool isFifo(const std::string& path);

// True when both name one file (the same device and inode; links followed), under one name
// or two. False when either cannot be stat'ed. A copy or transformation of a file onto itself
// would empty it before reading it.
[[nodiscard]] bool sameFile(const std::string& a, const std::string& b);
[[nodiscard]] bool sameFile(int fd, const std::string& path);

// Leaves an empty file at path, emptying one that held data. TOOL_OK; TOOL_ERR_EMPTY_PATH
// for an empty path; TOOL_ERR_OPEN_DIR when the file cannot be created or closed (a missing
// directory, no permission). Nothing is touched on failure.
[[nodiscard]] ToolStatus createFile(const std::string& path);

// Number of lines of a regular file: a last line without a line end counts too. 0 when the
// path is not a regular file or cannot be opened; a read error ends the count where it
// happened. Saturates at the largest int.
[[nodiscard]] int countLines(const std::string& path);

}  // namespace qvsystemtools
}  // namespace KIVRA
