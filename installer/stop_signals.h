#pragma once
// Signals that ask a run to stop: SIGTERM (device software, a service manager), SIGHUP (a
// terminal that went away) and SIGINT (the console). Left to their default action they would
// end the process anywhere, with the install lock and a status that says the install goes on
// left behind; instead they are noted, and the install stops at its next safe point as a
// failed step. SIGKILL and a power cut cannot be caught and need nothing: the kernel lets go
// of the lock, and /tmp does not survive a power cut.

#include <signal.h>

namespace KIVRA {
namespace installer {

// Notes the stop signals for its lifetime instead of letting them end the process (system
// calls under way are resumed, sleeps end early), and keeps SIGPIPE from ending it when the
// console's reader goes away (the install goes on; the log file keeps every line); restores
// what was there before when it goes. One per process, owned by the run driver for the
// installation run.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction previous_[3];
    struct sigaction previousPipe_;
};

// The first stop signal noted since the run began, or 0.
[[nodiscard]] int stopSignal();

// Notes sig as if it had been received: for the console's SIGINT, which system() keeps from
// this process while a child runs, so that only the child's end by it tells of it.
void noteStopSignal(int sig);

// "SIGTERM", "SIGHUP" or "SIGINT".
[[nodiscard]] const char* stopSignalName(int sig);

// Holds the stop signals back for its lifetime, for the part of a run that must not be left
// half done (the boot environment write and what completes it); a signal that came meanwhile
// is noted when it ends.
class HeldStopSignals {
public:
    HeldStopSignals();
    ~HeldStopSignals();
    HeldStopSignals(const HeldStopSignals&) = delete;
    HeldStopSignals& operator=(const HeldStopSignals&) = delete;

private:
    sigset_t previous_;
};

}  // namespace installer
}  // namespace KIVRA
