#include "qvcommontools/install_log.h"

#include <cstdio>
#include <iostream>

namespace KIVRA {
namespace qvcommontools {

const char* const kInstallLogPath = "/mnt/hda1/Kvtemp/qvupdate.log";

std::ofstream* logInstallFile = nullptr;

namespace {

enum class FileMode { Open, Held, Discarded };

// How lines reach the file, and the lines kept while it is held.
struct HeldLog {
    FileMode mode = FileMode::Open;
    std::string lines;
};

HeldLog& heldLog() {
    static HeldLog held;
    return held;
}

void writeToFile(const std::string& text) {
    if (logInstallFile == nullptr) {
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
    if (logInstallFile == nullptr) {
        return;
    }
    logInstallFile->close();
    delete logInstallFile;
    logInstallFile = nullptr;
}

}  // namespace qvcommontools
}  // namespace KIVRA
