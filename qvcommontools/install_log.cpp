#include "qvcommontools/install_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvcommontools {

const char* const kInstallLogPath = "/mnt/hda1/Kvtemp/qvupdate.log";

std::ofstream* logInstallFile = nullptr;

namespace {

enum class FileMode { Open, Held, Discarded };

// How lines reach the file, the lines kept while it is held, and this run's claim on the
// file (see claimLogFile).
struct HeldLog {
    FileMode mode = FileMode::Open;
    std::string lines;
    qvsystemtools::UniqueFd claim;
    std::string firstError;
};

constexpr int kClaimAttempts = 500;
constexpr useconds_t kClaimPause = 10 * 1000;  // 5 s in all

// A run that ends well removes the install lock at its step "Unlock" and only then writes
// its End line and closes the log, so the next run can start in between. Each run holds a
// flock on the log file from its first line until the close, and the next run starts the
// file afresh only once it has that lock: else the previous run's last line would land at
// its old offset inside the new log (over the new lines, or after a run of zero bytes).
// A run that holds the file longer than the wait (it hangs) does not stop this one.
void claimLogFile(HeldLog& held) {
    held.claim.reset(::open(kInstallLogPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!held.claim.valid()) {
        return;  // the stream's own open below fails the same way; the console keeps the lines
    }
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        if (::flock(held.claim.get(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
            return;
        }
        (void)::usleep(kClaimPause);
    }
}

HeldLog& heldLog() {
    static HeldLog held;
    return held;
}

void writeToFile(const std::string& text) {
    if (logInstallFile == nullptr) {
        claimLogFile(heldLog());
        // out|ate truncates: each run starts the log afresh at its first line.
        logInstallFile = new std::ofstream(kInstallLogPath, std::ios::out | std::ios::ate);
    }
    if (logInstallFile->is_open()) {
        // Each line goes to the file at once: an install that dies or loses power must leave
        // the lines it got to, not a log truncated at its start with everything in our buffer.
        *logInstallFile << text;
        logInstallFile->flush();
    }
}

}  // namespace

void logInstall(const std::string& text) {
    std::cout << text << '\n';
    std::cout.flush();
    HeldLog& held = heldLog();
    switch (held.mode) {
        case FileMode::Open:
            writeToFile(text + '\n');
            break;
        case FileMode::Held:
            held.lines += text;
            held.lines += '\n';
            break;
        case FileMode::Discarded:
            break;
    }
}

void logInstallError(const std::string& origin, const std::string& text) {
    std::string& first = heldLog().firstError;
    if (first.empty()) {
        first = text;
    }
    logInstall(origin + text);
}

const std::string& firstInstallError() { return heldLog().firstError; }

void forgetInstallErrors() { heldLog().firstError.clear(); }

void holdInstallLog() {
    HeldLog& held = heldLog();
    held.mode = FileMode::Held;
    held.lines.clear();
}

void releaseInstallLog() {
    HeldLog& held = heldLog();
    if (held.mode != FileMode::Held) {
        return;
    }
    held.mode = FileMode::Open;
    if (!held.lines.empty()) {
        writeToFile(held.lines);
    }
    held.lines.clear();
}

void discardInstallLog() {
    HeldLog& held = heldLog();
    held.mode = FileMode::Discarded;
    held.lines.clear();
}

void closeInstallLog() {
    // After the close the next line starts the file afresh, as at the start of a process.
    HeldLog& held = heldLog();
    held.mode = FileMode::Open;
    held.lines.clear();
    held.firstError.clear();
    if (logInstallFile == nullptr) {
        return;
    }
    logInstallFile->close();
    delete logInstallFile;
    logInstallFile = nullptr;
    // Only now may the next run start the file afresh.
    held.claim.reset();
}

}  // namespace qvcommontools
}  // namespace KIVRA
