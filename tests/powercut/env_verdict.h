#pragma once
// Decides what a router boots with after a power cut during an install: the boot environment
// it had before (old), the one the install was to write (new: the same variables with
// fwupdate_flag=1, flag one higher), or anything else (broken). A router whose earlier update
// was pending (fwupdate_flag=1 before) passes through the old variables with fwupdate_flag=0
// (cleared, flag one higher) and then the new ones (flag two higher). Works from raw flash bytes
// through the tests' own boot loader model (tests/vpd/boot_env_loader.h), never through the
// installer's VPD code.

#include <string>
#include <vector>

#include "tests/vpd/boot_env_loader.h"

namespace KIVRA {
namespace powercut {

enum class EnvState { Old, Cleared, New, Broken };

struct EnvVerdict {
    EnvState state = EnvState::Broken;
    int copy = 0;  // the copy the boot loader takes, 0 when neither is intact
    int flag = 0;
    std::string reason;  // for Broken
};

inline std::vector<std::string> withUpdateFlag(std::vector<std::string> variables,
                                               const std::string& value = "1") {
    for (auto& variable : variables) {
        if (variable.compare(0, 14, "fwupdate_flag=") == 0) {
            variable = "fwupdate_flag=" + value;
            return variables;
        }
    }
    variables.push_back("fwupdate_flag=" + value);
    return variables;
}

// before1/before2: the two copies before the install; after1/after2: now. With anyFlag the
// new environment may carry any flag (after further updates), only its variables count.
inline EnvVerdict judgeEnvironment(const std::string& before1, const std::string& before2,
                                   const std::string& after1, const std::string& after2,
                                   bool anyFlag = false) {
    const testing::BootEnvironment old = testing::chooseBootEnvironment(before1, before2);
    const testing::BootEnvironment now = testing::chooseBootEnvironment(after1, after2);
    EnvVerdict verdict;
    verdict.copy = now.copy;
    verdict.flag = now.copy == 0 ? -1 : now.flag();
    if (old.copy == 0) {
        verdict.reason = "the environment before the install has no intact copy";
        return verdict;
    }
    if (now.copy == 0) {
        verdict.reason = "neither copy is intact";
        return verdict;
    }
    if (now.bytes == old.bytes) {
        verdict.state = EnvState::Old;
        return verdict;
    }
    const std::vector<std::string> before = old.variables();
    const bool pending = withUpdateFlag(before) == before;
    const uint8_t clearedFlag = static_cast<uint8_t>(old.flag() + 1);
    if (pending && now.variables() == withUpdateFlag(before, "0")) {
        if (!anyFlag && now.flag() != clearedFlag) {
            verdict.reason = "copy " + std::to_string(now.copy) + " is cleared with flag " +
                             std::to_string(now.flag()) + ", not " + std::to_string(clearedFlag);
            return verdict;
        }
        verdict.state = EnvState::Cleared;
        return verdict;
    }
    const uint8_t nextFlag = static_cast<uint8_t>(old.flag() + (pending ? 2 : 1));
    if (now.variables() != withUpdateFlag(before)) {
        verdict.reason = "copy " + std::to_string(now.copy) +
                         " holds variables that are neither the old nor the new ones";
        return verdict;
    }
    if (!anyFlag && now.flag() != nextFlag) {
        verdict.reason = "copy " + std::to_string(now.copy) + " has flag " +
                         std::to_string(now.flag()) + ", not " + std::to_string(nextFlag);
        return verdict;
    }
    verdict.state = EnvState::New;
    return verdict;
}

}  // namespace powercut
}  // namespace KIVRA
