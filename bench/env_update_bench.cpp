// Time of the installer's environment update alone: setEnvValue("fwupdate_flag", "1") on the
// two copies of the boot environment on /dev/mtd0, called in one process so that neither the
// program start nor the guest's boot enters the figure. Run it inside the device harness
// (tests/vm/run) with both copies seeded; each call reads both copies, picks the newer, and
// erases and writes the older one, so consecutive calls alternate between the copies.
//
//   env_update_bench [ROUNDS]        (default 20)
//
// Prints "min <ms> median <ms> max <ms> rounds <n>"; exit status 1 when a call fails.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "qvcommontools/env_value.h"

int main(int argc, char* argv[]) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (rounds <= 0) {
        std::cerr << "usage: " << argv[0] << " [ROUNDS]" << std::endl;
        return 2;
    }
    std::vector<double> millis;
    for (int i = 0; i < rounds; ++i) {
        std::string errorText;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = KIVRA::qvcommontools::setEnvValue("fwupdate_flag", "1", 1, errorText);
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            std::cerr << "setEnvValue failed: " << errorText << std::endl;
            return 1;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(millis.begin(), millis.end());
    std::cout << std::fixed << std::setprecision(1) << "min " << millis.front() << " median "
              << millis[millis.size() / 2] << " max " << millis.back() << " rounds " << rounds
              << std::endl;
    return 0;
}
