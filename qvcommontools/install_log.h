#pragma once
// The install log: every progress and error line goes to standard output and to
// "/mnt/hda1/Kvtemp/qvupdate.log".

#include <fstream>
#include <string>

namespace KIVRA {
namespace qvcommontools {

extern const char* const kInstallLogPath;

// The open log stream of this process; null until the first logInstall and after
// closeInstallLog.
extern std::ofstream* logInstallFile;

// Writes text and a line end to standard output (flushed at once), then to the log file
// (buffered). The first call of a run opens the log afresh; a log that cannot be opened is
// not retried during the run, and the console still gets every line.
void logInstall(const std::string& text);

// Flushes and closes the log. A later logInstall starts the file afresh.
void closeInstallLog();

}  // namespace qvcommontools
}  // namespace KIVRA
