#include "qvcommontools/install_log.h"

#include <cstdio>
#include <iostream>

namespace KIVRA {
namespace qvcommontools {

const char* const kInstallLogPath = "/mnt/hda1/Kvtemp/qvupdate.log";

std::ofstream* logInstallFile = nullptr;

void logInstall(const std::string& text) {
    std::cout << text << '\n';
    std::cout.flush();
    if (logInstallFile == nullptr) {
        // out|ate truncates: each run starts the log afresh at its first line.
        logInstallFile = new std::ofstream(kInstallLogPath, std::ios::out | std::ios::ate);
    }
    if (logInstallFile->is_open()) {
        *logInstallFile << text << '\n';
    }
}

void closeInstallLog() {
    if (logInstallFile == nullptr) {
        return;
    }
    logInstallFile->close();
    delete logInstallFile;
    logInstallFile = nullptr;
}

}  // namespace qvcommontools
}  // namespace KIVRA
