// A stand-in for sleep(3), preloaded (LD_PRELOAD) into installer runs of tests that do not look
// at the installer's two fixed 2 s status pauses, so that those tests do not wait for them.
// The installer itself keeps its pauses and has no switch for them; the tests that check the
// pauses run it without this library.

#include <unistd.h>

extern "C" unsigned int sleep(unsigned int /*seconds*/) { return 0; }
