#include <sys/stat.h>

#include <cstdlib>

#include "installer/kivra_installer.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::readBytes;
using testing::writeBytes;

const std::string kBootUpdateFile = "/tmp/boot_config";

class BootPartitionTest : public testing::InstallerTest {};

struct Row {
    const char* content;  // nullptr: no boot update file
    int code;
    int partition;  // expected output; 42 means "left unwritten"
};

TEST_F(BootPartitionTest, ReadsOnlyZeroOrOneAndLeavesOutputAloneOnInvalidFile) {
    const Row rows[] = {
        {"1\n", 0, 1}, {" 0", 0, 0}, {"1abc", 0, 1}, {nullptr, 0, -1},       {"2", 5, 42},
        {"-1", 5, 42}, {"", 5, 42},  {"abc", 5, 42}, {"99999999999", 5, 42},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content == nullptr ? "(absent)" : row.content);
        (void)::unlink(kBootUpdateFile.c_str());
        if (row.content != nullptr) {
            writeBytes(kBootUpdateFile, row.content);
        }
        int partition = 42;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(KivraInstaller::getBootPartition(partition), row.code);
        const std::string console = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(partition, row.partition);
        EXPECT_EQ(console, row.code == 0 ? ""
                                         : "[KivraInstaller::getBootPartition] Invalid boot "
                                           "update file (err 5)\n");
    }
}

TEST_F(BootPartitionTest, BootUpdateDirectoryCountsAsAbsent) {
    ASSERT_EQ(::mkdir(kBootUpdateFile.c_str(), 0755), 0);
    int partition = 42;
    EXPECT_EQ(KivraInstaller::getBootPartition(partition), 0);
    EXPECT_EQ(partition, -1);
}

}  // namespace
}  // namespace KIVRA
