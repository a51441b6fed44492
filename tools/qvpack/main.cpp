// qvpack: builds, checks and unpacks KIVRA firmware packages for release engineering.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/qv_encryption.h"
#include "installer/image_classes.h"
#include "qvsystemtools/file_queries.h"
#include "tools/qvpack/artifact.h"
#include "tools/qvpack/command_line.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/json_report.h"
#include "tools/qvpack/pack_error.h"
#include "tools/qvpack/package_check.h"
#include "tools/qvpack/package_create.h"

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
    using namespace installer;
    return std::string(
               "usage:\n"
               "  qvpack create OUTDIR --version V --product-type T [--set KEY=VALUE]...\n"
               "                [--init-script FILE] FILE...\n"
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
           "  qvpack verify [--json] PKGDIR\n"
           "      Decrypt the package into a temporary directory and check it as the installer\n"
           "      would: one line per file, \"NAME: OK\" or \"NAME: FAILED (reason)\". With\n"
           "      --json, one JSON object instead: the manifest keys, and for each file its\n"
           "      name, class, digest state, status and detail (see qvpack(1)).\n"
           "  qvpack decrypt PKGDIR OUTDIR\n"
           "      Like verify, but keep the plain files, the plain images.md5, manifest.txt and\n"
           "      the plain init.sh in OUTDIR (created, or an empty directory).\n"
           "  qvpack encrypt-file --passphrase P IN OUT\n"
           "  qvpack decrypt-file --passphrase P IN OUT\n"
           "      Transform one file with the key derived from P (the package version for\n"
           "      package files; may be empty). Both directions are the same transform.\n" +
           artifactUsage() +
           "  qvpack --help\n"
           "\n"
           "An option value may follow as the next word or after \"=\"; a value beginning with\n"
           "\"--\" needs the \"=\" form (--passphrase=--x). \"--\" ends the options.\n"
           "Exit status: 0 success; 1 a failed check or a bad input file; 2 a bad command line.\n";
}

void requireOperands(const CommandLine& line, size_t count, const char* what) {
    if (line.operands.size() != count) {
        throw UsageError(std::string("expected ") + what);
    }
}

std::string requiredOption(const CommandLine& line, const std::string& name) {
    std::string value;
    if (!line.value(name, value)) {
        throw UsageError("option --" + name + " is required");
    }
    return value;
}

int runCreate(const std::vector<std::string>& args) {
    const CommandLine line =
        parseCommandLine(args, {"version", "product-type", "set", "init-script"}, {"set"});
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
    for (const std::string& entry : line.values("set")) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            throw UsageError("--set " + entry + ": expected KEY=VALUE");
        }
        request.extraEntries.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    createPackage(request);
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

int runVerify(const std::vector<std::string>& args) {
    const CommandLine line = parseCommandLine(args, {}, {}, {"json"});
    requireOperands(line, 1, "PKGDIR");
    WorkDir work;
    if (line.options.count("json") == 0) {
        TextReport text(std::cout);
        return reportSummary(checkPackage(line.operands[0], work.path(), false, text));
    }
    // The same check as the text report; only its form differs, and so the exit status and
    // the summary on standard error stay those of the text report.
    JsonReport json(line.operands[0]);
    const CheckSummary summary = checkPackage(line.operands[0], work.path(), false, json);
    json.write(std::cout, summary);
    // A pipeline reading a cut report would take what is missing for absent.
    if (!std::cout.flush()) {
        throw PackError("cannot write the report");
    }
    return reportSummary(summary);
}

int runDecrypt(const std::vector<std::string>& args) {
    const CommandLine line = parseCommandLine(args, {}, {});
    requireOperands(line, 2, "PKGDIR OUTDIR");
    (void)prepareOutputDir(line.operands[1]);
    TextReport text(std::cout);
    return reportSummary(checkPackage(line.operands[0], line.operands[1], true, text));
}

int runFile(const std::vector<std::string>& args, bool encrypt) {
    const CommandLine line = parseCommandLine(args, {"passphrase"}, {});
    requireOperands(line, 2, "IN OUT");
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
        throw PackError(std::string("cannot ") + (encrypt ? "encrypt " : "decrypt ") + in +
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
    } catch (const std::exception& error) {
        std::cerr << "qvpack: " << error.what() << std::endl;
        return 1;
    } catch (...) {
        std::cerr << "qvpack: unexpected failure" << std::endl;
        return 1;
    }
}
