/* Stand-in for sleep(3), preloaded into the installer by the tests that do not test its two
   fixed status pauses, so that each run does not cost them 4 s. Built without sanitizers: it
   is loaded ahead of everything else. */
#include <unistd.h>

unsigned int sleep(unsigned int seconds) {
    (void)seconds;
    return 0;
}
