// Package file classes, digest-list names and the U-Boot header check.

#include <sys/stat.h>

#include <string>

#include "package_format/image_classes.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using package_format::ImageClass;
using testing::TempDir;
using testing::writeBytes;

struct ClassCase {
    const char* name;
    ImageClass expected;
};

TEST(ImageClasses, ClassifiesEveryTableNameExactlyAndCaseSensitively) {
    const ClassCase cases[] = {
        {"kivrainstaller", ImageClass::InstallerProgram},
        {"NTIM.bin", ImageClass::NtimFile},
        {"rootfs.sqfs.uboot", ImageClass::UbootImage},
        {"uImage", ImageClass::UbootImage},
        {"uImage.recovery", ImageClass::UbootImage},
        {"initramfs.recovery", ImageClass::UbootImage},
        {"zImage", ImageClass::PlainImage},
        {"rootfs.sqfs", ImageClass::PlainImage},
        {"zImage.recovery", ImageClass::PlainImage},
        {"dtb.recovery", ImageClass::PlainImage},
        {"uimage", ImageClass::OtherFile},
        {"ntim.bin", ImageClass::OtherFile},
        {"zImage ", ImageClass::OtherFile},
        {"*uImage", ImageClass::OtherFile},
        {"Kivrainstaller", ImageClass::OtherFile},
        {"settings.conf", ImageClass::OtherFile},
    };
    for (const ClassCase& c : cases) {
        EXPECT_EQ(package_format::classifyImage(c.name), c.expected) << c.name;
    }
}

TEST(ImageClasses, OnlyTheTwoImageGroupsAreEncrypted) {
    EXPECT_TRUE(package_format::isEncryptedClass(ImageClass::UbootImage));
    EXPECT_TRUE(package_format::isEncryptedClass(ImageClass::PlainImage));
    EXPECT_FALSE(package_format::isEncryptedClass(ImageClass::InstallerProgram));
    EXPECT_FALSE(package_format::isEncryptedClass(ImageClass::NtimFile));
    EXPECT_FALSE(package_format::isEncryptedClass(ImageClass::OtherFile));
}

struct NameCase {
    const char* name;
    bool plain;
};

TEST(ImageClasses, RejectsDigestListNameThatLeavesThePackageDirectory) {
    const NameCase cases[] = {
        {"uImage", true},    {"NTIM.bin", true}, {"a.b-c_d", true}, {"*star", true},
        {"", false},         {".", false},       {"..", false},     {"../uImage", false},
        {"sub/file", false}, {"/abs", false},    {"a b", false},    {"a\tb", false},
        {"a\nb", false},     {"a\rb", false},    {"a\vb", false},   {"a\fb", false},
        {"...", true},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(package_format::isPlainFileName(c.name), c.plain) << "\"" << c.name << "\"";
    }
}

TEST(ImageClasses, UbootMagicMustOpenTheFile) {
    TempDir dir;
    writeBytes(dir / "good", std::string("\x27\x05\x19\x56", 4) + "rest");
    writeBytes(dir / "exact", std::string("\x27\x05\x19\x56", 4));
    writeBytes(dir / "short", std::string("\x27\x05\x19", 3));
    writeBytes(dir / "reversed", std::string("\x56\x19\x05\x27", 4) + "rest");
    writeBytes(dir / "empty", "");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    EXPECT_TRUE(package_format::hasUbootMagic(dir / "good"));
    EXPECT_TRUE(package_format::hasUbootMagic(dir / "exact"));
    EXPECT_FALSE(package_format::hasUbootMagic(dir / "short"));
    EXPECT_FALSE(package_format::hasUbootMagic(dir / "reversed"));
    EXPECT_FALSE(package_format::hasUbootMagic(dir / "empty"));
    EXPECT_FALSE(package_format::hasUbootMagic(dir / "missing"));
    EXPECT_FALSE(package_format::hasUbootMagic(dir / "sub"));
}

}  // namespace
}  // namespace KIVRA
