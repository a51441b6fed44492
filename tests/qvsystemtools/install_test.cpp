#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace qvsystemtools {
namespace {

class ToolboxInstallTest : public testing::SandboxTest {};

TEST_F(ToolboxInstallTest, InstalledHeadersLibraryAndPkgConfigBuildADeviceProgram) {
    const std::string binDir = testing::binPath("");
    const std::string buildDir = binDir.substr(0, binDir.rfind("/bin/"));
    std::vector<std::string> command = {
        "/bin/bash", testing::sourcePath("scripts/check-toolbox-install"), buildDir};
#if defined(__SANITIZE_ADDRESS__)
    // The installed archive is instrumented like this test program.
    command.push_back("-fsanitize=address,undefined");
#endif
    const testing::ProcessResult result = testing::runProcess(command);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "probe ok\n") << result.err;
}

}  // namespace
}  // namespace qvsystemtools
}  // namespace KIVRA
