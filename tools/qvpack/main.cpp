// qvpack: builds, checks and unpacks KIVRA firmware packages for release engineering.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/qv_encryption.h"
#include "package_format/image_classes.h"
#include "package_format/products.h"
#include "package_format/statement.h"
#include "qvsystemtools/file_queries.h"
#include "tools/qvpack/artifact.h"
#include "tools/qvpack/command_line.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/json_report.h"
#include "tools/qvpack/pack_error.h"
#include "tools/qvpack/package_check.h"
#include "tools/qvpack/package_create.h"
#include "tools/qvpack/package_sign.h"

namespace KIVRA {
namespace qvpack {
namespace {

std::string joined(const char* const* names, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : " ") + std::string(names[i]);
    }
    return text;
}

// The image names come from the installer's own table, so the help cannot drift from it.
std::string usage() {
    using namespace package_format;
    return std::string(
               "usage:\n"
               "  qvpack create OUTDIR --version V --product-type T [--set KEY=VALUE]...\n"
               "                [--init-script FILE] [--security-epoch N] [--sign KEY] FILE...\n"
               "      Build a package in OUTDIR (created, or an empty directory): manifest.txt\n"
               "      with PRODUCT_TYPE=T, KIVRA_VERSION=V and every --set entry; each FILE\n"
               "      under its base name, encrypted when it is an image:\n"
               "        U-Boot images, which must start with 27 05 19 56:\n"
               "          ") +
           joined(kUbootImageNames, std::size(kUbootImageNames)) +
           "\n"
           "        other images:\n"
           "          " +
           joined(kPlainImageNames, std::size(kPlainImageNames)) +
           "\n"
           "      and copied otherwise (NTIM.bin, kivrainstaller, ...); images.md5, the\n"
           "      encrypted MD5 list of the plain files; init.sh, the encrypted --init-script.\n"
           "      Base names must be unique, free of white space, not \".\" or \"..\", and not\n"
           "      manifest.txt, images.md5 or init.sh. The key is derived from V.\n"
           "      --security-epoch N (decimal, 0 to 4294967295) writes SECURITY_EPOCH=N into\n"
           "      the manifest; --sign KEY then signs the package as sign --key KEY does.\n"
           "  qvpack verify [--json] [--product NAME] [--trusted-keys DIR\n"
           "                [--running-manifest FILE]] PKGDIR\n"
           "      Check the package as the installer would, in its order: the manifest (the\n"
           "      product type of NAME, or of any product), init.sh, the radio entries, the\n"
           "      digest list and every file it names (a regular file, its digest, the U-Boot\n"
           "      header). Each file is decrypted and hashed in one pass; nothing is written.\n"
           "      One line per file, \"NAME: OK (SIZE bytes, md5 D)\" or \"NAME: FAILED\n"
           "      (reason)\". With --json, one JSON object instead: the manifest keys, and for\n"
           "      each file its name, class, digest state, status, detail, size, expected and\n"
           "      actual MD5; an \"error\" member when the check could not be completed.\n"
           "      --trusted-keys DIR checks the signature after the manifest as a router\n"
           "      holding DIR as /etc/kivra/trusted-keys does, in its words, and each file\n"
           "      it reads against the signed statement; the item package.sha256.sig gives\n"
           "      the verifying key's SHA-256 fingerprint. --running-manifest FILE: the\n"
           "      router's /tmp/manifest.txt, whose SECURITY_EPOCH the package's must reach.\n"
           "  qvpack decrypt [--product NAME] PKGDIR OUTDIR\n"
           "      Like verify, but keep the plain files, the plain images.md5, manifest.txt and\n"
           "      the plain init.sh in OUTDIR (created, or an empty directory).\n"
           "  qvpack encrypt-file --passphrase P IN OUT\n"
           "  qvpack decrypt-file --passphrase P IN OUT\n"
           "      Transform one file with the key derived from P (the package version for\n"
           "      package files; may be empty). Both directions are the same transform.\n" +
           signUsage() + artifactUsage() +
           "  qvpack --help\n"
           "  qvpack --version\n"
           "\n"
           "An option value may follow as the next word or after \"=\"; a value beginning with\n"
           "\"--\" needs the \"=\" form (--passphrase=--x). \"--\" ends the options.\n"
           "Exit status: 0 success; 1 a failed check or a bad input file; 2 a bad command line\n"
           "or a refused create request; 3 a fault of the machine (no space, a read error, an\n"
           "unwritable output or report).\n";
}

void requireOperands(const CommandLine& line, size_t count, const char* command, const char* what) {
    if (line.operands.size() > count) {
        throw UsageError(std::string(command) + ": unexpected argument " + line.operands[count] +
                         " (expected " + what + ")");
    }
    if (line.operands.size() < count) {
        throw UsageError(std::string(command) + ": expected " + what);
    }
}

std::string requiredOption(const CommandLine& line, const std::string& name) {
    std::string value;
    if (!line.value(name, value)) {
        throw UsageError("option --" + name + " is required");
    }
    return value;
}

// A report that cannot reach its reader (a full disk, a closed pipe) is the machine's fault:
// a pipeline reading a cut report would take what is missing for absent.
void flushReport() {
    if (!std::cout.flush()) {
        throw MachineFault("cannot write the report to standard output");
    }
}

int runCreate(const std::vector<std::string>& args) {
    const CommandLine line = parseCommandLine(
        args, {"version", "product-type", "set", "init-script", "security-epoch", "sign"}, {"set"});
    if (line.operands.empty()) {
        throw UsageError("expected OUTDIR and the package files");
    }
    CreateRequest request;
    request.outDir = line.operands[0];
    request.files.assign(line.operands.begin() + 1, line.operands.end());
    request.version = requiredOption(line, "version");
    request.productType = requiredOption(line, "product-type");
    (void)line.value("init-script", request.initScript);
    if (line.options.count("init-script") != 0 && request.initScript.empty()) {
        throw UsageError("option --init-script needs a file name");
    }
    if (line.value("security-epoch", request.securityEpoch)) {
        uint32_t epoch = 0;
        if (!package_format::parseSecurityEpoch(request.securityEpoch, epoch)) {
            throw UsageError("--security-epoch " + request.securityEpoch +
                             ": expected a decimal from 0 to " +
                             std::to_string(package_format::kSecurityEpochMax));
        }
    }
    if (line.value("sign", request.signKey) && request.signKey.empty()) {
        throw UsageError("option --sign needs a key");
    }
    for (const std::string& entry : line.values("set")) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            throw UsageError("--set " + entry + ": expected KEY=VALUE");
        }
        request.extraEntries.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    const CreateResult result = createPackage(request);
    for (const std::string& warning : result.warnings) {
        std::cerr << "qvpack: warning: " << warning << std::endl;
    }
    std::cout << "qvpack: created " << request.outDir << ": " << result.files << " files ("
              << result.encrypted << " encrypted), PRODUCT_TYPE=" << request.productType
              << ", KIVRA_VERSION=" << request.version << "\n";
    if (!request.signKey.empty()) {
        std::cout << signedLine(request.outDir, true, result.signature);
    }
    flushReport();
    return 0;
}

int runSign(const std::vector<std::string>& args) {
    const CommandLine line = parseCommandLine(args, {"key"}, {}, {"statement-only"});
    requireOperands(line, 1, "sign", "PKGDIR");
    std::string key;
    const bool withKey = line.value("key", key);
    if (withKey == (line.options.count("statement-only") != 0)) {
        throw UsageError("sign: expected one of --key KEY and --statement-only");
    }
    if (withKey && key.empty()) {
        throw UsageError("option --key needs a key");
    }
    const SignResult result = signPackage(line.operands[0], key);
    std::cout << signedLine(line.operands[0], withKey, result);
    flushReport();
    return 0;
}

int reportSummary(const CheckSummary& summary) {
    if (summary.failures == 0) {
        return 0;
    }
    std::cerr << "qvpack: " << summary.failures << " of " << summary.checks << " checks failed"
              << std::endl;
    return 1;
}

// The product NAME of --product, checked against the product table before any file is read.
std::string productOption(const CommandLine& line) {
    std::string product;
    if (line.value("product", product) && package_format::productTypeOf(product).empty()) {
        throw UsageError("--product " + product + ": no such product (Unknown Product Name " +
                         product + ")");
    }
    return product;
}

int runVerify(const std::vector<std::string>& args) {
    const CommandLine line =
        parseCommandLine(args, {"product", "trusted-keys", "running-manifest"}, {}, {"json"});
    requireOperands(line, 1, "verify", "PKGDIR");
    CheckOptions options;
    options.product = productOption(line);
    if (line.value("trusted-keys", options.trustDir) && options.trustDir.empty()) {
        throw UsageError("option --trusted-keys needs a directory");
    }
    if (line.value("running-manifest", options.runningManifest)) {
        if (options.runningManifest.empty() || options.trustDir.empty()) {
            throw UsageError("option --running-manifest needs a file and --trusted-keys");
        }
    }
    if (line.options.count("json") == 0) {
        TextReport text(std::cout);
        const CheckSummary summary = checkPackage(line.operands[0], options, text);
        flushReport();
        return reportSummary(summary);
    }
    // The same check as the text report; only its form differs, and so the exit status and
    // the summary on standard error stay those of the text report. A check that cannot be
    // completed still gives one JSON object, with what was found and the error.
    JsonReport json(line.operands[0]);
    try {
        const CheckSummary summary = checkPackage(line.operands[0], options, json);
        json.write(std::cout, summary);
        flushReport();
        return reportSummary(summary);
    } catch (const MachineFault& fault) {
        json.writeError(std::cout, "machine", fault.what());
        std::cout.clear();
        (void)std::cout.flush();  // the fault itself is what is reported, on standard error
        throw;
    } catch (const PackError& error) {
        json.writeError(std::cout, "package", error.what());
        flushReport();
        throw;
    }
}

int runDecrypt(const std::vector<std::string>& args) {
    const CommandLine line = parseCommandLine(args, {"product"}, {});
    requireOperands(line, 2, "decrypt", "PKGDIR OUTDIR");
    CheckOptions options;
    options.product = productOption(line);
    options.plainDir = line.operands[1];
    (void)prepareOutputDir(options.plainDir);
    TextReport text(std::cout);
    const CheckSummary summary = checkPackage(line.operands[0], options, text);
    flushReport();
    return reportSummary(summary);
}

int runFile(const std::vector<std::string>& args, bool encrypt) {
    const CommandLine line = parseCommandLine(args, {"passphrase"}, {});
    requireOperands(line, 2, encrypt ? "encrypt-file" : "decrypt-file", "IN OUT");
    const std::string passphrase = requiredOption(line, "passphrase");
    const std::string& in = line.operands[0];
    const std::string& out = line.operands[1];
    // Checked first so a mistyped input does not cost the output its content.
    requireRegularFile(in);
    QvEncryption crypto;
    if (crypto.setKey(passphrase) != 0) {
        throw PackError("cannot derive the key");
    }
    errno = 0;
    const int result = encrypt ? crypto.encryptFile(in, out) : crypto.decryptFile(in, out);
    if (result != 0) {
        const std::string reason = errno != 0 ? ": " + errnoText() : std::string();
        if (qvsystemtools::sameFile(in, out)) {
            throw PackError(in + " and " + out + " are the same file");
        }
        // A partial output would pass for the whole file; a device named as output stays.
        struct stat partial {};
        if (::lstat(out.c_str(), &partial) == 0 && S_ISREG(partial.st_mode)) {
            (void)::unlink(out.c_str());
        }
        throw MachineFault(std::string("cannot ") + (encrypt ? "encrypt " : "decrypt ") + in +
                           " into " + out + reason);
    }
    return 0;
}

int run(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        throw UsageError("expected a command (see qvpack --help)");
    }
    const std::string& command = argv[0];
    const std::vector<std::string> args(argv.begin() + 1, argv.end());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << usage();
        flushReport();
        return 0;
    }
    if (command == "--version") {
        std::cout << "qvpack " << QV_PROJECT_VERSION << "\n";
        flushReport();
        return 0;
    }
    if (command == "create") {
        return runCreate(args);
    }
    if (command == "verify") {
        return runVerify(args);
    }
    if (command == "decrypt") {
        return runDecrypt(args);
    }
    if (command == "sign") {
        return runSign(args);
    }
    if (command == "artifact") {
        return runArtifact(args);
    }
    if (command == "encrypt-file") {
        return runFile(args, true);
    }
    if (command == "decrypt-file") {
        return runFile(args, false);
    }
    throw UsageError("unknown command " + command + " (see qvpack --help)");
}

}  // namespace
}  // namespace qvpack
}  // namespace KIVRA

int main(int argc, char** argv) {
    using namespace KIVRA::qvpack;
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "qvpack: " << error.what() << std::endl;
        return 2;
    } catch (const PackError& error) {
        std::cerr << "qvpack: " << error.what() << std::endl;
        return 1;
    } catch (const MachineFault& fault) {
        std::cerr << "qvpack: " << fault.what() << std::endl;
        return 3;
    } catch (const std::exception& error) {
        std::cerr << "qvpack: " << error.what() << std::endl;
        return 1;
    } catch (...) {
        std::cerr << "qvpack: unexpected failure" << std::endl;
        return 1;
    }
}
