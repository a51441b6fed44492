// Digests of images beyond 2 GiB, which the router's 32-bit system must handle as well.

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "package_format/file_digest.h"
#include "qvsystemtools/unique_fd.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

class FileDigestLarge : public testing::SandboxTest {
protected:
    testing::TempDir dir;
};

// One byte past what a 32-bit file offset can open; sparse, so it costs no memory, but every
// byte is hashed (about ten seconds under emulation).
TEST_F(FileDigestLarge, ImageOneBytePastTwoGiBIsHashedWhole) {
    const std::string path = dir / "rootfs.img";
    {
        qvsystemtools::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(::ftruncate(fd.get(), off_t{INT_MAX} + 2), 0);
    }
    std::string digest = "unchanged";
    ASSERT_TRUE(package_format::md5Text(path, digest));
    // MD5 of 2^31 + 1 zero bytes.
    EXPECT_EQ(digest, "97cdd4bb45c3d5d652c0079901fb4eec");
}

}  // namespace
}  // namespace KIVRA
