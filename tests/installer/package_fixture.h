#pragma once
// Installer steps run in this process on a package in /tmp/pkg. The installer's version stays
// empty until install() reads the manifest, so packages for single steps are encrypted with
// the empty passphrase.

#include <cstdlib>
#include <memory>
#include <string>

#include "installer/kivra_installer.h"
#include "tests/support/package_builder.h"

namespace KIVRA {
namespace testing {

// An installer that went through setFwDir on the package directory, as in a run.
class PackageTest : public InstallerTest {
protected:
    const std::string pkg = "/tmp/pkg";
    const std::string staging = "/mnt/hda1/fwimages";
    std::unique_ptr<KivraInstaller> installer;

    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(::system("mkdir -p /tmp/pkg"), 0);
        installer = std::make_unique<KivraInstaller>();
        ::testing::internal::CaptureStdout();
        const int code = installer->setFwDir(pkg);
        (void)::testing::internal::GetCapturedStdout();
        ASSERT_EQ(code, 0);
    }

    // Runs a step and returns its code; console receives what it logged.
    template <typename Step>
    int run(Step step, std::string& console) {
        ::testing::internal::CaptureStdout();
        const int code = step(*installer);
        console = ::testing::internal::GetCapturedStdout();
        return code;
    }
};

}  // namespace testing
}  // namespace KIVRA
