#pragma once
// Shell commands: the command text goes to the system shell as it is. Callers quote every
// path and value they put into a command with shellQuote.

#include <string>

namespace KIVRA {
namespace qvsystemtools {

// False when the command starts with "-" or holds one of ; & | ` $ \ < >.
[[nodiscard]] bool isSafeCommand(const std::string& command);

// The command's standard output through popen; empty when it could not be run (or, with
// check 1, when it is unsafe). The status form sets exitStatus to -1 when the command did
// not run, else to its exit code 0-255. The status form is called with all three arguments:
// with an int variable alone the call is ambiguous with the check form and does not compile.
[[nodiscard]] std::string execCommand(const std::string& command, int check = 0);
[[nodiscard]] std::string execCommand(const std::string& command, int& exitStatus, int check = 0);

// The command's exit code 0-255 through system(); errno when the shell could not be
// started; TOOL_ERR_UNSAFE_COMMAND (13) when check is 1 and the command is unsafe (executed
// is then not written).
[[nodiscard]] int runCommand(const std::string& command, int check = 0);
[[nodiscard]] int runCommand(const std::string& command, bool& executed, int check = 0);

// How a command run through system() ended: whether the shell could be started, the result
// runCommand gives (exit code 0-255, or errno when the shell could not be started), and the
// signal that ended the shell (0 when it exited). The result alone decodes an end by a signal
// as 0; a caller that must tell the console's SIGINT apart looks at signal.
struct CommandEnd {
    bool executed = false;
    int status = 0;
    int signal = 0;
};
[[nodiscard]] CommandEnd runCommandEnd(const std::string& command);

// value in single quotes for the shell, embedded single quotes written as '\''.
[[nodiscard]] std::string shellQuote(const std::string& value);

}  // namespace qvsystemtools
}  // namespace KIVRA
