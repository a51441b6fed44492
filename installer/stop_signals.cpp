#include "installer/stop_signals.h"

#include <cstddef>

namespace KIVRA {
namespace installer {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};

// A signal handler can reach nothing but process-wide state; this is the only such value.
volatile sig_atomic_t noted = 0;

extern "C" void noteSignal(int sig) {
    if (noted == 0) {
        noted = sig;
    }
}

// Caught rather than ignored: the pre-install script and the other commands the run starts
// get the default action back at exec, as a shell expects.
extern "C" void ignoreSignal(int) {}

sigset_t stopSet() {
    sigset_t set;
    (void)sigemptyset(&set);  // cannot fail for a valid set
    for (const int sig : kStopSignals) {
        (void)sigaddset(&set, sig);  // cannot fail for a valid signal number
    }
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    struct sigaction action {};
    action.sa_handler = noteSignal;
    action.sa_mask = stopSet();
    // Resumed, not failed: a read or write cut short by a stop request would otherwise end
    // its step with an error that is not the step's own.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        // Fails only for an invalid signal number; the signal then keeps its default action.
        (void)::sigaction(kStopSignals[i], &action, &previous_[i]);
    }
    action.sa_handler = ignoreSignal;
    (void)::sigaction(SIGPIPE, &action, &previousPipe_);  // as above
}

StopSignals::~StopSignals() {
    for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
        (void)::sigaction(kStopSignals[i], &previous_[i], nullptr);  // as set up above
    }
    (void)::sigaction(SIGPIPE, &previousPipe_, nullptr);
}

int stopSignal() { return noted; }

void noteStopSignal(int sig) { noteSignal(sig); }

const char* stopSignalName(int sig) {
    switch (sig) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        default:
            return "a signal";
    }
}

HeldStopSignals::HeldStopSignals() {
    const sigset_t set = stopSet();
    // Fails only for an invalid argument; a signal then is noted at once instead of later,
    // which a run past its last safe point ignores in the same way.
    (void)::sigprocmask(SIG_BLOCK, &set, &previous_);
}

HeldStopSignals::~HeldStopSignals() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace installer
}  // namespace KIVRA
