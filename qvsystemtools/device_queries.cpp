#include "qvsystemtools/device_queries.h"

#include <cerrno>
#include <fstream>
#include <utility>

#include "qvsystemtools/command.h"
#include "qvsystemtools/device_paths.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {
namespace qvsystemtools {

const char* const kEmmcBootSizePath = devicepaths::kEmmcBootSize;
const char* const kEmmcNamePath = devicepaths::kEmmcName;

namespace {

constexpr char kRebootService[] = "/usr/sbin/RequestReboot";
constexpr char kCmdlinePath[] = "/proc/self/cmdline";

// One formatted value from a sysfs attribute. Only a value actually read counts: an empty
// attribute is a failed read, not a success that leaves the caller's value in place.
template <typename T>
ToolStatus readValue(const char* path, T& value) {
    if (!isFile(path)) {
        return TOOL_ERR_NO_FILE;
    }
    std::ifstream in(path);
    if (!in.is_open()) {
        return TOOL_ERR_SOURCE_NOT_OPEN;
    }
    T read{};
    if (!(in >> read)) {
        return TOOL_ERR_READ;
    }
    value = std::move(read);
    return TOOL_OK;
}

template <typename T>
ToolStatus readValueCaught(const char* path, T& value) {
    try {
        return readValue(path, value);
    } catch (...) {
        return TOOL_ERR_READ;  // only allocation can throw here
    }
}

// This program's invocation name: the kernel separates the arguments in the command line
// file by NUL bytes, and readFile adds a line end after what it read.
std::string invocationName() {
    std::string cmdline;
    // Unreadable (no /proc): the request then names an empty requester, which is still a
    // valid request.
    (void)readFile(cmdline, kCmdlinePath);
    const std::string::size_type nul = cmdline.find('\0');
    if (nul != std::string::npos) {
        return cmdline.substr(0, nul);
    }
    if (!cmdline.empty() && cmdline.back() == '\n') {
        cmdline.pop_back();
    }
    return cmdline;
}

}  // namespace

ToolStatus readEmmcBootSize(int& size) { return readValueCaught(kEmmcBootSizePath, size); }

ToolStatus readEmmcName(std::string& name) { return readValueCaught(kEmmcNamePath, name); }

int requestReboot(bool resetToDefaults) {
    try {
        // The invocation name is whatever the starter of this program chose; quoted, it
        // reaches the service as one argument and the shell never interprets it.
        const std::string command = std::string(kRebootService) + " -c " +
                                    (resetToDefaults ? "resettodefaults" : "reboot") + " -p " +
                                    shellQuote(invocationName());
        return runCommand(command);
    } catch (...) {
        return ENOMEM;  // only allocation can throw here; the request was not made
    }
}

}  // namespace qvsystemtools
}  // namespace KIVRA
