// Whole installations inside the device harness: real MTD flash holds the boot environment and
// the kernel mounts the stored radio-module image, so a run goes to its end. The environment
// is judged from the raw flash bytes with the loader's own reading of the copies
// (boot_env_loader.h). Which copy takes the flag for each pair of generation flags, and the
// refusal when no copy is valid, are settled by the host tests; here they meet real flash.

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

    // Everything but the older copy is as it was.
    void expectOnlyChanged(uint32_t copy, const std::string& before) const {
        const std::string after = mtd.read(0, size);
        EXPECT_TRUE(after.substr(0, copy) == before.substr(0, copy) &&
                    after.substr(copy + kEnvCopySize) == before.substr(copy + kEnvCopySize))
            << "flash other than the older copy changed";
    }

    testing::RawMtd mtd;
    uint32_t size = 0;
};

TEST_F(FullInstallTest, GoodPackageEndsWith0AndWritesNewerCopyPlusFlagOverOlderCopyOnly) {
    // Copy 1 is the newer one and already has the flag, at 0: it changes in place.
    const auto current = sampleVariables(2, true);
    mtd.write(kEnvCopy1, recordOf(current, 9) + recordOf(sampleVariables(1), 8));
    const std::string before = mtd.read(0, size);
    pack();
    installToEnd({kPkg}, 1, 0);

    EXPECT_EQ(readBytes(kStaging + "/uImage"), images[0].second);
    EXPECT_TRUE(mtd.read(kEnvCopy2, kEnvCopySize) == recordOf(withUpdateFlagSet(current), 10))
        << "copy 2 does not hold the newer copy's variables with fwupdate_flag=1 and flag 10";
    expectOnlyChanged(kEnvCopy2, before);
    const testing::BootEnvironment env = testing::loadBootEnvironment(mtd);
    EXPECT_EQ(env.copy, 2);
    EXPECT_EQ(env.variables(), withUpdateFlagSet(current));
}

TEST_F(FullInstallTest, RadioModuleUpdateNeededEndsWith2AndStillSetsTheFlag) {
    const auto current = sampleVariables(3);
    mtd.write(kEnvCopy1, recordOf(sampleVariables(2), 7) + recordOf(current, 8));
    const std::string before = mtd.read(0, size);
    pack("BIRCH", "\"2\"");
    ASSERT_EQ(::unlink("/tmp/boot_config"), 0);  // the flag is set also without a partition
    installToEnd({kPkg, "C1"}, -1, 2);

    expectOnlyChanged(kEnvCopy1, before);
    const testing::BootEnvironment env = testing::loadBootEnvironment(mtd);
    EXPECT_EQ(env.copy, 1);
    EXPECT_EQ(env.variables(), withUpdateFlagSet(current));
}

}  // namespace
}  // namespace KIVRA
