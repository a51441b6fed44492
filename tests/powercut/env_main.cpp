// qv_powercut_env: tells whether the boot environment on the flash is the one from before an
// install, the one the install writes, or neither.
//
//   qv_powercut_env [--any-flag] BEFORE [FLASH]
//
// BEFORE is an image of the flash before the install, FLASH the flash now (default /dev/mtd0).
// Prints "old copy=N flag=F", "cleared copy=N flag=F", "new copy=N flag=F" (exit 0) or
// "broken: REASON" (exit 1).

#include <cstdio>
#include <exception>
#include <string>

#include "tests/powercut/env_verdict.h"
#include "tests/vpd/raw_mtd.h"

int main(int argc, char** argv) {
    using KIVRA::powercut::EnvState;
    using KIVRA::testing::kEnvCopy1;
    using KIVRA::testing::kEnvCopy2;
    using KIVRA::testing::kEnvCopySize;
    int at = 1;
    bool anyFlag = false;
    if (at < argc && std::string(argv[at]) == "--any-flag") {
        anyFlag = true;
        ++at;
    }
    if (argc - at < 1 || argc - at > 2) {
        std::fprintf(stderr, "usage: qv_powercut_env [--any-flag] BEFORE [FLASH]\n");
        return 2;
    }
    try {
        const KIVRA::testing::RawMtd before(argv[at]);
        const KIVRA::testing::RawMtd now(at + 1 < argc ? argv[at + 1] : "/dev/mtd0");
        const auto verdict = KIVRA::powercut::judgeEnvironment(
            before.read(kEnvCopy1, kEnvCopySize), before.read(kEnvCopy2, kEnvCopySize),
            now.read(kEnvCopy1, kEnvCopySize), now.read(kEnvCopy2, kEnvCopySize), anyFlag);
        switch (verdict.state) {
            case EnvState::Old:
                std::printf("old copy=%d flag=%d\n", verdict.copy, verdict.flag);
                return 0;
            case EnvState::Cleared:
                std::printf("cleared copy=%d flag=%d\n", verdict.copy, verdict.flag);
                return 0;
            case EnvState::New:
                std::printf("new copy=%d flag=%d\n", verdict.copy, verdict.flag);
                return 0;
            case EnvState::Broken:
                std::printf("broken: %s\n", verdict.reason.c_str());
                return 1;
        }
        return 1;
    } catch (const std::exception& e) {
        std::printf("broken: %s\n", e.what());
        return 1;
    }
}
