// Whole installations inside the device harness: real MTD flash holds the boot environment and
// the kernel mounts the stored radio-module image, so a run goes to its end. The environment
// is judged from the raw flash bytes with the loader's own reading of the copies
// (boot_env_loader.h). Which copy takes the flag, damaged copies and the refusal when no copy
// is valid are settled by the environment handler's host tests; this is the one whole
// install on real flash.

#include <unistd.h>

#include "tests/app/install_run_fixture.h"
#include "tests/flash/flash_device.h"
#include "tests/vpd/boot_env_loader.h"
#include "tests/vpd/env_samples.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::kLock;
using testing::kLog;
using testing::kPkg;
using testing::kStaging;
using testing::lines;
using testing::readBytes;
using testing::recordOf;
using testing::sampleVariables;
using testing::withUpdateFlagSet;

class FullInstallTest : public testing::InstallRunFixture {
protected:
    void SetUp() override {
        testing::requireDeviceHarness();
        if (HasFatalFailure()) {
            return;
        }
        InstallRunFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        size = testing::norSize();
        // No 0xFF outside the environment, so that an erase anywhere else shows.
        mtd.write(0, testing::unerasedPattern(size, 91));
    }

    // Runs the installer and checks that its last lines are those of a run that set the flag
    // and reached its end with exitStatus; partition -1 is a run without a boot partition.
    testing::ProcessResult installToEnd(const std::vector<std::string>& args, int partition,
                                        int exitStatus) {
        const auto run = install(args);
        EXPECT_EQ(run.exitStatus, exitStatus) << run.out << run.err;
        const std::string p = std::to_string(partition);
        std::vector<std::string> tail = {
            "  - KivraInstaller::install: Get boot partition ",
            "  - KivraInstaller::install: Next boot partition: " + p,
            "  - KivraInstaller::install: Set environment flag ",
            // No environment tool on the harness: its output is empty.
            "  - KivraInstaller::install: Environment " + p + " contains ",
        };
        if (partition != -1) {
            tail.push_back("  - KivraInstaller::install: Update boot config ");
        }
        tail.push_back("  - KivraInstaller::install: Unlock");
        tail.push_back("> [qvinstaller] End (" + std::to_string(exitStatus) + ")");
        const auto out = lines(run.out);
        EXPECT_GE(out.size(), tail.size());
        if (out.size() >= tail.size()) {
            EXPECT_EQ(std::vector<std::string>(out.end() - tail.size(), out.end()), tail);
        }
        EXPECT_EQ(lines(readBytes(kLog)), out);
        EXPECT_FALSE(exists(kLock));
        // The stored image was mounted by the kernel and is unmounted again.
        EXPECT_EQ(::system("grep -q kivrainstaller_mnt /proc/mounts"), 256);
        return run;
    }

    testing::RawMtd mtd;
    uint32_t size = 0;
};

TEST_F(FullInstallTest, GoodPackageEndsWith0AndTheBootLoaderFindsTheFlagOnRealFlash) {
    const auto current = sampleVariables(2, true);
    mtd.write(kEnvCopy1, recordOf(current, 9) + recordOf(sampleVariables(1), 8));
    const std::string before = mtd.read(0, size);
    pack();
    installToEnd({kPkg}, 1, 0);

    EXPECT_EQ(readBytes(kStaging + "/uImage"), images[0].second);
    const std::string after = mtd.read(0, size);
    EXPECT_TRUE(after.substr(0, kEnvCopy1) == before.substr(0, kEnvCopy1) &&
                after.substr(kEnvCopy2 + kEnvCopySize) == before.substr(kEnvCopy2 + kEnvCopySize))
        << "flash outside the environment changed";
    EXPECT_EQ(testing::loadBootEnvironment(mtd).variables(), withUpdateFlagSet(current));
}

}  // namespace
}  // namespace KIVRA
