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

// Writes text and a line end to standard output and to the log file, each flushed at once.
// The first call of a run opens the log afresh; a log that cannot be opened is
// not retried during the run, and the console still gets every line.
void logInstall(const std::string& text);

// An error line: origin + text, written as logInstall writes it. The first text since the last
// forgetInstallErrors (or closeInstallLog) is kept: the failing operation's own line, which
// the progress file shows, comes before the lines of the levels that re-raise it.
void logInstallError(const std::string& origin, const std::string& text);
// The kept text; empty when no error line came since.
[[nodiscard]] const std::string& firstInstallError();
// A new part of the run begins: its first error line will be kept.
void forgetInstallErrors();

// Flushes and closes the log (a held log is dropped). A later logInstall starts the file
// afresh.
void closeInstallLog();

// The log file belongs to the run that holds the install lock: a run that may yet be
// refused must not start the file afresh under a run that is still writing it. While the
// log is held, lines reach the console at once and are kept for the file; releasing starts
// the file afresh with them, discarding leaves the file as it is for the rest of the process
// (lines then reach the console only).
void holdInstallLog();
void releaseInstallLog();
void discardInstallLog();

}  // namespace qvcommontools
}  // namespace KIVRA
