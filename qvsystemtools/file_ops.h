#pragma once
// File-type tests and whole-file reading, writing and copying.
// Failures of copyFile are printed to standard error as "[qvsystemtools::copyFile] ...";
// readFile, writeFile and appendFile fail silently with their code.

#include <string>

#include "qvsystemtools/file_io.h"
#include "qvsystemtools/tool_status.h"

namespace KIVRA {
namespace qvsystemtools {

// stat (links followed) succeeds and the object is a regular file / a directory.
[[nodiscard]] bool isFile(const std::string& path);
[[nodiscard]] bool isDir(const std::string& path);

// Copies source to destination (created or truncated first, even when the source cannot be
// opened). TOOL_OK; TOOL_ERR_SOURCE_NOT_OPEN when the source cannot be opened or read;
// TOOL_ERR_FILE_NOT_OPEN when the destination cannot be opened, written or closed.
// A failed copy may leave a partial destination. A destination that is the source itself
// (the same path, or another name of the same file) is left as it is: TOOL_OK.
[[nodiscard]] ToolStatus copyFile(const std::string& source, const std::string& destination);

// The same copy, with observe seeing every byte of the source once, in order, as it is copied:
// a digest of what was written needs no second read. A destination that is the source itself
// is read through for observe and left as it is (a failed read: TOOL_ERR_SOURCE_NOT_OPEN).
[[nodiscard]] ToolStatus copyFile(const std::string& source, const std::string& destination,
                                  const ChunkObserver& observe);

// Appends the file's lines to content, each followed by "\n", plus one "\n" for the final
// (possibly empty) read: the file's bytes and one more "\n". TOOL_ERR_FILE_NOT_OPEN when
// the file cannot be opened or read; content is then unchanged.
[[nodiscard]] ToolStatus readFile(std::string& content, const std::string& path);

// Replace / append the file's content with content, unchanged. TOOL_ERR_FILE_NOT_OPEN when
// the file cannot be opened, fully written or closed (a full partition, a read-only
// attribute).
[[nodiscard]] ToolStatus writeFile(const std::string& content, const std::string& path);
[[nodiscard]] ToolStatus appendFile(const std::string& content, const std::string& path);

}  // namespace qvsystemtools
}  // namespace KIVRA
