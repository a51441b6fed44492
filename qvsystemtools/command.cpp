#include "qvsystemtools/command.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "qvsystemtools/tool_status.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvsystemtools {

namespace {

// Command chaining, pipes, substitution, expansion, escapes and redirection.
constexpr char kUnsafeCharacters[] = ";&|`$\\<>";

// Size of the popen read buffer; each fgets takes at most one byte less.
constexpr int kReadBuffer = 1024;

int exitCode(int status) { return (status >> 8) & 0xFF; }

// Runs the command and collects its output; status becomes -1 when it did not run, else its
// exit code.
std::string collect(const std::string& command, int& status, int check) {
    status = -1;
    if (check == 1 && !isSafeCommand(command)) {
        return std::string();
    }
    // "e": the read end stays out of every other child this process starts meanwhile.
    UniquePipe pipe(::popen(command.c_str(), "re"));
    if (!pipe.valid()) {
        return std::string();
    }
    std::string output;
    char buffer[kReadBuffer] = {};
    for (;;) {
        // Zeroed first: when a read fails, what fgets took of the line before it is in the
        // buffer without an end, and the zeros end it.
        std::memset(buffer, 0, sizeof buffer);
        errno = 0;
        const bool line = ::fgets(buffer, kReadBuffer, pipe.get()) != nullptr;
        // Text up to the first NUL: what follows a NUL within a line is dropped.
        output += buffer;
        if (line) {
            continue;
        }
        // A signal that interrupts the wait for more output is not its end: taking it as such
        // would hand back part of the output as if it were all of it.
        if (::ferror(pipe.get()) != 0 && errno == EINTR) {
            ::clearerr(pipe.get());
            continue;
        }
        break;
    }
    const int closed = pipe.close();
    // A failed wait leaves the exit code unknown; the command did run, so the status does not
    // claim otherwise.
    status = closed == -1 ? 0 : exitCode(closed);
    return output;
}

}  // namespace

bool isSafeCommand(const std::string& command) {
    if (!command.empty() && command[0] == '-') {
        return false;
    }
    return command.find_first_of(kUnsafeCharacters) == std::string::npos;
}

std::string execCommand(const std::string& command, int check) {
    int status = -1;
    return execCommand(command, status, check);
}

std::string execCommand(const std::string& command, int& exitStatus, int check) {
    exitStatus = -1;
    try {
        return collect(command, exitStatus, check);
    } catch (...) {
        // Only allocation can fail here; the output is then lost as a whole.
        return std::string();
    }
}

int runCommand(const std::string& command, int check) {
    bool executed = false;
    return runCommand(command, executed, check);
}

int runCommand(const std::string& command, bool& executed, int check) {
    if (check == 1 && !isSafeCommand(command)) {
        return TOOL_ERR_UNSAFE_COMMAND;
    }
    const CommandEnd end = runCommandEnd(command);
    executed = end.executed;
    return end.status;
}

CommandEnd runCommandEnd(const std::string& command) {
    CommandEnd end;
    const int status = ::system(command.c_str());
    if (status < 0) {
        end.status = errno;
        return end;
    }
    end.executed = true;
    end.status = exitCode(status);
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

std::string shellQuote(const std::string& value) {
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '\'';
    for (const char c : value) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace qvsystemtools
}  // namespace KIVRA
