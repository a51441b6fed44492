#include "qvcommontools/env_value.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

class SetEnvValueTest : public testing::SandboxTest {};

TEST_F(SetEnvValueTest, MissingFlashDeviceIsAnInputError) {
    // Only where no flash exists: on a device this would write the real environment.
    if (testing::exists("/dev/mtd0")) {
        GTEST_SKIP() << "a real /dev/mtd0 exists; covered by the device tests";
    }
    (void)::unlink("/tmp/vpd1.bin");  // a leftover of an earlier test in the same sandbox
    std::string errorText = "earlier";
    EXPECT_FALSE(qvcommontools::setEnvValue("fwupdate_flag", "1", 0, errorText));
    EXPECT_EQ(errorText, "VPD update failed, input error");
    EXPECT_FALSE(testing::exists("/tmp/vpd1.bin")) << "nothing may be copied from no device";
}

}  // namespace
}  // namespace KIVRA
