#include "tools/qvpack/artifact.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/products.h"
#include "qvsystemtools/dir_listing.h"
#include "qvsystemtools/unique_fd.h"
#include "tools/qvpack/command_line.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/pack_error.h"
#include "tools/qvpack/package_check.h"
#include "tools/qvpack/payload_copy.h"
#include "tools/qvpack/program_run.h"

namespace KIVRA {
namespace qvpack {
namespace {

const char* const kMenderArtifact = "mender-artifact";

// mender-artifact's own short options, so a release pipeline can hand over the words it
// already uses with that tool.
std::vector<std::string> withLongOptions(const std::vector<std::string>& args) {
    std::vector<std::string> result;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg == "-t") {
            result.emplace_back("--device-type");
        } else if (!optionsEnded && arg == "-o") {
            result.emplace_back("--output");
        } else if (!optionsEnded && arg == "-k") {
            result.emplace_back("--key");
        } else {
            optionsEnded = optionsEnded || arg == "--";
            result.push_back(arg);
        }
    }
    return result;
}

std::string knownProductNames() {
    std::string text;
    for (const auto& [productType, names] : package_format::productTable()) {
        for (const std::string& name : names) {
            text += (text.empty() ? "" : " ") + name;
        }
    }
    return text;
}

// Collects the failed checks instead of printing a report: the artifact is built only from a
// package the installer would accept, and what is wrong goes to standard error.
class FailureList : public CheckReport {
public:
    void manifest(const ManifestTable& table) override { manifestTable = table; }
    void item(const CheckItem& item) override {
        if (item.outcome == ItemOutcome::Failed) {
            failures.push_back(item.name + ": " + item.detail);
        }
    }
    std::vector<std::string> failures;
    ManifestTable manifestTable;
};

// The names of the package's files, sorted. The package is flat: anything but a regular file
// (a link, a directory, a device) is refused, since it would not arrive as the same file.
std::vector<std::string> packageFiles(const std::string& pkgDir) {
    std::vector<std::string> names;
    std::string error;
    if (!qvsystemtools::listNames(pkgDir, names, error)) {
        throw PackError(error);
    }
    for (const std::string& name : names) {
        struct stat st {};
        if (::lstat((pkgDir + "/" + name).c_str(), &st) != 0) {
            throw PackError("cannot read " + pkgDir + "/" + name + ": " + errnoText());
        }
        if (!S_ISREG(st.st_mode)) {
            throw PackError(pkgDir + "/" + name + " is not a regular file");
        }
    }
    return names;
}

// An output that cannot be written is a fault of the machine (status 3), told before
// mender-artifact runs, whose own failure could not be told from a refused key. The empty
// file made here, replacing a leftover of an earlier cut run, is what mender-artifact fills.
void requireWritableOutput(const std::string& partial) {
    (void)::unlink(partial.c_str());  // a leftover, if any; the open below tells the outcome
    const qvsystemtools::UniqueFd out(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!out.valid()) {
        throw MachineFault("cannot write " + partial + ": " + errnoText());
    }
}

}  // namespace

std::string artifactUsage() {
    return "  qvpack artifact PKGDIR --device-type T [--device-type T]... --output FILE\n"
           "                 [--key KEY]\n"
           "      Check the package as verify --product T does for each device type T (a\n"
           "      product name) and wrap it into one Mender artifact of payload type\n"
           "      kivra-package, named after its KIVRA_VERSION, with mender-artifact (short\n"
           "      forms -t, -o, -k). KEY signs the artifact as mender-artifact's --key does.\n";
}

int runArtifact(const std::vector<std::string>& args) {
    const CommandLine line =
        parseCommandLine(withLongOptions(args), {"device-type", "output", "key"}, {"device-type"});
    if (line.operands.size() != 1) {
        throw UsageError("expected PKGDIR");
    }
    const std::string& pkgDir = line.operands[0];
    std::string output;
    if (!line.value("output", output) || output.empty()) {
        throw UsageError("option --output is required");
    }
    const std::vector<std::string> deviceTypes = line.values("device-type");
    if (deviceTypes.empty()) {
        throw UsageError("option --device-type is required");
    }
    for (const std::string& deviceType : deviceTypes) {
        if (package_format::productTypeOf(deviceType).empty()) {
            throw UsageError("device type " + deviceType +
                             " is not a product name (one of: " + knownProductNames() + ")");
        }
    }
    std::string key;
    if (line.value("key", key)) {
        if (key.empty()) {
            throw UsageError("option --key needs a file name");
        }
        requireRegularFile(key);
    }
    struct stat out {};
    if (::stat(output.c_str(), &out) == 0 && S_ISDIR(out.st_mode)) {
        throw PackError(output + " is a directory");
    }

    // The payload is the bytes checked: a file replaced after the check never reaches it.
    const PayloadCopy payload(pkgDir);

    // Checked as verify checks it, once for each product: the rulebook alone says which
    // package a product takes.
    FailureList report;
    for (const std::string& deviceType : deviceTypes) {
        CheckOptions options;
        options.product = deviceType;
        const CheckSummary summary = checkPackage(pkgDir, options, report);
        if (summary.failures != 0) {
            for (const std::string& failure : report.failures) {
                std::cerr << "qvpack: " << failure << std::endl;
            }
            throw PackError(pkgDir + ": " + std::to_string(summary.failures) + " of " +
                            std::to_string(summary.checks) + " checks failed" +
                            (deviceTypes.size() > 1 ? " for device type " + deviceType : "") +
                            "; no artifact built");
        }
    }
    const auto version = report.manifestTable.find(package_format::kVersionKey);
    // The installer accepts an empty version, but an artifact needs a name to be told apart.
    if (version == report.manifestTable.end() || version->second.empty()) {
        throw PackError(pkgDir + ": KIVRA_VERSION, the artifact name, is missing or empty");
    }

    // mender-artifact writes its output in place; a failed or cut run must not leave a file
    // that a rollout would take for an artifact.
    const std::string partial = output + ".partial";
    requireWritableOutput(partial);
    std::vector<std::string> argv = {kMenderArtifact, "write", "module-image", "--type",
                                     kArtifactPayloadType, "--artifact-name", version->second,
                                     // Encrypted images do not compress; gzip would only
                                     // cost time on the build machine and on every router.
                                     "--compression", "none", "--output-path", partial};
    for (const std::string& deviceType : deviceTypes) {
        argv.insert(argv.end(), {"--device-type", deviceType});
    }
    for (const std::string& copy : payload.checkedCopies(packageFiles(pkgDir))) {
        argv.insert(argv.end(), {"--file", copy});
    }
    if (!key.empty()) {
        argv.insert(argv.end(), {"--key", key});
    }
    int status = 0;
    try {
        status = runTool(argv, kMenderArtifact);
    } catch (...) {
        (void)::unlink(partial.c_str());  // the failure to run is what is reported
        throw;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        (void)::unlink(partial.c_str());  // nothing of it is of use
        throw PackError(std::string(kMenderArtifact) + " failed (" + exitText(status) +
                        "); no artifact built");
    }
    if (::rename(partial.c_str(), output.c_str()) != 0) {
        const std::string reason = errnoText();
        (void)::unlink(partial.c_str());  // the rename's failure is what is reported
        throw MachineFault("cannot rename " + partial + " to " + output + ": " + reason);
    }
    return 0;
}

}  // namespace qvpack
}  // namespace KIVRA
