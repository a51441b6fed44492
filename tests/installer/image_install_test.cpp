#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "qvsystemtools/file_io.h"
#include "tests/installer/package_fixture.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::md5Of;
using testing::randomBytes;
using testing::readBytes;
using testing::ubootImage;
using testing::writeBytes;
using testing::writeEncrypted;

class InstallFirmwareTest : public testing::PackageTest {
protected:
    void writeList(const std::string& text) { writeEncrypted(pkg + "/images.md5", text); }
    // A package file as its class comes: extra.bin is copied as it is, the others decrypted.
    void deliver(const std::string& name, const std::string& plain) {
        if (name == "extra.bin") {
            writeBytes(pkg + "/" + name, plain);
        } else {
            writeEncrypted(pkg + "/" + name, plain);
        }
    }

    int installFirmware(std::string& console) {
        return run([](KivraInstaller& i) { return i.installFirmware(); }, console);
    }

    static std::string failure(const std::string& message, int code) {
        return "[KivraInstaller::installFirmware] " + message + " (err " + std::to_string(code) +
               ")\n";
    }
};

TEST_F(InstallFirmwareTest, InstallsEveryFileClassToItsPlaceAndDeletesPackageFiles) {
    const std::string uImage = ubootImage(5000, 1);
    const std::string rootfs = randomBytes(70000, 2);
    const std::string ntim = randomBytes(300, 3);
    const std::string config = "a=b\n";
    const std::string program = randomBytes(1000, 4);
    writeEncrypted(pkg + "/uImage", uImage);
    writeEncrypted(pkg + "/rootfs.sqfs", rootfs);
    writeBytes(pkg + "/NTIM.bin", ntim);
    writeBytes(pkg + "/settings.conf", config);
    writeBytes(pkg + "/kivrainstaller", program);
    // Tabs, a pair split over two lines and a last line without a line end are all one list.
    const std::string list = md5Of(uImage) + "\tuImage\n" + md5Of(rootfs) + "\n rootfs.sqfs\n" +
                             md5Of(ntim) + "  NTIM.bin\n" + md5Of(program) + " kivrainstaller\n" +
                             md5Of(config) + " settings.conf";
    writeList(list);

    std::string console;
    EXPECT_EQ(installFirmware(console), 0);
    EXPECT_EQ(console, "");
    EXPECT_EQ(readBytes(staging + "/uImage"), uImage);
    EXPECT_EQ(readBytes(staging + "/rootfs.sqfs"), rootfs);
    EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/NTIM.bin"), ntim);
    EXPECT_FALSE(exists(staging + "/NTIM.bin"));
    EXPECT_EQ(readBytes(staging + "/settings.conf"), config);
    EXPECT_EQ(readBytes(staging + "/images.md5"), list);
    EXPECT_FALSE(exists(staging + "/kivrainstaller"));
    EXPECT_EQ(readBytes(pkg + "/kivrainstaller"), program);
    for (const char* gone : {"uImage", "rootfs.sqfs", "NTIM.bin", "settings.conf"}) {
        EXPECT_FALSE(exists(pkg + "/" + gone)) << gone;
    }
    EXPECT_TRUE(exists(pkg + "/images.md5"));
}

TEST_F(InstallFirmwareTest, DigestMismatchHalfWayKeepsEarlierInstallsAndLeavesLaterUntouched) {
    const std::string zImage = randomBytes(4000, 5);
    const std::string rootfs = randomBytes(9000, 6);
    const std::string dtb = randomBytes(700, 7);
    writeEncrypted(pkg + "/zImage", zImage);
    writeEncrypted(pkg + "/rootfs.sqfs", rootfs);
    writeEncrypted(pkg + "/dtb.recovery", dtb);
    const std::string dtbPackageFile = readBytes(pkg + "/dtb.recovery");
    writeList(md5Of(zImage) + " zImage\n" + md5Of(rootfs + "x") + " rootfs.sqfs\n" + md5Of(dtb) +
              " dtb.recovery\n");

    std::string console;
    EXPECT_EQ(installFirmware(console), KivraInstaller::Md5Mismatch);
    EXPECT_EQ(console, failure("MD5 check failed for rootfs.sqfs", 4));
    EXPECT_EQ(readBytes(staging + "/zImage"), zImage);
    EXPECT_FALSE(exists(pkg + "/zImage"));
    // No rollback: the failing entry's package file stays, its unverified target too.
    EXPECT_TRUE(exists(pkg + "/rootfs.sqfs"));
    EXPECT_EQ(readBytes(staging + "/rootfs.sqfs"), rootfs);
    EXPECT_EQ(readBytes(pkg + "/dtb.recovery"), dtbPackageFile);
    EXPECT_FALSE(exists(staging + "/dtb.recovery"));
}

TEST_F(InstallFirmwareTest, LinkedImageLaterInTheListIsRefusedBeforeAnythingIsStaged) {
    const std::string zImage = randomBytes(4000, 5);
    const std::string dtb = randomBytes(700, 7);
    writeEncrypted(pkg + "/zImage", zImage);
    ASSERT_EQ(::mkdir("/tmp/x", 0755), 0);
    writeEncrypted("/tmp/x/dtb.recovery", dtb);
    ASSERT_EQ(::symlink("/tmp/x/dtb.recovery", (pkg + "/dtb.recovery").c_str()), 0);
    writeList(md5Of(zImage) + " zImage\n" + md5Of(dtb) + " dtb.recovery\n");

    std::string console;
    EXPECT_EQ(installFirmware(console), KivraInstaller::Failure);
    EXPECT_EQ(console, failure("Unable to decrypt dtb.recovery", 1));
    // Nothing of the package was used: it can be repaired and installed whole.
    EXPECT_TRUE(exists(pkg + "/zImage"));
    EXPECT_FALSE(exists(staging + "/zImage"));
}

struct UbootRow {
    const char* name;
    std::string plain;
    int code;
};

TEST_F(InstallFirmwareTest, UbootImageWithoutMagicFailsAlthoughDigestMatches) {
    const std::string noMagic = randomBytes(600, 8);
    const UbootRow rows[] = {
        {"uImage", ubootImage(600, 9), 0},
        {"rootfs.sqfs.uboot", testing::ubootMagic().substr(0, 3), 1},  // truncated before the magic
        {"uImage.recovery", noMagic, 1},
        {"initramfs.recovery", "", 1},
        {"zImage", noMagic, 0},  // plain image group: no header check
    };
    for (const UbootRow& row : rows) {
        SCOPED_TRACE(row.name);
        writeEncrypted(pkg + "/" + row.name, row.plain);
        writeList(md5Of(row.plain) + " " + row.name + "\n");
        std::string console;
        EXPECT_EQ(installFirmware(console), row.code);
        EXPECT_EQ(console,
                  row.code == 0 ? "" : failure(std::string("Unable to decrypt ") + row.name, 1));
        EXPECT_EQ(exists(pkg + "/" + row.name), row.code != 0);
    }
}

TEST_F(InstallFirmwareTest, RejectsDigestListNameThatLeavesStagingDirOrNamesTheList) {
    // The package directory sits one level deeper so "../" names have a real file to reach.
    ASSERT_EQ(::system("mkdir -p /tmp/outer/pkg"), 0);
    KivraInstaller deeper;
    ::testing::internal::CaptureStdout();
    (void)::unlink("/tmp/kivrainstaller.lck");
    const int set = deeper.setFwDir("/tmp/outer/pkg");
    (void)::testing::internal::GetCapturedStdout();
    ASSERT_EQ(set, 0);
    const std::string outside = "secret\n";
    const std::string first = randomBytes(100, 10);
    writeBytes("/tmp/outer/escape", outside);
    writeBytes("/tmp/outer/pkg/first.bin", first);
    for (const char* name :
         {"../escape", "..", ".", "sub/../../escape", "/tmp/outer/escape", "images.md5"}) {
        SCOPED_TRACE(name);
        writeEncrypted("/tmp/outer/pkg/images.md5",
                       md5Of(first) + " first.bin\n" + md5Of(outside) + " " + name + "\n");
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(deeper.installFirmware(), KivraInstaller::Md5FileError);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), failure("Invalid md5 file", 11));
        // Entries before the bad name are handled in list order; the bad one touches nothing.
        EXPECT_EQ(readBytes(staging + "/first.bin"), first);
        EXPECT_EQ(readBytes(staging + "/images.md5").substr(0, 32), md5Of(first));
        EXPECT_EQ(readBytes("/tmp/outer/escape"), outside);
        EXPECT_FALSE(exists("/mnt/hda1/escape"));
        writeBytes("/tmp/outer/pkg/first.bin", first);
    }
}

TEST_F(InstallFirmwareTest, RejectsDigestListNameWithNulByte) {
    // Cut at the NUL, the name would install and delete "first.bin", not the listed file.
    const std::string first = randomBytes(100, 12);
    writeBytes(pkg + "/first.bin", first);
    writeList(md5Of(first) + " " + std::string("first.bin\0.conf", 15) + "\n");
    std::string console;
    EXPECT_EQ(installFirmware(console), KivraInstaller::Md5FileError);
    EXPECT_EQ(console, failure("Invalid md5 file", 11));
    EXPECT_EQ(readBytes(pkg + "/first.bin"), first);
    EXPECT_FALSE(exists(staging + "/first.bin"));
}

TEST_F(InstallFirmwareTest, PackageUnpackedIntoKvtempKeepsItsNtimFile) {
    // Source and target of NTIM.bin are then one file, whatever the spelling of the path.
    const std::string ntim = randomBytes(5000, 13);
    for (const char* fwDir :
         {"/mnt/hda1/Kvtemp", "/mnt/hda1/Kvtemp/", "/mnt/hda1/../hda1/Kvtemp"}) {
        SCOPED_TRACE(fwDir);
        KivraInstaller inKvtemp;
        (void)::unlink("/tmp/kivrainstaller.lck");
        ::testing::internal::CaptureStdout();
        const int set = inKvtemp.setFwDir(fwDir);
        (void)::testing::internal::GetCapturedStdout();
        ASSERT_EQ(set, 0);
        writeBytes("/mnt/hda1/Kvtemp/NTIM.bin", ntim);
        writeEncrypted("/mnt/hda1/Kvtemp/images.md5", md5Of(ntim) + " NTIM.bin\n");
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(inKvtemp.installFirmware(), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(readBytes("/mnt/hda1/Kvtemp/NTIM.bin"), ntim);
    }
}

TEST_F(InstallFirmwareTest, OddTokenCountFailsAtLastDigestAfterInstallingPairs) {
    const std::string a = "alpha";
    writeBytes(pkg + "/a.txt", a);
    writeList(md5Of(a) + " a.txt\n" + md5Of("b") + "\n");
    std::string console;
    EXPECT_EQ(installFirmware(console), KivraInstaller::Md5FileError);
    EXPECT_EQ(console, failure("Invalid md5 file", 11));
    EXPECT_EQ(readBytes(staging + "/a.txt"), a);

    writeList(" \n\t\n");
    EXPECT_EQ(installFirmware(console), 0);
    EXPECT_EQ(console, "");
}

struct FailureRow {
    const char* name;
    bool present;
    std::string digest;  // empty: digest of the content
    int code;
    const char* message;
};

TEST_F(InstallFirmwareTest, EachFailureGivesItsCodeAndMessage) {
    const std::string content = randomBytes(64, 11);
    const FailureRow rows[] = {
        {"zImage", false, "", 1, "Unable to decrypt zImage"},
        {"uImage", false, "", 1, "Unable to decrypt uImage"},
        {"NTIM.bin", false, "", 12, "Unable to install NTIM file"},
        {"extra.bin", false, "", 13, "Unable to install firmware file extra.bin"},
        {"kivrainstaller", true, md5Of("other"), 4, "MD5 check failed for kivrainstaller"},
        {"extra.bin", true, "UPPER", 4, "MD5 check failed for extra.bin"},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        (void)::unlink((pkg + "/" + row.name).c_str());
        if (row.present) {
            writeBytes(pkg + "/" + row.name, content);
        }
        std::string digest = row.digest.empty() ? md5Of(content) : row.digest;
        if (digest == "UPPER") {
            digest = md5Of(content);
            for (char& c : digest) c = static_cast<char>(::toupper(c));
        }
        writeList(digest + " " + row.name + "\n");
        std::string console;
        EXPECT_EQ(installFirmware(console), row.code);
        EXPECT_NE(console.find(failure(row.message, row.code)), std::string::npos) << console;
    }
    EXPECT_TRUE(exists(pkg + "/kivrainstaller"));  // only verified, never deleted
}

struct PassRow {
    const char* name;  // its class: decrypted or copied
    size_t length;
    long flipped;  // the byte that differs from the listed content; -1: none
};

// The digest is taken in the pass that writes the file: a difference anywhere in it is found,
// in the first, a middle or the last transfer unit (a short one, or a whole one).
TEST_F(InstallFirmwareTest, DigestTakenInThePassFindsADifferenceInAnyUnit) {
    constexpr size_t kUnit = qvsystemtools::kTransferUnit;
    const PassRow rows[] = {
        {"rootfs.sqfs", 3 * kUnit + 100, 0},
        {"rootfs.sqfs", 3 * kUnit + 100, kUnit + kUnit / 2},
        {"rootfs.sqfs", 3 * kUnit + 100, 3 * kUnit + 99},
        {"zImage", kUnit, kUnit - 1},
        {"zImage", kUnit, -1},
        {"extra.bin", 2 * kUnit + 1, 2 * kUnit},
        {"extra.bin", 2 * kUnit + 1, -1},
    };
    for (const PassRow& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " byte " + std::to_string(row.flipped));
        const std::string listed = randomBytes(row.length, 30);
        std::string delivered = listed;
        if (row.flipped >= 0) {
            delivered[static_cast<size_t>(row.flipped)] ^= 0x01;
        }
        deliver(row.name, delivered);
        writeList(md5Of(listed) + " " + row.name + "\n");
        std::string console;
        const int expected = row.flipped >= 0 ? KivraInstaller::Md5Mismatch : 0;
        EXPECT_EQ(installFirmware(console), expected);
        EXPECT_EQ(console,
                  expected == 0 ? "" : failure(std::string("MD5 check failed for ") + row.name, 4));
        // Written whole either way; a mismatch keeps the package file.
        EXPECT_TRUE(readBytes(staging + "/" + row.name) == delivered);
        EXPECT_EQ(exists(pkg + "/" + row.name), expected != 0);
    }
}

// A write that fails part-way (a full staging partition) fails the entry as a failed
// decryption or copy, never as a digest mismatch of the short file.
TEST_F(InstallFirmwareTest, WriteFailingInTheMiddleOfAFileFailsItsStaging) {
    ASSERT_EQ(::mount("qvtest-small", staging.c_str(), "tmpfs", 0, "size=128k"), 0)
        << std::strerror(errno);
    const FailureRow rows[] = {
        {"rootfs.sqfs", true, "", 1, "Unable to decrypt rootfs.sqfs"},
        {"extra.bin", true, "", 13, "Unable to install firmware file extra.bin"},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string content = randomBytes(5 * qvsystemtools::kTransferUnit, 31);
        deliver(row.name, content);
        writeList(md5Of(content) + " " + row.name + "\n");
        std::string console;
        ::testing::internal::CaptureStderr();
        const int code = installFirmware(console);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(console, failure(row.message, row.code));
        EXPECT_EQ(errors, row.code == 13 ? "[qvsystemtools::copyFile] Destination " + staging +
                                               "/extra.bin cannot be written\n"
                                         : "");
        EXPECT_TRUE(exists(pkg + "/" + row.name));
        (void)::unlink((staging + "/" + row.name).c_str());
    }
    (void)::umount2(staging.c_str(), MNT_DETACH);
}

TEST_F(InstallFirmwareTest, MissingDigestListGivesCode1) {
    std::string console;
    EXPECT_EQ(installFirmware(console), KivraInstaller::Failure);
    EXPECT_EQ(console, failure("Unable to decrypt images.md5", 1));
}

}  // namespace
}  // namespace KIVRA
