#include <string>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {
namespace {

// The end-to-end tests start our programs as child processes; in the cross build they are
// target binaries that only run through the emulator.
TEST(RunProcess, StartsOwnProgramBuiltForThisTarget) {
    const ProcessResult result = runProcess({binPath("qvinstaller")});
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.err, "Syntax is " + binPath("qvinstaller") + " <FIRMWARE_DIR> [CARRIER]\n");
}

TEST(RunProcess, StartsHostProgramWithoutEmulator) {
    const ProcessResult result =
        runProcess({"/bin/sh", "-c", "echo \"$0:$QV_PROBE\"; exit 7"}, {"QV_PROBE=seen"});
    EXPECT_EQ(result.exitStatus, 7);
    EXPECT_EQ(result.out, "/bin/sh:seen\n");
}

TEST(RunProcess, ReportsMissingProgramAs127) {
    EXPECT_EQ(runProcess({binPath("no-such-program")}).exitStatus, 127);
}

}  // namespace
}  // namespace testing
}  // namespace KIVRA
