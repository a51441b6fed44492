// The release tool qvpack: packages it builds are what the installer accepts, and verify
// catches what the installer would refuse.

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/qv_encryption.h"
#include "qvsystemtools/command.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::ProcessResult;
using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

const std::string kMagic("\x27\x05\x19\x56", 4);

ProcessResult qvpack(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testing::binPath("qvpack")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::runProcess(argv);
}

bool hasLine(const std::string& text, const std::string& line) {
    for (const std::string& l : testing::lines(text)) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

bool hasLineStarting(const std::string& text, const std::string& start) {
    for (const std::string& l : testing::lines(text)) {
        if (l.rfind(start, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::string md5Of(const std::string& data, const TempDir& dir) {
    writeBytes(dir / "md5in", data);
    return testing::runProcess({"/usr/bin/md5sum", dir / "md5in"}).out.substr(0, 32);
}

std::string decryptWith(const std::string& passphrase, const std::string& path,
                        const std::string& scratch) {
    QvEncryption crypto;
    EXPECT_EQ(crypto.setKey(passphrase), 0);
    EXPECT_EQ(crypto.decryptFile(path, scratch), 0);
    return readBytes(scratch);
}

// Plain files of every class, made in dir/src.
struct Sources {
    explicit Sources(const TempDir& dir) : root(dir / "src") {
        EXPECT_EQ(::mkdir(root.c_str(), 0755), 0);
        add("uImage", kMagic + testing::randomBytes(5000, 1));
        add("rootfs.sqfs.uboot", kMagic + testing::randomBytes(70000, 2));
        add("zImage", testing::randomBytes(4097, 3));
        add("dtb.recovery", testing::randomBytes(15, 4));
        add("NTIM.bin", testing::randomBytes(300, 5));
        add("kivrainstaller", testing::randomBytes(2000, 6));
        EXPECT_EQ(::chmod((root + "/kivrainstaller").c_str(), 0755), 0);
        add("settings.conf", "a=1\n");
        writeBytes(root + "/pre.sh", "#!/bin/sh\necho pre\n");
    }
    void add(const std::string& name, const std::string& data) {
        writeBytes(root + "/" + name, data);
        names.push_back(name);
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const std::string& name : names) {
            result.push_back(root + "/" + name);
        }
        return result;
    }
    std::string root;
    std::vector<std::string> names;
};

ProcessResult create(const std::string& out, const Sources& sources,
                     const std::string& version = "4.2.1-r7") {
    std::vector<std::string> args = {
        "create", out,     "--version", version,         "--product-type",
        "BIRCH",  "--set", "EXTRA=x=y", "--init-script", sources.root + "/pre.sh"};
    const std::vector<std::string> paths = sources.paths();
    args.insert(args.end(), paths.begin(), paths.end());
    return qvpack(args);
}

TEST(Qvpack, CreatedPackageHoldsEncryptedImagesCopiedFilesAndManifest) {
    TempDir dir;
    const Sources sources(dir);
    const ProcessResult made = create(dir / "pkg", sources);
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(made.err, "");

    EXPECT_EQ(readBytes(dir / "pkg/manifest.txt"),
              "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2.1-r7\nINIT_SH_DIGEST=" +
                  md5Of("#!/bin/sh\necho pre\n", dir) + "\nEXTRA=x=y\n");
    for (const std::string name : {"uImage", "rootfs.sqfs.uboot", "zImage", "dtb.recovery"}) {
        const std::string plain = readBytes(sources.root + "/" + name);
        const std::string packed = readBytes(dir / ("pkg/" + name));
        EXPECT_EQ(packed.size(), plain.size()) << name;
        EXPECT_NE(packed, plain) << name << " must travel encrypted";
        EXPECT_EQ(decryptWith("4.2.1-r7", dir / ("pkg/" + name), dir / "scratch"), plain) << name;
    }
    for (const std::string name : {"NTIM.bin", "kivrainstaller", "settings.conf"}) {
        EXPECT_EQ(readBytes(dir / ("pkg/" + name)), readBytes(sources.root + "/" + name))
            << name << " must travel unchanged";
    }
    struct stat st {};
    ASSERT_EQ(::stat((dir / "pkg/kivrainstaller").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(decryptWith("4.2.1-r7", dir / "pkg/init.sh", dir / "scratch"),
              "#!/bin/sh\necho pre\n");
}

TEST(Qvpack, CreateWarnsAboutANameLikeAnImageNameAndSumsUpWhatItWrote) {
    TempDir dir;
    writeBytes(dir / "zImage", "kernel");
    writeBytes(dir / "rootfs.sqf", "root file system");
    const ProcessResult made = qvpack({"create", dir / "pkg", "--version", "1", "--product-type",
                                       "ALDER", dir / "zImage", dir / "rootfs.sqf"});
    EXPECT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(made.err,
              "qvpack: warning: " + (dir / "rootfs.sqf") +
                  ": \"rootfs.sqf\" travels unchanged, as a file of the other class; did you mean "
                  "rootfs.sqfs?\n");
    EXPECT_EQ(made.out, "qvpack: created " + (dir / "pkg") +
                            ": 4 files (2 encrypted), PRODUCT_TYPE=ALDER, KIVRA_VERSION=1\n");
    EXPECT_EQ(readBytes(dir / "pkg/rootfs.sqf"), "root file system");
}

TEST(Qvpack, DigestListIsCoreutilsMd5sumOutputOfThePlainFiles) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    std::string command = "cd '" + sources.root + "' && /usr/bin/md5sum";
    for (const std::string& name : sources.names) {
        command += " " + name;
    }
    const ProcessResult md5 = testing::runProcess({"/bin/sh", "-c", command});
    ASSERT_EQ(md5.exitStatus, 0) << md5.err;
    EXPECT_EQ(decryptWith("4.2.1-r7", dir / "pkg/images.md5", dir / "scratch"), md5.out);
}

TEST(Qvpack, VerifyAcceptsWhatCreateBuilt) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    const ProcessResult verified = qvpack({"verify", dir / "pkg"});
    EXPECT_EQ(verified.exitStatus, 0) << verified.out << verified.err;
    EXPECT_TRUE(
        hasLine(verified.out, "manifest.txt: OK (PRODUCT_TYPE=BIRCH, KIVRA_VERSION=4.2.1-r7)"));
    for (const std::string& name : sources.names) {
        const std::string plain = readBytes(sources.root + "/" + name);
        EXPECT_TRUE(hasLine(verified.out, name + ": OK (" + std::to_string(plain.size()) +
                                              " bytes, md5 " + md5Of(plain, dir) + ")"))
            << name << "\n"
            << verified.out;
    }
    EXPECT_TRUE(hasLine(verified.out,
                        "init.sh: OK (19 bytes, md5 " + md5Of("#!/bin/sh\necho pre\n", dir) + ")"))
        << verified.out;
}

TEST(Qvpack, VerifyCatchesAFlippedByteInAnEncryptedAndInACopiedFile) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    for (const std::string name : {"rootfs.sqfs.uboot", "settings.conf"}) {
        const std::string path = dir / ("pkg/" + name);
        std::string data = readBytes(path);
        data[data.size() / 2] ^= 0x01;
        writeBytes(path, data);
    }
    const ProcessResult verified = qvpack({"verify", dir / "pkg"});
    EXPECT_EQ(verified.exitStatus, 1);
    for (const std::string name : {"rootfs.sqfs.uboot", "settings.conf"}) {
        const std::string plain = readBytes(sources.root + "/" + name);
        EXPECT_TRUE(hasLineStarting(
            verified.out, name + ": FAILED (MD5 mismatch; " + std::to_string(plain.size()) +
                              " bytes, expected md5 " + md5Of(plain, dir) + ", actual "))
            << verified.out;
    }
    EXPECT_TRUE(hasLineStarting(verified.out, "uImage: OK"));
    EXPECT_EQ(verified.err, "qvpack: 2 of 9 checks failed\n");
}

TEST(Qvpack, VerifyRefusesAPackageUnderAnotherVersion) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    writeBytes(dir / "pkg/manifest.txt", "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2.1-r8\n");
    const ProcessResult verified = qvpack({"verify", dir / "pkg"});
    EXPECT_EQ(verified.exitStatus, 1);
    EXPECT_FALSE(hasLineStarting(verified.out, "uImage: OK"));
    EXPECT_NE(verified.out.find("images.md5: FAILED"), std::string::npos) << verified.out;
}

// A package made by hand with the library, so verify is checked against entries create
// would never write.
struct HandMadePackage {
    explicit HandMadePackage(const TempDir& dir) : root(dir / "hand"), scratch(dir / "list") {
        EXPECT_EQ(::mkdir(root.c_str(), 0755), 0);
        EXPECT_EQ(crypto.setKey("7.0"), 0);
        writeBytes(root + "/manifest.txt", "PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\n");
    }
    void encrypted(const std::string& name, const std::string& plain) {
        writeBytes(scratch, plain);
        EXPECT_EQ(crypto.encryptFile(scratch, root + "/" + name), 0);
    }
    void list(const std::string& text) { encrypted("images.md5", text); }
    std::string root;
    std::string scratch;
    QvEncryption crypto;
};

struct DamageRow {
    const char* what;
    std::vector<std::string> options;              // before PKGDIR
    std::function<void(HandMadePackage&)> damage;  // applied to a good package
    std::string line;                              // the expected start of a line
    int status = 1;  // 0 where the installer goes on: the line is a warning
};

TEST(Qvpack, VerifyRefusesWhatTheInstallerRefusesAndWarnsWhereItGoesOn) {
    TempDir dir;
    const std::string image = testing::randomBytes(700, 31);
    const std::string list =
        md5Of(image, dir) + "  zImage\n" + md5Of(image, dir) + "  dtb.recovery\n";
    const DamageRow rows[] = {
        {"an image that is a link",
         {},
         [&](HandMadePackage& pkg) {
             ASSERT_EQ(::rename((pkg.root + "/dtb.recovery").c_str(), (dir / "dtb.x").c_str()), 0);
             ASSERT_EQ(::symlink((dir / "dtb.x").c_str(), (pkg.root + "/dtb.recovery").c_str()), 0);
         },
         "dtb.recovery: FAILED (not a regular file (a link, a directory, a FIFO or a device node)"},
        {"an image that is a FIFO",
         {},
         [&](HandMadePackage& pkg) {
             ASSERT_EQ(::unlink((pkg.root + "/zImage").c_str()), 0);
             ASSERT_EQ(::mkfifo((pkg.root + "/zImage").c_str(), 0600), 0);
         },
         "zImage: FAILED (not a regular file"},
        {"a product name as the type",
         {},
         [&](HandMadePackage& pkg) {
             writeBytes(pkg.root + "/manifest.txt", "PRODUCT_TYPE=QT10X\nKIVRA_VERSION=7.0\n");
         },
         "manifest.txt: FAILED (PRODUCT_TYPE QT10X is the type of no product; QT10X is a "
         "product name, of type ALDER"},
        {"a type no product has",
         {},
         [&](HandMadePackage& pkg) {
             writeBytes(pkg.root + "/manifest.txt", "PRODUCT_TYPE=FOO\nKIVRA_VERSION=7.0\n");
         },
         "manifest.txt: FAILED (PRODUCT_TYPE FOO is the type of no product (types: ALDER "
         "ALDER_PRO BIRCH ROWAN))"},
        {"another product's type",
         {"--product", "VK30E"},
         [&](HandMadePackage&) {},
         "manifest.txt: FAILED (Manifest product type ROWAN mismatches device product type BIRCH"},
        {"init.sh under another version",
         {},
         [&](HandMadePackage& pkg) {
             QvEncryption other;
             ASSERT_EQ(other.setKey("7.1"), 0);
             writeBytes(dir / "script", "#!/bin/sh\necho pre-install\n");
             ASSERT_EQ(other.encryptFile(dir / "script", pkg.root + "/init.sh"), 0);
         },
         "init.sh: WARNING (does not decrypt to a shell script (damaged, or a wrong "
         "KIVRA_VERSION); the installer runs it with /bin/sh, logs its failure and goes on;",
         0},
        {"a corrupted init.sh",
         {},
         [&](HandMadePackage& pkg) {
             writeBytes(pkg.root + "/manifest.txt",
                        "PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\nINIT_SH_DIGEST=" +
                            md5Of("#!/bin/sh\necho pre-install\n", dir) + "\n");
             std::string script = readBytes(pkg.root + "/init.sh");
             script[3] ^= 0x55;
             writeBytes(pkg.root + "/init.sh", script);
         },
         "init.sh: FAILED (MD5 mismatch with INIT_SH_DIGEST; 27 bytes, expected md5 "},
        {"a radio version without its digest",
         {},
         [&](HandMadePackage& pkg) {
             writeBytes(pkg.root + "/manifest.txt",
                        "PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\nR1_C1_VERSION=2\n");
         },
         "R1_C1: WARNING (R1_C1_MD5 is missing; the installer cannot compare the radio-module "
         "image and goes on (exit 0, or 2 when the versions differ))",
         0},
        {"a package for the QT10",
         {"--product", "QT10"},
         [&](HandMadePackage& pkg) {
             writeBytes(pkg.root + "/manifest.txt", "PRODUCT_TYPE=ALDER\nKIVRA_VERSION=7.0\n");
         },
         "manifest.txt: FAILED (Product not supported: the installer takes no package on a QT10 "
         "(\"Upgrade check failed\", err 18))"},
    };
    for (const DamageRow& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir each;
        HandMadePackage pkg(each);
        pkg.encrypted("zImage", image);
        pkg.encrypted("dtb.recovery", image);
        pkg.encrypted("init.sh", "#!/bin/sh\necho pre-install\n");
        pkg.list(list);
        row.damage(pkg);
        std::vector<std::string> args = {"verify"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(pkg.root);
        const ProcessResult verified = qvpack(args);
        EXPECT_EQ(verified.exitStatus, row.status) << verified.err;
        EXPECT_TRUE(hasLineStarting(verified.out, row.line)) << verified.out;
    }
}

TEST(Qvpack, VerifyWritesNoPlainCopyAndReportsAMachineFaultAsSuch) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    // Nothing is decrypted to disk, so a work directory that cannot be used changes nothing.
    ProcessResult r = testing::runProcess({testing::binPath("qvpack"), "verify", dir / "pkg"},
                                          {"TMPDIR=" + (dir / "no/such/dir")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    // A report that cannot be written is the machine's fault, not the package's.
    std::string command;
    for (const std::string& word :
         testing::programCommand({testing::binPath("qvpack"), "verify", dir / "pkg"})) {
        command += qvsystemtools::shellQuote(word) + " ";
    }
    r = testing::runProcess({"/bin/sh", "-c", command + "> /dev/full"});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "qvpack: cannot write the report to standard output\n");
    // create writes its plain digest list below TMPDIR: one it cannot use is the machine's
    // fault too, and leaves no package.
    r = testing::runProcess({testing::binPath("qvpack"), "create", dir / "pkg2", "--version", "1",
                             "--product-type", "BIRCH", sources.root + "/zImage"},
                            {"TMPDIR=" + (dir / "no/such/dir")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err.rfind("qvpack: cannot create a work directory in ", 0), 0U) << r.err;
    EXPECT_FALSE(exists(dir / "pkg2"));
}

TEST(Qvpack, VerifyRefusesUbootImageWithoutHeaderMagicThoughItsDigestMatches) {
    TempDir dir;
    HandMadePackage pkg(dir);
    const std::string noMagic = testing::randomBytes(1000, 11);
    pkg.encrypted("uImage", noMagic);
    pkg.encrypted("zImage", noMagic);
    pkg.list(md5Of(noMagic, dir) + "  uImage\n" + md5Of(noMagic, dir) + "  zImage\n");
    const ProcessResult verified = qvpack({"verify", pkg.root});
    EXPECT_EQ(verified.exitStatus, 1);
    EXPECT_TRUE(hasLine(verified.out,
                        "uImage: FAILED (no U-Boot header 27 05 19 56 after "
                        "decryption; 1000 bytes, md5 " +
                            md5Of(noMagic, dir) + ")"))
        << verified.out;
    EXPECT_TRUE(hasLineStarting(verified.out, "zImage: OK")) << verified.out;
}

TEST(Qvpack, VerifyReportsEntriesTheInstallerWouldRefuseOrMisread) {
    TempDir dir;
    HandMadePackage pkg(dir);
    const std::string zero(32, '0');
    writeBytes(pkg.root + "/other.bin", "data");
    pkg.list(zero + "  ../escape\n" + md5Of("data", dir) + "\tother.bin\n" + md5Of("data", dir) +
             "  other.bin\n" + zero + "  absent.img\n" +
             "D41D8CD98F00B204E9800998ECF8427E  images.md5\n" + zero);
    const ProcessResult verified = qvpack({"verify", pkg.root});
    EXPECT_EQ(verified.exitStatus, 1);
    const std::vector<std::string> expected = {
        "manifest.txt: OK (PRODUCT_TYPE=ROWAN, KIVRA_VERSION=7.0)",
        "../escape: FAILED (not a plain file name of the package directory)",
        "other.bin: OK (4 bytes, md5 " + md5Of("data", dir) + ")",
        "other.bin: FAILED (listed twice)",
        "absent.img: FAILED (missing from the package)",
        "images.md5: FAILED (the name belongs to the package itself)",
        "images.md5: FAILED (digest " + zero + " has no file name)",
    };
    EXPECT_EQ(testing::lines(verified.out), expected);
}

TEST(Qvpack, VerifyJsonGivesEachFileItsClassAndDigestStateAndEveryManifestKey) {
    TempDir dir;
    HandMadePackage pkg(dir);
    // Values the JSON text must escape or repair: a quote, a backslash, a tab, a control
    // byte, valid UTF-8, a stray byte, an overlong form and a cut-off sequence.
    writeBytes(pkg.root + "/manifest.txt",
               "PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\nQUOTE=a\"b\\c\tz\x01\n"
               "TEXT=caf\xc3\xa9 \xff \xc0\xaf \xe2\x82\n");
    const std::string image = kMagic + testing::randomBytes(900, 21);
    pkg.encrypted("uImage", image);
    pkg.encrypted("zImage", "kernel");
    pkg.encrypted("uImage.recovery", "no header");
    writeBytes(pkg.root + "/NTIM.bin", "ntim");
    writeBytes(pkg.root + "/extra.bin", "x");
    pkg.encrypted("init.sh", "#!/bin/sh\n");
    const std::string zero(32, '0');
    pkg.list(md5Of(image, dir) + "  uImage\n" + zero + "  zImage\n" + md5Of("no header", dir) +
             "  uImage.recovery\n" + md5Of("ntim", dir) + "  NTIM.bin\n" + zero + "  absent.img\n" +
             zero + "  a/b\n");

    const ProcessResult json = qvpack({"verify", "--json", pkg.root});
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(
        json.out,
        "{\n  \"package\": \"" + pkg.root +
            "\",\n"
            "  \"manifest\": {\"KIVRA_VERSION\": \"7.0\", \"PRODUCT_TYPE\": \"ROWAN\", "
            "\"QUOTE\": \"a\\\"b\\\\c\\u0009z\\u0001\", \"TEXT\": \"caf\xc3\xa9 " +
            fffd + " " + fffd + fffd + " " + fffd + fffd +
            "\"},\n"
            "  \"files\": [\n"
            "    {\"name\": \"manifest.txt\", \"class\": \"manifest\", \"digest\": \"none\", "
            "\"status\": \"ok\", \"detail\": \"PRODUCT_TYPE=ROWAN, KIVRA_VERSION=7.0\", \"size\": "
            "null, \"expected_md5\": null, \"actual_md5\": null},\n"
            "    {\"name\": \"init.sh\", \"class\": \"init-script\", \"digest\": \"none\", "
            "\"status\": \"ok\", \"detail\": \"decrypted to text; no digest covers it (no "
            "INIT_SH_DIGEST in the manifest)\", "
            "\"size\": 10, \"expected_md5\": null, \"actual_md5\": \"" +
            md5Of("#!/bin/sh\n", dir) +
            "\"},\n"
            "    {\"name\": \"uImage\", \"class\": \"uboot-image\", \"digest\": \"match\", "
            "\"status\": \"ok\", \"detail\": \"\", \"size\": 904, \"expected_md5\": \"" +
            md5Of(image, dir) + "\", \"actual_md5\": \"" + md5Of(image, dir) +
            "\"},\n"
            "    {\"name\": \"zImage\", \"class\": \"plain-image\", \"digest\": \"mismatch\", "
            "\"status\": \"failed\", \"detail\": \"MD5 mismatch\", \"size\": 6, "
            "\"expected_md5\": \"" +
            zero + "\", \"actual_md5\": \"" + md5Of("kernel", dir) +
            "\"},\n"
            "    {\"name\": \"uImage.recovery\", \"class\": \"uboot-image\", \"digest\": "
            "\"match\", \"status\": \"failed\", \"detail\": \"no U-Boot header 27 05 19 56 "
            "after decryption\", \"size\": 9, \"expected_md5\": \"" +
            md5Of("no header", dir) + "\", \"actual_md5\": \"" + md5Of("no header", dir) +
            "\"},\n"
            "    {\"name\": \"NTIM.bin\", \"class\": \"ntim\", \"digest\": \"match\", "
            "\"status\": \"ok\", \"detail\": \"\", \"size\": 4, \"expected_md5\": \"" +
            md5Of("ntim", dir) + "\", \"actual_md5\": \"" + md5Of("ntim", dir) +
            "\"},\n"
            "    {\"name\": \"absent.img\", \"class\": \"other\", \"digest\": \"unchecked\", "
            "\"status\": \"failed\", \"detail\": \"missing from the package\", \"size\": null, "
            "\"expected_md5\": \"" +
            zero +
            "\", \"actual_md5\": null},\n"
            "    {\"name\": \"a/b\", \"class\": \"other\", \"digest\": \"unchecked\", "
            "\"status\": \"failed\", \"detail\": \"not a plain file name of the package "
            "directory\", \"size\": null, \"expected_md5\": \"" +
            zero +
            "\", \"actual_md5\": null},\n"
            "    {\"name\": \"extra.bin\", \"class\": \"other\", \"digest\": \"none\", "
            "\"status\": \"note\", \"detail\": \"not in the digest list; the installer leaves "
            "it alone\", \"size\": null, \"expected_md5\": null, \"actual_md5\": null}\n"
            "  ],\n  \"checks\": 8,\n  \"failures\": 4\n}\n");
    // Only the form differs from the text report: same exit status, same summary.
    const ProcessResult text = qvpack({"verify", pkg.root});
    EXPECT_EQ(json.exitStatus, 1);
    EXPECT_EQ(json.exitStatus, text.exitStatus);
    EXPECT_EQ(json.err, "qvpack: 4 of 8 checks failed\n");
    EXPECT_EQ(json.err, text.err);
    EXPECT_EQ(testing::lines(text.out).size(), 9u) << text.out;
}

TEST(Qvpack, VerifyJsonOfAGoodPackageSucceedsAndOfAnUncheckableOneIsAnErrorObject) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    ProcessResult r = qvpack({"verify", dir / "pkg", "--json"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(hasLine(r.out, "  \"failures\": 0")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "  \"checks\": 9,")) << r.out;

    writeBytes(dir / "pkg/manifest.txt", "PRODUCT_TYPE=BIRCH\n");
    r = qvpack({"verify", "--json", dir / "pkg"});
    const std::string message =
        dir / "pkg/manifest.txt has no KIVRA_VERSION: the installer stops at its manifest check";
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(
        hasLine(r.out, "  \"error\": {\"kind\": \"package\", \"message\": \"" + message + "\"}"))
        << r.out;
    EXPECT_EQ(r.err, "qvpack: " + message + "\n");

    // Without its digest list the package is refused; the object still says what was found.
    ASSERT_EQ(create(dir / "pkg2", sources).exitStatus, 0);
    ASSERT_EQ(::unlink((dir / "pkg2/images.md5").c_str()), 0);
    r = qvpack({"verify", "--json", dir / "pkg2"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.out.find("\"name\": \"manifest.txt\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("images.md5 is missing: without its digest list the installer refuses "
                         "the package"),
              std::string::npos)
        << r.out;
}

TEST(Qvpack, DecryptWritesThePlainPackage) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(create(dir / "pkg", sources).exitStatus, 0);
    const ProcessResult plain = qvpack({"decrypt", dir / "pkg", dir / "plain"});
    ASSERT_EQ(plain.exitStatus, 0) << plain.out << plain.err;
    for (const std::string& name : sources.names) {
        EXPECT_EQ(readBytes(dir / ("plain/" + name)), readBytes(sources.root + "/" + name)) << name;
    }
    EXPECT_EQ(readBytes(dir / "plain/init.sh"), "#!/bin/sh\necho pre\n");
    EXPECT_EQ(readBytes(dir / "plain/manifest.txt"), readBytes(dir / "pkg/manifest.txt"));
    EXPECT_EQ(readBytes(dir / "plain/images.md5"),
              decryptWith("4.2.1-r7", dir / "pkg/images.md5", dir / "scratch"));
}

TEST(Qvpack, SingleFileTransformMatchesTheLibraryAndRoundTrips) {
    TempDir dir;
    writeBytes(dir / "zeros", std::string(48, '\0'));
    ProcessResult r =
        qvpack({"encrypt-file", "--passphrase", "4.2.1-r7", dir / "zeros", dir / "stream"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    // The known key-stream head of "4.2.1-r7" (tests/crypto/known_answers.sh).
    const std::string stream = readBytes(dir / "stream");
    EXPECT_EQ(static_cast<unsigned char>(stream[0]), 0x7a);
    EXPECT_EQ(static_cast<unsigned char>(stream[47]), 0x5d);

    const std::string plain = testing::randomBytes(9999, 12);
    writeBytes(dir / "plain", plain);
    r = qvpack({"encrypt-file", "--passphrase=", dir / "plain", dir / "enc"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    r = qvpack({"decrypt-file", dir / "enc", "--passphrase", "", dir / "dec"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readBytes(dir / "dec"), plain);
    EXPECT_EQ(decryptWith("", dir / "enc", dir / "scratch"), plain);
}

TEST(Qvpack, HelpNamesEveryCommand) {
    const ProcessResult help = qvpack({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* command :
         {"create", "verify", "decrypt ", "encrypt-file", "decrypt-file", "sign "}) {
        EXPECT_NE(help.out.find(std::string("qvpack ") + command), std::string::npos) << command;
    }
}

struct BadInput {
    const char* what;
    std::vector<std::string> args;  // "@" stands for the source directory
    int exitStatus;
    std::string message;  // the expected start of the one error line
};

TEST(Qvpack, RejectsBadInputWithOneLineAndLeavesNoPackage) {
    TempDir dir;
    const Sources sources(dir);
    writeBytes(dir / "a b", "x");
    ASSERT_EQ(::mkdir((dir / "other").c_str(), 0755), 0);
    writeBytes(dir / "other/zImage", "x");
    writeBytes(dir / "images.md5", "x");
    writeBytes(dir / "uImage", "no magic");
    const std::string out = dir / "out";
    const std::string zImage = sources.root + "/zImage";
    const std::vector<std::string> base = {"create", out, "--product-type", "BIRCH"};
    auto createWith = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const BadInput cases[] = {
        {"no version", createWith({zImage}), 2, "qvpack: option --version is required"},
        {"version value missing", createWith({zImage, "--version"}), 2,
         "qvpack: option --version needs a value"},
        {"version swallowing the next option",
         {"create", out, "--version", "--product-type", "BIRCH", zImage},
         2,
         "qvpack: option --version needs a value"},
        {"version with a line end", createWith({"--version", "1\nX=2", zImage}), 1,
         "qvpack: manifest entry KIVRA_VERSION holds a control character"},
        {"missing file", createWith({"--version", "1", dir / "nope"}), 1, "qvpack: "},
        {"directory as file", createWith({"--version", "1", dir / "other/"}), 1, "qvpack: "},
        {"dot-dot name", createWith({"--version", "1", dir / "other/.."}), 1, "qvpack: "},
        {"name with a blank", createWith({"--version", "1", dir / "a b"}), 1, "qvpack: "},
        {"duplicate name", createWith({"--version", "1", zImage, dir / "other/zImage"}), 1,
         "qvpack: "},
        {"reserved name", createWith({"--version", "1", dir / "images.md5"}), 1, "qvpack: "},
        {"U-Boot image without magic", createWith({"--version", "1", dir / "uImage"}), 1,
         "qvpack: "},
        {"set without =", createWith({"--version", "1", "--set", "FOO", zImage}), 2,
         "qvpack: --set FOO: expected KEY=VALUE"},
        {"set repeating the version",
         createWith({"--version", "1", "--set", "KIVRA_VERSION=2", zImage}), 1,
         "qvpack: manifest key KIVRA_VERSION given twice"},
        {"missing init script",
         createWith({"--version", "1", "--init-script", dir / "nope", zImage}), 1, "qvpack: "},
        {"unknown option", createWith({"--version", "1", "--bogus", "1", zImage}), 2,
         "qvpack: unknown option --bogus"},
        {"no command", {}, 2, "qvpack: expected a command"},
        {"unknown command", {"pack"}, 2, "qvpack: unknown command pack"},
        {"verify without package", {"verify"}, 2, "qvpack: verify: expected PKGDIR"},
        {"verify with an extra argument",
         {"verify", dir / "other", "extra"},
         2,
         "qvpack: verify: unexpected argument extra (expected PKGDIR)"},
        {"verify with a one-letter option",
         {"verify", "-j", dir / "other"},
         2,
         "qvpack: unknown option -j"},
        {"verify for an unknown product",
         {"verify", "--product", "QT99", dir / "other"},
         2,
         "qvpack: --product QT99: no such product"},
        {"product name as product type",
         {"create", out, "--version", "1", "--product-type", "QT10X", zImage},
         2,
         "qvpack: --product-type QT10X is the type of no product (QT10X is a product name; its "
         "type is ALDER)"},
        {"no image", createWith({"--version", "1", sources.root + "/NTIM.bin"}), 2,
         "qvpack: no image among the files"},
        {"padded version", createWith({"--version", "1.0 ", zImage}), 2,
         "qvpack: the version (--version) \"1.0 \" begins or ends with white space"},
        {"radio version without its digest",
         createWith({"--version", "1", "--set", "R1_C1_VERSION=2", zImage}), 2,
         "qvpack: --set R1_C1_VERSION: the radio entry has no R1_C1_MD5"},
        {"verify of a missing directory", {"verify", dir / "nope"}, 1, "qvpack: "},
        {"json with a value",
         {"verify", "--json=yes", dir / "other"},
         2,
         "qvpack: option --json takes no value"},
        {"json twice",
         {"verify", "--json", "--json", dir / "other"},
         2,
         "qvpack: option --json given twice"},
        {"json on decrypt",
         {"decrypt", "--json", dir / "other", out},
         2,
         "qvpack: unknown option --json"},
        {"verify without manifest",
         {"verify", dir / "other"},
         1,
         "qvpack: " + (dir / "other/manifest.txt") + " is missing"},
        {"passphrase missing",
         {"encrypt-file", zImage, dir / "o"},
         2,
         "qvpack: option --passphrase is required"},
        {"file missing",
         {"decrypt-file", "--passphrase", "1", dir / "nope", dir / "o"},
         1,
         "qvpack: "},
        {"file onto itself", {"encrypt-file", "--passphrase", "1", zImage, zImage}, 1, "qvpack: "},
        {"full output",
         {"encrypt-file", "--passphrase", "1", zImage, "/dev/full"},
         3,
         "qvpack: cannot encrypt "},
    };
    const std::string zImageBefore = readBytes(zImage);
    for (const BadInput& c : cases) {
        const ProcessResult r = qvpack(c.args);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << c.what << ": " << r.err;
        EXPECT_EQ(testing::lines(r.err).size(), 1u) << c.what << ": " << r.err;
        EXPECT_FALSE(exists(out)) << c.what;
        EXPECT_FALSE(exists(dir / "o")) << c.what;
    }
    EXPECT_EQ(readBytes(zImage), zImageBefore);
}

// A package cut short (a crash, a power cut on the build machine) must not pass for a whole
// one: no file is opened under its final name, each arrives by rename once complete, and the
// digest list, without which the installer refuses the package, arrives last.
TEST(Qvpack, PackageFilesArriveWholeByRenameWithTheDigestListLast) {
    TempDir dir;
    const Sources sources(dir);
    const std::string pkg = dir / "pkg";
    std::vector<std::string> args = {
        "/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat,rename,renameat,renameat2", "-o",
        dir / "trace"};
    std::vector<std::string> names = sources.names;
    names.insert(names.end(), {"manifest.txt", "init.sh", "images.md5"});
    std::vector<std::string> command = {testing::binPath("qvpack"),
                                        "create",
                                        pkg,
                                        "--version",
                                        "1",
                                        "--product-type",
                                        "BIRCH",
                                        "--init-script",
                                        sources.root + "/pre.sh"};
    for (const std::string& path : sources.paths()) command.push_back(path);
    command = testing::programCommand(command);
    args.insert(args.end(), command.begin(), command.end());
    // The leak checker of a sanitized build cannot run under ptrace.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const ProcessResult made = testing::runProcess(
        args, {"ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;

    std::vector<std::string> arrived;
    for (const std::string& call : testing::lines(readBytes(dir / "trace"))) {
        for (const std::string& name : names) {
            const std::string quoted = "\"" + pkg + "/" + name + "\"";
            if (call.find(quoted) == std::string::npos) continue;
            EXPECT_EQ(call.find("open"), std::string::npos) << "opened by its final name: " << call;
            if (call.find("rename") != std::string::npos) arrived.push_back(name);
        }
    }
    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> sorted = arrived;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, expected);
    ASSERT_FALSE(arrived.empty());
    EXPECT_EQ(arrived.back(), "images.md5");
}

TEST(Qvpack, VerifyWithoutVersionInManifestIsAnError) {
    TempDir dir;
    HandMadePackage pkg(dir);
    writeBytes(pkg.root + "/manifest.txt", "PRODUCT_TYPE=ROWAN\n#KIVRA_VERSION=7.0\n");
    const ProcessResult r = qvpack({"verify", pkg.root});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "qvpack: " + pkg.root +
                         "/manifest.txt has no KIVRA_VERSION: the installer stops at its manifest "
                         "check\n");
}

TEST(Qvpack, EmptyVersionIsAcceptedLikeTheInstallerAcceptsIt) {
    TempDir dir;
    const Sources sources(dir);
    const ProcessResult made = create(dir / "pkg", sources, "");
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(made.err,
              "qvpack: warning: the version (--version) is empty: every package file is "
              "encrypted with the empty passphrase\n");
    struct Row {
        const char* manifest;
        int exitStatus;
        const char* line;
    };
    const Row rows[] = {
        {"PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=\n", 0,
         "manifest.txt: OK (PRODUCT_TYPE=BIRCH, KIVRA_VERSION=)"},
        {"PRODUCT_TYPE=\nKIVRA_VERSION=\n", 1,
         "manifest.txt: FAILED (PRODUCT_TYPE not found in manifest)"},
        {"KIVRA_VERSION=\n", 1, "manifest.txt: FAILED (PRODUCT_TYPE not found in manifest)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.manifest);
        writeBytes(dir / "pkg/manifest.txt", row.manifest);
        const ProcessResult verified = qvpack({"verify", dir / "pkg"});
        EXPECT_EQ(verified.exitStatus, row.exitStatus) << verified.err;
        EXPECT_TRUE(hasLine(verified.out, row.line)) << verified.out;
        EXPECT_TRUE(hasLineStarting(verified.out, "uImage: OK")) << verified.out;
    }
}

TEST(Qvpack, CreateRefusesANonEmptyOutputDirectoryAndKeepsIt) {
    TempDir dir;
    const Sources sources(dir);
    ASSERT_EQ(::mkdir((dir / "pkg").c_str(), 0755), 0);
    writeBytes(dir / "pkg/old", "keep");
    const ProcessResult r = create(dir / "pkg", sources);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "qvpack: " + (dir / "pkg") + ": directory is not empty\n");
    EXPECT_EQ(readBytes(dir / "pkg/old"), "keep");
}

class QvpackFullFileSystem : public testing::SandboxTest {};

TEST_F(QvpackFullFileSystem, CreateOnFullFileSystemFailsAndRemovesWhatItWrote) {
    TempDir dir;
    const Sources sources(dir);
    const std::string small = dir / "small";
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(::mount("qvtest-small", small.c_str(), "tmpfs", 0, "size=32k"), 0)
        << std::strerror(errno);
    ASSERT_EQ(::mkdir((small + "/pkg").c_str(), 0755), 0);
    const ProcessResult r = create(small + "/pkg", sources);
    const ProcessResult listing = testing::runProcess({"/bin/ls", "-A", small + "/pkg"});
    (void)::umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(listing.out, "");
}

}  // namespace
}  // namespace KIVRA
