// The eMMC boot partition selection the installer writes to sysfs for the next boot.

#include <sys/stat.h>

#include <cstdlib>

#include "qvcommontools/boot_config.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;

const std::string kAttribute = "/sys/block/mmcblk0/device/boot_config";

class BootConfigTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /sys/block/mmcblk0/device"), 0);
    }
};

TEST_F(BootConfigTest, WritesPartitionEnableValueWithoutLineEnd) {
    writeBytes(kAttribute, "0");
    int partition = 0;
    EXPECT_TRUE(qvcommontools::updateBootConfig(partition));
    EXPECT_EQ(readBytes(kAttribute), "8");
    partition = 1;
    EXPECT_TRUE(qvcommontools::updateBootConfig(partition));
    EXPECT_EQ(readBytes(kAttribute), "16");
}

TEST_F(BootConfigTest, DeviceWithoutEmmcSucceedsAndCreatesNothing) {
    for (int partition : {0, 1, -1}) {
        EXPECT_TRUE(qvcommontools::updateBootConfig(partition));
        EXPECT_FALSE(exists(kAttribute));
    }
    ASSERT_EQ(::system("rm -rf /sys/block/mmcblk0"), 0);
    int partition = 1;
    EXPECT_TRUE(qvcommontools::updateBootConfig(partition));
    EXPECT_FALSE(exists("/sys/block/mmcblk0"));
}

TEST_F(BootConfigTest, DirectoryAtAttributePathFails) {
    ASSERT_EQ(::mkdir(kAttribute.c_str(), 0755), 0);
    int partition = 0;
    EXPECT_FALSE(qvcommontools::updateBootConfig(partition));
}

TEST_F(BootConfigTest, ReadOnlyAttributeFails) {
    writeBytes(kAttribute, "0");
    const std::string bind = "mount --bind " + kAttribute + " " + kAttribute +
                             " && mount -o remount,ro,bind " + kAttribute;
    ASSERT_EQ(::system(bind.c_str()), 0);
    int partition = 1;
    EXPECT_FALSE(qvcommontools::updateBootConfig(partition));
    EXPECT_EQ(readBytes(kAttribute), "0");
    EXPECT_EQ(::system(("umount " + kAttribute).c_str()), 0);
}

}  // namespace
}  // namespace KIVRA
