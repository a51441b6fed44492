// The status file /tmp/fw_status that the web interface reads during a run.

#include <sys/stat.h>
#include <unistd.h>

#include "qvcommontools/fw_status.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::readBytes;

class FwStatusTest : public testing::SandboxTest {};

TEST_F(FwStatusTest, EachWriteReplacesWholeContentWithoutLineEnd) {
    using qvcommontools::StatusWrite;
    EXPECT_EQ(qvcommontools::writeFwStatus("2:<font color=red><b>Do not disconnect.</b></font>"),
              StatusWrite::Written);
    EXPECT_EQ(qvcommontools::writeFwStatus("1:DONE"), StatusWrite::Written);
    EXPECT_EQ(readBytes("/tmp/fw_status"), "1:DONE");
    struct stat st {};
    ASSERT_EQ(::stat("/tmp/fw_status", &st), 0);
    if (::getuid() == 0 && ::access("/proc/self/uid_map", R_OK) == 0 &&
        readBytes("/proc/self/uid_map").find("0          0") != std::string::npos) {
        EXPECT_EQ(st.st_uid, 1002u);
        EXPECT_EQ(st.st_gid, 0u);
    }
}

// A link planted at the path, symbolic or hard, must not carry the write (or the owner change)
// to the file it names.
TEST_F(FwStatusTest, DoesNotWriteThroughALinkPlantedInTmp) {
    for (const auto plant : {::symlink, ::link}) {
        testing::writeBytes("/tmp/victim", "precious");
        ASSERT_EQ(plant("/tmp/victim", "/tmp/fw_status"), 0);
        EXPECT_EQ(qvcommontools::writeFwStatus("1:DONE"), qvcommontools::StatusWrite::Refused);
        EXPECT_EQ(readBytes("/tmp/victim"), "precious");
        struct stat st {};
        ASSERT_EQ(::stat("/tmp/victim", &st), 0);
        EXPECT_NE(st.st_uid, 1002u);
        ASSERT_EQ(::unlink("/tmp/fw_status"), 0);
    }
}

}  // namespace
}  // namespace KIVRA
