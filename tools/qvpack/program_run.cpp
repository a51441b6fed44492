#include "tools/qvpack/program_run.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/qvpack/file_util.h"
#include "tools/qvpack/pack_error.h"

extern char** environ;

namespace KIVRA {
namespace qvpack {

// Looked up here rather than left to posix_spawnp: where the spawn cannot report a failed exec
// (under a user-mode emulator) a missing tool would pass for one that failed with 127.
std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0;;) {
        const size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            return std::string();
        }
        start = end + 1;
    }
}

int runTool(const std::vector<std::string>& argv, const std::string& debianPackage) {
    const std::string& tool = argv.at(0);
    const std::string program = findOnPath(tool);
    if (program.empty()) {
        throw PackError(tool + " is not installed (Debian package " + debianPackage + ")");
    }
    std::vector<char*> words;
    words.reserve(argv.size() + 1);
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, words.data(), environ);
    if (rc != 0) {
        throw PackError("cannot run " + tool + ": " + std::strerror(rc));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw PackError("cannot wait for " + tool + ": " + errnoText());
        }
    }
    return status;
}

std::string exitText(int status) {
    return WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace qvpack
}  // namespace KIVRA
