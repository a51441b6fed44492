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

#include "qvsystemtools/command.h"
#include "tests/support/package_builder.h"

namespace KIVRA {
namespace {

using testing::exists;
using testing::md5Of;
using testing::PackageBuilder;
using testing::ProcessResult;
using testing::qvpack;
using testing::readBytes;
using testing::readDecrypted;
using testing::TempDir;
using testing::writeBytes;

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

// Plain files of every class, made in dir/src, and the package qvpack creates from them.
PackageBuilder sourcesIn(const TempDir& dir) {
    PackageBuilder sources(dir / "src", dir / "pkg");
    sources.version = "4.2.1-r7";
    sources.sets = {"EXTRA=x=y"};
    sources.initScript = "#!/bin/sh\necho pre\n";
    sources.source("uImage", testing::ubootImage(5004, 1));
    sources.source("rootfs.sqfs.uboot", testing::ubootImage(70004, 2));
    sources.source("zImage", testing::randomBytes(4097, 3));
    sources.source("dtb.recovery", testing::randomBytes(15, 4));
    sources.source("NTIM.bin", testing::randomBytes(300, 5));
    sources.source("kivrainstaller", testing::randomBytes(2000, 6), 0755);
    sources.source("settings.conf", "a=1\n");
    return sources;
}

TEST(Qvpack, CreatedPackageHoldsEncryptedImagesCopiedFilesAndManifest) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    const ProcessResult made = sources.create();
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(made.err, "");

    EXPECT_EQ(readBytes(dir / "pkg/manifest.txt"),
              "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2.1-r7\nINIT_SH_DIGEST=" +
                  md5Of("#!/bin/sh\necho pre\n") + "\nEXTRA=x=y\n");
    for (const std::string name : {"uImage", "rootfs.sqfs.uboot", "zImage", "dtb.recovery"}) {
        const std::string plain = readBytes(sources.sourceDir + "/" + name);
        const std::string packed = readBytes(dir / ("pkg/" + name));
        EXPECT_EQ(packed.size(), plain.size()) << name;
        EXPECT_NE(packed, plain) << name << " must travel encrypted";
        EXPECT_EQ(readDecrypted(dir / ("pkg/" + name), "4.2.1-r7"), plain) << name;
    }
    for (const std::string name : {"NTIM.bin", "kivrainstaller", "settings.conf"}) {
        EXPECT_EQ(readBytes(dir / ("pkg/" + name)), readBytes(sources.sourceDir + "/" + name))
            << name << " must travel unchanged";
    }
    struct stat st {};
    ASSERT_EQ(::stat((dir / "pkg/kivrainstaller").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(readDecrypted(dir / "pkg/init.sh", "4.2.1-r7"), "#!/bin/sh\necho pre\n");
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
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
    EXPECT_EQ(readDecrypted(dir / "pkg/images.md5", "4.2.1-r7"),
              testing::md5sumList(sources.sourceDir, sources.names()));
}

TEST(Qvpack, VerifyAcceptsWhatCreateBuilt) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
    const ProcessResult verified = qvpack({"verify", dir / "pkg"});
    EXPECT_EQ(verified.exitStatus, 0) << verified.out << verified.err;
    EXPECT_TRUE(
        hasLine(verified.out, "manifest.txt: OK (PRODUCT_TYPE=BIRCH, KIVRA_VERSION=4.2.1-r7)"));
    for (const std::string& name : sources.names()) {
        const std::string plain = readBytes(sources.sourceDir + "/" + name);
        EXPECT_TRUE(hasLine(verified.out, name + ": OK (" + std::to_string(plain.size()) +
                                              " bytes, md5 " + md5Of(plain) + ")"))
            << name << "\n"
            << verified.out;
    }
    EXPECT_TRUE(
        hasLine(verified.out, "init.sh: OK (19 bytes, md5 " + md5Of("#!/bin/sh\necho pre\n") + ")"))
        << verified.out;
}

TEST(Qvpack, VerifyCatchesAFlippedByteInAnEncryptedAndInACopiedFile) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
    for (const std::string name : {"rootfs.sqfs.uboot", "settings.conf"}) {
        const std::string path = dir / ("pkg/" + name);
        std::string data = readBytes(path);
        data[data.size() / 2] ^= 0x01;
        writeBytes(path, data);
    }
    const ProcessResult verified = qvpack({"verify", dir / "pkg"});
    EXPECT_EQ(verified.exitStatus, 1);
    for (const std::string name : {"rootfs.sqfs.uboot", "settings.conf"}) {
        const std::string plain = readBytes(sources.sourceDir + "/" + name);
        EXPECT_TRUE(hasLineStarting(
            verified.out, name + ": FAILED (MD5 mismatch; " + std::to_string(plain.size()) +
                              " bytes, expected md5 " + md5Of(plain) + ", actual "))
            << verified.out;
    }
    EXPECT_TRUE(hasLineStarting(verified.out, "uImage: OK"));
    EXPECT_EQ(verified.err, "qvpack: 2 of 9 checks failed\n");
}

TEST(Qvpack, VerifyRefusesAPackageUnderAnotherVersion) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
    writeBytes(dir / "pkg/manifest.txt", "PRODUCT_TYPE=BIRCH\nKIVRA_VERSION=4.2.1-r8\n");
    const ProcessResult verified = qvpack({"verify", dir / "pkg"});
    EXPECT_EQ(verified.exitStatus, 1);
    EXPECT_FALSE(hasLineStarting(verified.out, "uImage: OK"));
    EXPECT_NE(verified.out.find("images.md5: FAILED"), std::string::npos) << verified.out;
}

// A package made by hand with the library, so verify is checked against entries create
// would never write.
PackageBuilder handMade(const TempDir& dir) {
    PackageBuilder pkg(dir / "src", dir / "hand");
    pkg.version = "7.0";
    pkg.manifest("PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\n");
    return pkg;
}

struct DamageRow {
    const char* what;
    std::vector<std::string> options;                   // before PKGDIR
    std::function<void(const PackageBuilder&)> damage;  // applied to a good package
    std::string line;                                   // the expected start of a line
    int status = 1;  // 0 where the installer goes on: the line is a warning
};

TEST(Qvpack, VerifyRefusesWhatTheInstallerRefusesAndWarnsWhereItGoesOn) {
    TempDir dir;
    const std::string image = testing::randomBytes(700, 31);
    const std::string list = md5Of(image) + "  zImage\n" + md5Of(image) + "  dtb.recovery\n";
    const DamageRow rows[] = {
        {"an image that is a link",
         {},
         [&](const PackageBuilder& pkg) {
             ASSERT_EQ(::rename((pkg.dir + "/dtb.recovery").c_str(), (dir / "dtb.x").c_str()), 0);
             ASSERT_EQ(::symlink((dir / "dtb.x").c_str(), (pkg.dir + "/dtb.recovery").c_str()), 0);
         },
         "dtb.recovery: FAILED (not a regular file (a link, a directory, a FIFO or a device node)"},
        {"an image that is a FIFO",
         {},
         [&](const PackageBuilder& pkg) {
             ASSERT_EQ(::unlink((pkg.dir + "/zImage").c_str()), 0);
             ASSERT_EQ(::mkfifo((pkg.dir + "/zImage").c_str(), 0600), 0);
         },
         "zImage: FAILED (not a regular file"},
        {"a product name as the type",
         {},
         [&](const PackageBuilder& pkg) {
             pkg.manifest("PRODUCT_TYPE=QT10X\nKIVRA_VERSION=7.0\n");
         },
         "manifest.txt: FAILED (PRODUCT_TYPE QT10X is the type of no product; QT10X is a "
         "product name, of type ALDER"},
        {"a type no product has",
         {},
         [&](const PackageBuilder& pkg) { pkg.manifest("PRODUCT_TYPE=FOO\nKIVRA_VERSION=7.0\n"); },
         "manifest.txt: FAILED (PRODUCT_TYPE FOO is the type of no product (types: ALDER "
         "ALDER_PRO BIRCH ROWAN))"},
        {"another product's type",
         {"--product", "VK30E"},
         [&](const PackageBuilder&) {},
         "manifest.txt: FAILED (Manifest product type ROWAN mismatches device product type BIRCH"},
        {"init.sh under another version",
         {},
         [&](const PackageBuilder& pkg) {
             testing::writeEncrypted(pkg.path("init.sh"), "#!/bin/sh\necho pre-install\n", "7.1");
         },
         "init.sh: WARNING (does not decrypt to a shell script (damaged, or a wrong "
         "KIVRA_VERSION); the installer runs it with /bin/sh, logs its failure and goes on;",
         0},
        {"a corrupted init.sh",
         {},
         [&](const PackageBuilder& pkg) {
             pkg.manifest("PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\nINIT_SH_DIGEST=" +
                          md5Of("#!/bin/sh\necho pre-install\n") + "\n");
             std::string script = readBytes(pkg.dir + "/init.sh");
             script[3] ^= 0x55;
             writeBytes(pkg.path("init.sh"), script);
         },
         "init.sh: FAILED (MD5 mismatch with INIT_SH_DIGEST; 27 bytes, expected md5 "},
        {"a radio version without its digest",
         {},
         [&](const PackageBuilder& pkg) {
             pkg.manifest("PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\nR1_C1_VERSION=2\n");
         },
         "R1_C1: WARNING (R1_C1_MD5 is missing; the installer cannot compare the radio-module "
         "image and goes on (exit 0, or 2 when the versions differ))",
         0},
        {"a package for the QT10",
         {"--product", "QT10"},
         [&](const PackageBuilder& pkg) {
             pkg.manifest("PRODUCT_TYPE=ALDER\nKIVRA_VERSION=7.0\n");
         },
         "manifest.txt: FAILED (Product not supported: the installer takes no package on a QT10 "
         "(\"Upgrade check failed\", err 18))"},
    };
    for (const DamageRow& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir each;
        const PackageBuilder pkg = handMade(each);
        pkg.encrypted("zImage", image);
        pkg.encrypted("dtb.recovery", image);
        pkg.encrypted("init.sh", "#!/bin/sh\necho pre-install\n");
        pkg.digestList(list);
        row.damage(pkg);
        std::vector<std::string> args = {"verify"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(pkg.dir);
        const ProcessResult verified = qvpack(args);
        EXPECT_EQ(verified.exitStatus, row.status) << verified.err;
        EXPECT_TRUE(hasLineStarting(verified.out, row.line)) << verified.out;
    }
}

TEST(Qvpack, VerifyWritesNoPlainCopyAndReportsAMachineFaultAsSuch) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
    // Nothing is decrypted to disk, so a work directory that cannot be used changes nothing.
    ProcessResult r = qvpack({"verify", dir / "pkg"}, {"TMPDIR=" + (dir / "no/such/dir")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    // A report that cannot be written is the machine's fault, not the package's.
    std::string command;
    for (const std::string& word : testing::qvpackCommand({"verify", dir / "pkg"})) {
        command += qvsystemtools::shellQuote(word) + " ";
    }
    r = testing::runProcess({"/bin/sh", "-c", command + "> /dev/full"});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "qvpack: cannot write the report to standard output\n");
    // create writes its plain digest list below TMPDIR: one it cannot use is the machine's
    // fault too, and leaves no package.
    r = qvpack({"create", dir / "pkg2", "--version", "1", "--product-type", "BIRCH",
                sources.sourceDir + "/zImage"},
               {"TMPDIR=" + (dir / "no/such/dir")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err.rfind("qvpack: cannot create a work directory in ", 0), 0U) << r.err;
    EXPECT_FALSE(exists(dir / "pkg2"));
}

TEST(Qvpack, VerifyRefusesUbootImageWithoutHeaderMagicThoughItsDigestMatches) {
    TempDir dir;
    const PackageBuilder pkg = handMade(dir);
    const std::string noMagic = testing::randomBytes(1000, 11);
    pkg.encrypted("uImage", noMagic);
    pkg.encrypted("zImage", noMagic);
    pkg.digestList(md5Of(noMagic) + "  uImage\n" + md5Of(noMagic) + "  zImage\n");
    const ProcessResult verified = qvpack({"verify", pkg.dir});
    EXPECT_EQ(verified.exitStatus, 1);
    EXPECT_TRUE(hasLine(verified.out,
                        "uImage: FAILED (no U-Boot header 27 05 19 56 after "
                        "decryption; 1000 bytes, md5 " +
                            md5Of(noMagic) + ")"))
        << verified.out;
    EXPECT_TRUE(hasLineStarting(verified.out, "zImage: OK")) << verified.out;
}

TEST(Qvpack, VerifyReportsEntriesTheInstallerWouldRefuseOrMisread) {
    TempDir dir;
    const PackageBuilder pkg = handMade(dir);
    const std::string zero(32, '0');
    writeBytes(pkg.path("other.bin"), "data");
    pkg.digestList(zero + "  ../escape\n" + md5Of("data") + "\tother.bin\n" + md5Of("data") +
                   "  other.bin\n" + zero + "  absent.img\n" +
                   "D41D8CD98F00B204E9800998ECF8427E  images.md5\n" + zero);
    const ProcessResult verified = qvpack({"verify", pkg.dir});
    EXPECT_EQ(verified.exitStatus, 1);
    const std::vector<std::string> expected = {
        "manifest.txt: OK (PRODUCT_TYPE=ROWAN, KIVRA_VERSION=7.0)",
        "../escape: FAILED (not a plain file name of the package directory)",
        "other.bin: OK (4 bytes, md5 " + md5Of("data") + ")",
        "other.bin: FAILED (listed twice)",
        "absent.img: FAILED (missing from the package)",
        "images.md5: FAILED (the name belongs to the package itself)",
        "images.md5: FAILED (digest " + zero + " has no file name)",
    };
    EXPECT_EQ(testing::lines(verified.out), expected);
}

TEST(Qvpack, VerifyJsonGivesEachFileItsClassAndDigestStateAndEveryManifestKey) {
    TempDir dir;
    const PackageBuilder pkg = handMade(dir);
    // Values the JSON text must escape or repair: a quote, a backslash, a tab, a control
    // byte, valid UTF-8, a stray byte, an overlong form and a cut-off sequence.
    pkg.manifest(
        "PRODUCT_TYPE=ROWAN\nKIVRA_VERSION=7.0\nQUOTE=a\"b\\c\tz\x01\n"
        "TEXT=caf\xc3\xa9 \xff \xc0\xaf \xe2\x82\n");
    const std::string image = testing::ubootImage(904, 21);
    pkg.encrypted("uImage", image);
    pkg.encrypted("zImage", "kernel");
    pkg.encrypted("uImage.recovery", "no header");
    writeBytes(pkg.path("NTIM.bin"), "ntim");
    writeBytes(pkg.path("extra.bin"), "x");
    pkg.encrypted("init.sh", "#!/bin/sh\n");
    const std::string zero(32, '0');
    pkg.digestList(md5Of(image) + "  uImage\n" + zero + "  zImage\n" + md5Of("no header") +
                   "  uImage.recovery\n" + md5Of("ntim") + "  NTIM.bin\n" + zero +
                   "  absent.img\n" + zero + "  a/b\n");

    const ProcessResult json = qvpack({"verify", "--json", pkg.dir});
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(
        json.out,
        "{\n  \"package\": \"" + pkg.dir +
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
            md5Of("#!/bin/sh\n") +
            "\"},\n"
            "    {\"name\": \"uImage\", \"class\": \"uboot-image\", \"digest\": \"match\", "
            "\"status\": \"ok\", \"detail\": \"\", \"size\": 904, \"expected_md5\": \"" +
            md5Of(image) + "\", \"actual_md5\": \"" + md5Of(image) +
            "\"},\n"
            "    {\"name\": \"zImage\", \"class\": \"plain-image\", \"digest\": \"mismatch\", "
            "\"status\": \"failed\", \"detail\": \"MD5 mismatch\", \"size\": 6, "
            "\"expected_md5\": \"" +
            zero + "\", \"actual_md5\": \"" + md5Of("kernel") +
            "\"},\n"
            "    {\"name\": \"uImage.recovery\", \"class\": \"uboot-image\", \"digest\": "
            "\"match\", \"status\": \"failed\", \"detail\": \"no U-Boot header 27 05 19 56 "
            "after decryption\", \"size\": 9, \"expected_md5\": \"" +
            md5Of("no header") + "\", \"actual_md5\": \"" + md5Of("no header") +
            "\"},\n"
            "    {\"name\": \"NTIM.bin\", \"class\": \"ntim\", \"digest\": \"match\", "
            "\"status\": \"ok\", \"detail\": \"\", \"size\": 4, \"expected_md5\": \"" +
            md5Of("ntim") + "\", \"actual_md5\": \"" + md5Of("ntim") +
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
    const ProcessResult text = qvpack({"verify", pkg.dir});
    EXPECT_EQ(json.exitStatus, 1);
    EXPECT_EQ(json.exitStatus, text.exitStatus);
    EXPECT_EQ(json.err, "qvpack: 4 of 8 checks failed\n");
    EXPECT_EQ(json.err, text.err);
    EXPECT_EQ(testing::lines(text.out).size(), 9u) << text.out;
}

TEST(Qvpack, VerifyJsonOfAGoodPackageSucceedsAndOfAnUncheckableOneIsAnErrorObject) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
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
    ASSERT_EQ(sources.create(dir / "pkg2").exitStatus, 0);
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
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(sources.create().exitStatus, 0);
    const ProcessResult plain = qvpack({"decrypt", dir / "pkg", dir / "plain"});
    ASSERT_EQ(plain.exitStatus, 0) << plain.out << plain.err;
    for (const std::string& name : sources.names()) {
        EXPECT_EQ(readBytes(dir / ("plain/" + name)), readBytes(sources.sourceDir + "/" + name))
            << name;
    }
    EXPECT_EQ(readBytes(dir / "plain/init.sh"), "#!/bin/sh\necho pre\n");
    EXPECT_EQ(readBytes(dir / "plain/manifest.txt"), readBytes(dir / "pkg/manifest.txt"));
    EXPECT_EQ(readBytes(dir / "plain/images.md5"),
              readDecrypted(dir / "pkg/images.md5", "4.2.1-r7"));
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
    EXPECT_EQ(readDecrypted(dir / "enc", ""), plain);
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
    const PackageBuilder sources = sourcesIn(dir);
    writeBytes(dir / "a b", "x");
    ASSERT_EQ(::mkdir((dir / "other").c_str(), 0755), 0);
    writeBytes(dir / "other/zImage", "x");
    writeBytes(dir / "images.md5", "x");
    writeBytes(dir / "uImage", "no magic");
    const std::string out = dir / "out";
    const std::string zImage = sources.sourceDir + "/zImage";
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
        {"no image", createWith({"--version", "1", sources.sourceDir + "/NTIM.bin"}), 2,
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
    const PackageBuilder sources = sourcesIn(dir);
    const std::string pkg = dir / "pkg";
    std::vector<std::string> args = {
        "/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat,rename,renameat,renameat2", "-o",
        dir / "trace"};
    std::vector<std::string> names = sources.names();
    names.insert(names.end(), {"manifest.txt", "init.sh", "images.md5"});
    const std::vector<std::string> command = testing::qvpackCommand(sources.createArgs(pkg));
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
    const PackageBuilder pkg = handMade(dir);
    pkg.manifest("PRODUCT_TYPE=ROWAN\n#KIVRA_VERSION=7.0\n");
    const ProcessResult r = qvpack({"verify", pkg.dir});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "qvpack: " + pkg.dir +
                         "/manifest.txt has no KIVRA_VERSION: the installer stops at its manifest "
                         "check\n");
}

TEST(Qvpack, EmptyVersionIsAcceptedLikeTheInstallerAcceptsIt) {
    TempDir dir;
    PackageBuilder sources = sourcesIn(dir);
    sources.version = "";
    const ProcessResult made = sources.create();
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
    const PackageBuilder sources = sourcesIn(dir);
    ASSERT_EQ(::mkdir((dir / "pkg").c_str(), 0755), 0);
    writeBytes(dir / "pkg/old", "keep");
    const ProcessResult r = sources.create();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "qvpack: " + (dir / "pkg") + ": directory is not empty\n");
    EXPECT_EQ(readBytes(dir / "pkg/old"), "keep");
}

class QvpackFullFileSystem : public testing::SandboxTest {};

TEST_F(QvpackFullFileSystem, CreateOnFullFileSystemFailsAndRemovesWhatItWrote) {
    TempDir dir;
    const PackageBuilder sources = sourcesIn(dir);
    const std::string small = dir / "small";
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(::mount("qvtest-small", small.c_str(), "tmpfs", 0, "size=32k"), 0)
        << std::strerror(errno);
    ASSERT_EQ(::mkdir((small + "/pkg").c_str(), 0755), 0);
    const ProcessResult r = sources.create(small + "/pkg");
    const ProcessResult listing = testing::runProcess({"/bin/ls", "-A", small + "/pkg"});
    (void)::umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(listing.out, "");
}

}  // namespace
}  // namespace KIVRA
