// Whole installations inside the device harness: real MTD flash holds the boot environment
// and the kernel mounts the stored radio-module image, so a run goes to its end.

#include <unistd.h>

#include "tests/app/install_run_fixture.h"
#include "tests/vpd/raw_mtd.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::kLock;
using testing::kLog;
using testing::kPkg;
using testing::kStaging;
using testing::lines;
using testing::readBytes;

constexpr uint32_t kEnvironment = 0xC0000;  // copy 1; copy 2 follows at + 0x10000

class FullInstallTest : public testing::InstallRunFixture {
protected:
    void SetUp() override {
        testing::SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // All device tests share one boot: start from nothing the previous test left.
        ASSERT_EQ(::system("rm -rf /mnt/hda1 /tmp/pkg /tmp/src /tmp/seen /tmp/boot_config "
                           "/tmp/kivrainstaller_mnt /tmp/rmupskip /tmp/kivrainstaller.lck"),
                  0);
        InstallRunFixture::SetUp();
        // Copy 1 erased, copy 2 an empty valid record: the flag goes into copy 1, which is
        // then the only copy holding it.
        testing::RawMtd().write(kEnvironment,
                                std::string(0x10000, '\xff') + testing::RecordBuilder().bytes());
    }

    // The copy that now holds a valid record, or an empty string.
    static std::string validRecordArea() {
        for (uint32_t copy : {kEnvironment, kEnvironment + 0x10000}) {
            const std::string record = testing::RawMtd().read(copy, 0x10000);
            const std::string area = record.substr(5);
            if (testing::littleEndian32(testing::referenceCrc32(area)) == record.substr(0, 4)) {
                return area;
            }
        }
        return std::string();
    }

    std::vector<std::string> expectedTail(int partition, int exitStatus) {
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
        return tail;
    }
};

TEST_F(FullInstallTest, GoodPackageEndsWith0AndSetsFlagInFlash) {
    pack();
    const auto run = install({kPkg});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    const auto out = lines(run.out);
    const auto tail = expectedTail(1, 0);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(out.end() - tail.size(), out.end()), tail);
    EXPECT_EQ(lines(readBytes(kLog)), out);
    EXPECT_EQ(validRecordArea().substr(0, 17), std::string("fwupdate_flag=1\0\0", 17));
    EXPECT_EQ(readBytes(kStaging + "/uImage"), images[0].second);
    EXPECT_FALSE(exists(kLock));
    // The stored image was mounted by the kernel and is unmounted again.
    EXPECT_EQ(::system("grep -q kivrainstaller_mnt /proc/mounts"), 256);
}

TEST_F(FullInstallTest, RadioModuleUpdateNeededEndsWith2) {
    pack("BIRCH", "\"2\"");
    ASSERT_EQ(::unlink("/tmp/boot_config"), 0);
    const auto run = install({kPkg, "C1"});
    EXPECT_EQ(run.exitStatus, 2) << run.out << run.err;
    const auto out = lines(run.out);
    const auto tail = expectedTail(-1, 2);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(out.end() - tail.size(), out.end()), tail);
    EXPECT_EQ(::system("grep -q kivrainstaller_mnt /proc/mounts"), 256);
}

}  // namespace
}  // namespace KIVRA
