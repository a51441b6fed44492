#pragma once
// The install lock "/tmp/kivrainstaller.lck". Its presence means that an installation run
// is in progress; to other device software the content means nothing. The installer writes
// its process id into it so that a run that was refused can tell a live run's lock, which
// it must leave alone, from one left behind by a run that no longer exists.

#include <string>

namespace KIVRA {
namespace installer {

extern const char* const kLockPath;

enum class LockResult {
    Taken,       // this process created the lock
    Held,        // a regular file already stands at the path: another run holds it
    NotCreated,  // something else stands at the path or /tmp refuses the file
};

// Creates the lock atomically, already holding this process's id, so two runs can never
// both take it and no run ever sees a half-written lock.
[[nodiscard]] LockResult takeInstallLock();

// Removes a lock that is a regular file unless a live process other than this one holds
// it: this run's own lock, an empty one and one whose owner has ended are removed.
// Failures are ignored (the next run's refusal clears a stale lock again).
void clearInstallLock();

}  // namespace installer
}  // namespace KIVRA
