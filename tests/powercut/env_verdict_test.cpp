// The campaign's judge of the boot environment after a power cut: one row per state the two
// flash copies can be left in.

#include "tests/powercut/env_verdict.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/vpd/env_samples.h"

namespace KIVRA {
namespace {

using powercut::EnvState;
using testing::recordOf;

const std::vector<std::string> kOld = {"bootcmd=run boot_a", "fwupdate_flag=0", "bootcount=3"};
const std::vector<std::string> kNew = {"bootcmd=run boot_a", "fwupdate_flag=1", "bootcount=3"};
const std::string kErased(0x10000, '\xff');

std::string torn(std::string record) {
    record.replace(0x8000, 0x8000, std::string(0x8000, '\xff'));
    return record;
}

struct Row {
    const char* name;
    std::string after1;
    std::string after2;
    bool anyFlag;
    EnvState state;
    int copy;
    bool pending = false;  // copy 2 held fwupdate_flag=1 before the install
};

// Before the install: copy 1 older (flag 6), copy 2 newer (flag 7); the install writes the new
// record with flag 8 over copy 1. With an update pending, copy 2 holds the flag set: the
// install clears it over copy 1 (flag 8), then sets it over copy 2 (flag 9).
class EnvVerdictTest : public ::testing::TestWithParam<Row> {};

TEST_P(EnvVerdictTest, JudgesWhatTheBootLoaderTakes) {
    const Row& row = GetParam();
    const auto verdict =
        powercut::judgeEnvironment(recordOf(kOld, 6), recordOf(row.pending ? kNew : kOld, 7),
                                   row.after1, row.after2, row.anyFlag);
    EXPECT_EQ(verdict.state, row.state) << verdict.reason;
    EXPECT_EQ(verdict.copy, row.copy);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, EnvVerdictTest,
    ::testing::Values(
        Row{"Untouched", recordOf(kOld, 6), recordOf(kOld, 7), false, EnvState::Old, 2},
        Row{"OlderCopyErased", kErased, recordOf(kOld, 7), false, EnvState::Old, 2},
        Row{"OlderCopyTorn", torn(recordOf(kNew, 8)), recordOf(kOld, 7), false, EnvState::Old, 2},
        Row{"NewRecordWritten", recordOf(kNew, 8), recordOf(kOld, 7), false, EnvState::New, 1},
        // A record that the boot loader takes for newer must be exactly the new one.
        Row{"NewVariablesWrongFlag", recordOf(kNew, 9), recordOf(kOld, 7), false, EnvState::Broken,
            1},
        Row{"NewVariablesAnyFlagAfterSecondInstall", recordOf(kNew, 8), recordOf(kNew, 9), true,
            EnvState::New, 2},
        Row{"OtherVariables", recordOf({"bootcmd=run boot_a", "fwupdate_flag=1"}, 8),
            recordOf(kOld, 7), false, EnvState::Broken, 1},
        Row{"OldVariablesWithHigherFlag", recordOf(kOld, 8), recordOf(kOld, 7), false,
            EnvState::Broken, 1},
        Row{"NeitherCopyIntact", kErased, torn(recordOf(kOld, 7)), false, EnvState::Broken, 0}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Pending, EnvVerdictTest,
    ::testing::Values(
        Row{"Untouched", recordOf(kOld, 6), recordOf(kNew, 7), false, EnvState::Old, 2, true},
        Row{"ClearingTorn", torn(recordOf(kOld, 8)), recordOf(kNew, 7), false, EnvState::Old, 2,
            true},
        Row{"Cleared", recordOf(kOld, 8), recordOf(kNew, 7), false, EnvState::Cleared, 1, true},
        Row{"SettingTorn", recordOf(kOld, 8), torn(recordOf(kNew, 9)), false, EnvState::Cleared, 1,
            true},
        Row{"SetAgain", recordOf(kOld, 8), recordOf(kNew, 9), false, EnvState::New, 2, true},
        // Set without being cleared first: the staging it stands over was emptied meanwhile.
        Row{"SetWithoutClearing", recordOf(kNew, 8), recordOf(kNew, 7), false, EnvState::Broken, 1,
            true},
        Row{"ClearedWithWrongFlag", recordOf(kOld, 9), recordOf(kNew, 7), false, EnvState::Broken,
            1, true}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(EnvVerdict, NewEnvironmentAddsAMissingFlagVariable) {
    const std::vector<std::string> before = {"bootcmd=run boot_a"};
    const auto verdict =
        powercut::judgeEnvironment(recordOf(before, 1), kErased, recordOf(before, 1),
                                   recordOf({"bootcmd=run boot_a", "fwupdate_flag=1"}, 2));
    EXPECT_EQ(verdict.state, EnvState::New) << verdict.reason;
}

}  // namespace
}  // namespace KIVRA
