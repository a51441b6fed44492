#pragma once
// The toolbox's result codes. The values are fixed: callers and logs rely on the numbers.

namespace KIVRA {
namespace qvsystemtools {

enum ToolStatus {
    TOOL_OK = 0,
    TOOL_ERR_UNEXPECTED = 1,
    TOOL_ERR_SOURCE_NOT_OPEN = 2,
    TOOL_ERR_FILE_NOT_OPEN = 3,
    TOOL_ERR_OPEN_DIR = 4,
    TOOL_ERR_READ = 5,
    TOOL_ERR_LSTAT = 6,
    TOOL_ERR_REMOVE_DIR = 7,
    TOOL_ERR_REMOVE_FILE = 8,
    TOOL_ERR_CLOSE_DIR = 9,
    TOOL_ERR_CREATE_DIR = 10,
    TOOL_ERR_EMPTY_PATH = 11,
    TOOL_ERR_NO_FILE = 12,
    TOOL_ERR_UNSAFE_COMMAND = 13,
};

}  // namespace qvsystemtools
}  // namespace KIVRA
