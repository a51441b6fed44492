// Malicious and broken packages through the installer program, one table row each: every run
// ends within a bounded time with a clear error line and exit status 1, or, where the package
// is merely odd, installs it to its end on the flash stand-in. Each starts on a device whose
// earlier update waits for its reboot, and none leaves the flag set over a staging directory
// it changed. Nothing is written outside /tmp, /mnt/hda1/fwimages and /mnt/hda1/Kvtemp. The
// installer's 2 s status pauses are skipped (testing::flashStandinEnv).

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <functional>

#include "tests/app/install_run_fixture.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::kPkg;
using testing::kStaging;
using testing::lines;
using testing::md5Of;
using testing::randomBytes;
using testing::readBytes;
using testing::writeBytes;

// The last line of a package that installs.
const std::string kInstalled = "> [qvinstaller] End (0)";
const std::string kSecret = "/mnt/hda1/system/secret";

class HostilePackageTest;

struct HostileCase {
    const char* name;
    std::function<void(HostilePackageTest&)> prepare;  // builds the package in kPkg
    std::string line;                                  // the error line the run must print
    bool scriptWritesOutside = false;  // the pre-install script is the package's own code
    bool goesOn = false;               // line is a notice after which the run installs
};

void PrintTo(const HostileCase& row, std::ostream* out) { *out << row.name; }

class HostilePackageTest : public testing::StandinFlashTest,
                           public ::testing::WithParamInterface<HostileCase> {
public:
    using InstallRunFixture::images;
    using InstallRunFixture::pack;
    using InstallRunFixture::package;
    std::vector<std::pair<std::string, std::string>> staged;  // odd files the run must install

    // Replaces the package's digest list by plain (encrypted like the real one).
    void digestList(const std::string& plain) { package.digestList(plain); }
    void initScript(const std::string& script) { replaceScript(script); }
    // A package of n small plain files listed in the digest list.
    void manyFiles(int n) {
        pack();
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            const std::string name = "part" + std::to_string(i) + ".bin";
            const std::string content = "content " + std::to_string(i);
            writeBytes(kPkg + "/" + name, content);
            names.push_back(name);
            staged.emplace_back(name, content);
        }
        digestList(testing::md5sumList(kPkg, names));
        images.clear();  // the package's digest list names the parts alone
    }
    // A package whose digest list names one more plain file, called name.
    void extraFile(const std::string& name) {
        pack();
        writeBytes(kPkg + "/" + name, "odd\n");
        staged.emplace_back(name, "odd\n");
        digestList(readPlainList() + md5Of("odd\n") + " " + name + "\n");
    }
    std::string readPlainList() { return package.decrypted("images.md5"); }
    // Replaces a package entry by a FIFO, a directory, a device node or a link to kSecret.
    void replaceEntry(const std::string& name, mode_t kind) {
        pack();
        const std::string path = kPkg + "/" + name;
        writeBytes(kSecret, readBytes(path));  // the real entry, now outside the package
        ASSERT_EQ(::unlink(path.c_str()), 0);
        if (S_ISLNK(kind)) {
            ASSERT_EQ(::symlink(kSecret.c_str(), path.c_str()), 0);
        } else if (S_ISDIR(kind)) {
            ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        } else if (S_ISCHR(kind)) {
            // /dev/zero's numbers: a file without end.
            if (::mknod(path.c_str(), S_IFCHR | 0600, ::makedev(1, 5)) != 0) {
                GTEST_SKIP() << "device nodes cannot be made here";
            }
        } else {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
    }

    // Paths below /mnt outside the installer's two directories, with size and time for all but
    // directories (whose own times change as the staging directory is made anew).
    static std::string outsideSnapshot() {
        const auto found =
            testing::runProcess({"/usr/bin/find", "/mnt", "(", "-path", kStaging, "-o", "-path",
                                 "/mnt/hda1/Kvtemp", ")", "-prune", "-o", "-type", "d", "-printf",
                                 "%p/\n", "-o", "-printf", "%p %y %s %T@\n"});
        EXPECT_EQ(found.exitStatus, 0) << found.err;
        return found.out;
    }
};

TEST_P(HostilePackageTest, EndsWithClearErrorInBoundedTimeWritingOnlyItsDirectories) {
    ASSERT_EQ(::system("mkdir -p /mnt/hda1/system"), 0);
    writeBytes(kSecret, "kept\n");
    GetParam().prepare(*this);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    preparePendingUpdate();
    const std::string before = outsideSnapshot();
    const std::string secret = readBytes(kSecret);

    std::vector<std::string> argv = {"/usr/bin/timeout", "-k", "5", "60"};
    for (const std::string& word : testing::programCommand({testing::binPath("qvinstaller")})) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {kPkg, "C1"});
    std::vector<std::string> environment = env;
    for (const std::string& entry : testing::flashStandinEnv("/tmp/flash.bin")) {
        environment.push_back(entry);
    }
    const auto start = std::chrono::steady_clock::now();
    const auto run = testing::runProcess(argv, environment);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ASSERT_NE(run.exitStatus, 124) << "hang: stopped after 60 s\n" << run.out;
    const bool installs = GetParam().line == kInstalled || GetParam().goesOn;
    EXPECT_EQ(run.exitStatus, installs ? 0 : 1) << run.out << run.err;
    const auto out = lines(run.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), installs ? kInstalled : "> [qvinstaller] Error");
    expectFlagOverCompleteStaging(run.exitStatus);
    EXPECT_NE(std::find(out.begin(), out.end(), GetParam().line), out.end())
        << "missing: " << GetParam().line << "\n"
        << run.out.substr(0, 4000);
    for (const auto& [name, content] : staged) {
        EXPECT_TRUE(exists(kStaging + "/" + name) && readBytes(kStaging + "/" + name) == content)
            << name;
    }
    EXPECT_FALSE(exists("/tmp/kivrainstaller.lck"));
    EXPECT_EQ(readBytes(kSecret), secret);
    if (GetParam().scriptWritesOutside) {
        // The script is the package's own code and runs as root: its writes land.
        EXPECT_TRUE(exists("/mnt/hda1/system/by-script"));
    } else {
        EXPECT_EQ(outsideSnapshot(), before);
    }
    std::printf("[ outcome  ] %s: exit %d in %.1f s, %s\n", GetParam().name, run.exitStatus,
                seconds, GetParam().line.c_str());
}

std::string hugeLine(size_t bytes) { return std::string(bytes, 'A'); }

const HostileCase kCases[] = {
    {"BinaryJunkManifest",
     [](HostilePackageTest& t) {
         t.pack();
         writeBytes(kPkg + "/manifest.txt", randomBytes(65536, 7));
     },
     "[KivraInstaller::checkProductType] PRODUCT_TYPE not found in manifest (err 8)"},
    {"ManifestOfMegabytesWithOneHugeLine",
     [](HostilePackageTest& t) {
         t.pack();
         const std::string manifest = readBytes(kPkg + "/manifest.txt");
         writeBytes(kPkg + "/manifest.txt", manifest + "JUNK=" + hugeLine(16 << 20) + "\n");
     },
     kInstalled},
    {"DigestListOfMegabytesWithOneHugeLine",
     [](HostilePackageTest& t) {
         t.pack();
         t.digestList(t.readPlainList() + hugeLine(16 << 20) + "\n");
     },
     "[KivraInstaller::installFirmware] Invalid md5 file (err 11)"},
    {"ManifestWithCarriageReturns",
     [](HostilePackageTest& t) {
         t.pack();
         writeBytes(kPkg + "/manifest.txt",
                    "PRODUCT_TYPE=BIRCH\r\nKIVRA_VERSION=4.2.0\r\nR1_C1_VERSION=\"1\"\r\n");
     },
     "[KivraInstaller::checkProductType] Manifest product type BIRCH\r mismatches device "
     "product type BIRCH (err 2)"},
    {"DigestListWithCarriageReturns",
     [](HostilePackageTest& t) {
         t.pack();
         std::string list;
         for (const std::string& line : lines(t.readPlainList())) list += line + "\r\n";
         t.digestList(list);
     },
     kInstalled},
    {"NulByteInDigestListName",
     [](HostilePackageTest& t) {
         t.pack();
         t.digestList(t.readPlainList() + md5Of("x") + " notes" + std::string(1, '\0') + ".txt\n");
     },
     "[KivraInstaller::installFirmware] Invalid md5 file (err 11)"},
    {"NameWithShellMetacharacters",
     [](HostilePackageTest& t) { t.extraFile("$(touch${IFS}pwned);`reboot`|&<>'\"*?"); },
     kInstalled},
    {"NameWithNonUtf8Bytes", [](HostilePackageTest& t) { t.extraFile("\xff\xfe\xc0.bin"); },
     kInstalled},
    {"UnlistedNameWithNewline",
     [](HostilePackageTest& t) {
         t.pack();
         writeBytes(kPkg + "/evil\nuImage", "left alone");
     },
     kInstalled},
    {"DigestListNamingThousandsOfFiles", [](HostilePackageTest& t) { t.manyFiles(3000); },
     kInstalled},
    {"ImageIsLinkOutsidePackage", [](HostilePackageTest& t) { t.replaceEntry("uImage", S_IFLNK); },
     "[KivraInstaller::installFirmware] Unable to decrypt uImage (err 1)"},
    {"NtimIsLinkOutsidePackage", [](HostilePackageTest& t) { t.replaceEntry("NTIM.bin", S_IFLNK); },
     "[KivraInstaller::installFirmware] Unable to install NTIM file (err 12)"},
    {"ImageIsDirectory", [](HostilePackageTest& t) { t.replaceEntry("dtb.recovery", S_IFDIR); },
     "[KivraInstaller::installFirmware] Unable to decrypt dtb.recovery (err 1)"},
    {"NtimIsFifo", [](HostilePackageTest& t) { t.replaceEntry("NTIM.bin", S_IFIFO); },
     "[KivraInstaller::installFirmware] Unable to install NTIM file (err 12)"},
    {"ImageIsDeviceNode", [](HostilePackageTest& t) { t.replaceEntry("rootfs.sqfs", S_IFCHR); },
     "[KivraInstaller::installFirmware] Unable to decrypt rootfs.sqfs (err 1)"},
    {"ProgramIsFifo", [](HostilePackageTest& t) { t.replaceEntry("kivrainstaller", S_IFIFO); },
     "[KivraInstaller::installFirmware] Unable to compute MD5 sum for file kivrainstaller "
     "(err 1)"},
    {"ManifestIsFifo", [](HostilePackageTest& t) { t.replaceEntry("manifest.txt", S_IFIFO); },
     "[KivraInstaller::install] Manifest copy to tmp failed (err 10)"},
    {"DigestListIsFifo", [](HostilePackageTest& t) { t.replaceEntry("images.md5", S_IFIFO); },
     "[KivraInstaller::installFirmware] Unable to decrypt images.md5 (err 1)"},
    {"InitScriptIsFifo", [](HostilePackageTest& t) { t.replaceEntry("init.sh", S_IFIFO); },
     kInstalled},
    {"InitScriptIsLinkOutsidePackage",
     [](HostilePackageTest& t) { t.replaceEntry("init.sh", S_IFLNK); },
     "Running pre install script failed, unable to decrypt it, continue", false, true},
    {"ImageLargerThanFreeSpaceInStaging",
     [](HostilePackageTest& t) {
         t.images[1].second = randomBytes(3 << 20, 41);  // rootfs.sqfs
         t.pack();
         ASSERT_EQ(::mount("qvtest-small", "/mnt/hda1", "tmpfs", 0, "size=2m"), 0);
         ASSERT_EQ(::system("mkdir -p /mnt/hda1/Kvtemp /mnt/hda1/system"), 0);
         writeBytes(kSecret, "kept\n");
     },
     "[KivraInstaller::installFirmware] Unable to decrypt rootfs.sqfs (err 1)"},
    {"WronglyKeyedImage",
     [](HostilePackageTest& t) {
         t.pack();
         testing::writeEncrypted(kPkg + "/uImage", t.images[0].second, "9.9.9");
     },
     "[KivraInstaller::installFirmware] MD5 check failed for uImage (err 4)"},
    {"TruncatedImage",
     [](HostilePackageTest& t) {
         t.pack();
         ASSERT_EQ(::truncate((kPkg + "/uImage").c_str(), 1000), 0);
     },
     "[KivraInstaller::installFirmware] MD5 check failed for uImage (err 4)"},
    {"TruncatedDigestList",
     [](HostilePackageTest& t) {
         t.pack();
         ASSERT_EQ(::truncate((kPkg + "/images.md5").c_str(), 20), 0);
     },
     "[KivraInstaller::installFirmware] Invalid md5 file (err 11)"},
    {"InitScriptForksChildThatOutlivesIt",
     [](HostilePackageTest& t) {
         t.pack();
         t.initScript("(sleep 30; touch /tmp/late) </dev/null >/dev/null 2>&1 &\n");
     },
     kInstalled},
    {"InitScriptSleeps",
     [](HostilePackageTest& t) {
         t.pack();
         t.initScript("sleep 1\n");
     },
     kInstalled},
    {"InitScriptWritesOutside",
     [](HostilePackageTest& t) {
         t.pack();
         t.initScript("echo written > /mnt/hda1/system/by-script\n");
     },
     kInstalled, true},
};

INSTANTIATE_TEST_SUITE_P(Packages, HostilePackageTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace KIVRA
