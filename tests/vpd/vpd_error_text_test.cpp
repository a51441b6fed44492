#include "vpd/vpd_error_text.h"

#include <gtest/gtest.h>

namespace KIVRA {
namespace {

TEST(VpdErrorText, EveryCodeHasTheInstallerText) {
    EXPECT_EQ(vpdErrorText(VpdUpdater::VpdOk), nullptr);
    EXPECT_STREQ(vpdErrorText(VpdUpdater::VpdFieldExists),
                 "VPD update not allowed, field probably already exists");
    EXPECT_STREQ(vpdErrorText(VpdUpdater::VpdFieldMissing),
                 "VPD update not allowed, required fields are missing");
    EXPECT_STREQ(vpdErrorText(VpdUpdater::VpdCrcError), "CRC error, invalid file");
    EXPECT_STREQ(vpdErrorText(VpdUpdater::VpdInputError), "VPD update failed, input error");
    EXPECT_STREQ(vpdErrorText(VpdUpdater::VpdInputAccessError),
                 "VPD update failed, input access error");
    EXPECT_STREQ(vpdErrorText(VpdUpdater::VpdCodeError), "Code error");
    EXPECT_EQ(vpdErrorText(static_cast<VpdUpdater::VpdUpdaterError>(9)), nullptr);
}

}  // namespace
}  // namespace KIVRA
