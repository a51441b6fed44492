// The boot environment after a whole installation in the device harness: the installer takes
// the newer copy, sets fwupdate_flag=1 in it and writes it over the older copy with the next
// flag; the newer copy and the rest of the flash stay as they were. Judged from the raw flash
// bytes with the loader's own reading of the copies (boot_env_loader.h).

#include <cstdlib>
#include <string>
#include <utility>

#include "tests/app/install_run_fixture.h"
#include "tests/flash/flash_device.h"
#include "tests/vpd/boot_env_loader.h"
#include "tests/vpd/env_samples.h"

namespace KIVRA {
namespace {

using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::kPkg;
using testing::recordOf;
using testing::sampleVariables;
using testing::withUpdateFlagSet;

class InstallEnvironmentTest : public testing::InstallRunFixture {
protected:
    void SetUp() override {
        testing::SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        const char* harness = std::getenv("QV_DEVICE_HARNESS");
        ASSERT_TRUE(harness != nullptr && std::string(harness) == "1")
            << "these tests rewrite /dev/mtd0; run them through tests/vm/run";
        // All device tests share one boot: start from nothing the previous test left.
        ASSERT_EQ(::system("rm -rf /mnt/hda1 /tmp/pkg /tmp/src /tmp/seen /tmp/boot_config "
                           "/tmp/kivrainstaller_mnt /tmp/rmupskip /tmp/kivrainstaller.lck "
                           "/tmp/vpd1.bin /tmp/vpd2.bin"),
                  0);
        InstallRunFixture::SetUp();
        size = testing::norSize();
        // No 0xFF outside the environment, so that an erase anywhere else shows.
        mtd.write(0, testing::unerasedPattern(size, 91));
    }

    testing::RawMtd mtd;
    uint32_t size = 0;
};

TEST_F(InstallEnvironmentTest, InstallWritesNewerCopyPlusFlagOverOlderCopyOnly) {
    // Copy 1 is the newer one and already has the flag, at 0: it changes in place.
    const auto current = sampleVariables(2, true);
    const std::string newer = recordOf(current, 9);
    mtd.write(kEnvCopy1, newer + recordOf(sampleVariables(1), 8));
    const std::string before = mtd.read(0, size);
    pack();
    const auto run = install({kPkg});
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;

    const std::string after = mtd.read(0, size);
    const std::string expected = recordOf(withUpdateFlagSet(current), 10);
    EXPECT_TRUE(after.substr(kEnvCopy2, kEnvCopySize) == expected)
        << "copy 2 does not hold the newer copy's variables with fwupdate_flag=1 and flag 10";
    EXPECT_TRUE(after.substr(kEnvCopy1, kEnvCopySize) == newer) << "the newer copy was touched";
    EXPECT_TRUE(after.substr(0, kEnvCopy1) == before.substr(0, kEnvCopy1) &&
                after.substr(kEnvCopy2 + kEnvCopySize) == before.substr(kEnvCopy2 + kEnvCopySize))
        << "flash outside the environment changed";
    const testing::BootEnvironment env = testing::loadBootEnvironment(mtd);
    EXPECT_EQ(env.copy, 2);
    EXPECT_EQ(env.variables(), withUpdateFlagSet(current));
}

TEST_F(InstallEnvironmentTest, InstallAfterFlag255WritesFlag0ThatTheLoaderPrefers) {
    const auto current = sampleVariables(3);
    const std::string newer = recordOf(current, 255);
    mtd.write(kEnvCopy1, recordOf(sampleVariables(2), 254) + newer);
    const std::string before = mtd.read(0, size);
    pack();
    ASSERT_EQ(::unlink("/tmp/boot_config"), 0);  // the flag is set also without a partition
    const auto run = install({kPkg});
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;

    const std::string after = mtd.read(0, size);
    EXPECT_TRUE(after.substr(kEnvCopy1, kEnvCopySize) == recordOf(withUpdateFlagSet(current), 0))
        << "copy 1 does not hold the newer copy's variables plus fwupdate_flag=1 with flag 0";
    EXPECT_TRUE(after.substr(kEnvCopy2) == before.substr(kEnvCopy2) &&
                after.substr(0, kEnvCopy1) == before.substr(0, kEnvCopy1))
        << "flash other than the older copy changed";
    const testing::BootEnvironment env = testing::loadBootEnvironment(mtd);
    EXPECT_EQ(env.copy, 1);
    EXPECT_EQ(env.variables(), withUpdateFlagSet(current));
}

TEST_F(InstallEnvironmentTest, NoValidCopyFailsAtTheFlashStepAndLeavesFlashAlone) {
    std::string damaged1 = recordOf(sampleVariables(1), 4);
    std::string damaged2 = recordOf(sampleVariables(2), 5);
    damaged1[0] = static_cast<char>(damaged1[0] ^ 1);
    damaged2[9] = static_cast<char>(damaged2[9] ^ 1);
    const std::pair<const char*, std::string> rows[] = {
        {"erased flash", std::string(2 * kEnvCopySize, '\xff')},
        {"two damaged copies", damaged1 + damaged2},
    };
    pack();
    ASSERT_EQ(::system("rm -rf /tmp/pkg.orig && cp -a /tmp/pkg /tmp/pkg.orig"), 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        mtd.write(kEnvCopy1, row.second);
        const std::string before = mtd.read(0, size);
        ASSERT_EQ(::system("rm -rf /tmp/pkg && cp -a /tmp/pkg.orig /tmp/pkg"), 0);
        const auto run = install({kPkg});
        EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("[KivraInstaller::install] CRC error, invalid file (err 9)\n"),
                  std::string::npos)
            << run.out;
        EXPECT_TRUE(mtd.read(0, size) == before) << "flash changed";
    }
}

}  // namespace
}  // namespace KIVRA
