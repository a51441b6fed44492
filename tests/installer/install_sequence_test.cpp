// The install sequence's table as reports see it: stable names, numbers, and the hook at each
// row's start.

#include "installer/install_sequence.h"

#include <csignal>
#include <regex>
#include <set>

#include "installer/stop_signals.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

// A report keyed by name would mix two steps up under one name, or lose one without a name.
TEST(InstallStepsTest, EveryRowHasAMachineNameOfItsOwnAndAStep) {
    std::set<std::string> names;
    const std::regex machineName("[a-z][a-z_]*");
    for (const installer::InstallStep& step : installer::installSteps()) {
        ASSERT_NE(step.name, nullptr);
        EXPECT_TRUE(std::regex_match(step.name, machineName)) << step.name;
        EXPECT_TRUE(names.insert(step.name).second) << "twice: " << step.name;
        EXPECT_NE(step.run, nullptr) << step.name;
    }
}

using InstallSequenceTest = testing::InstallerTest;

// The hook comes before the row's safe point: a stop noted there ends the run at that row.
TEST_F(InstallSequenceTest, HookSeesEachRowWithItsNumberBeforeItsSafePoint) {
    const installer::StopSignals stopSignals;
    KivraInstaller installer;
    std::vector<std::string> seen;
    installer.setStepHook([&](const installer::InstallStep& step, int number, int count) {
        seen.push_back(std::string(step.name) + " " + std::to_string(number) + "/" +
                       std::to_string(count));
        installer::noteStopSignal(SIGTERM);
    });
    bool rmUpdateNeeded = false;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(installer.install(rmUpdateNeeded), KivraInstaller::Failure);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[KivraInstaller::install] Stopped by SIGTERM (err 1)\n");
    const int count = installer::installSteps().size();
    EXPECT_EQ(seen, std::vector<std::string>{"show_done_status 1/" + std::to_string(count)});
}

}  // namespace
}  // namespace KIVRA
