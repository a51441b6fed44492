#include "installer/package_signature.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "package_format/image_classes.h"
#include "package_format/package_rules.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace installer {

namespace {

// Up to max bytes of path, exactly as they stand. 0, or the errno of the failed step.
int readUpTo(const std::string& path, size_t max, std::string& content) {
    const qvsystemtools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return errno;
    }
    std::string data(max, '\0');
    const qvsystemtools::ReadResult read = qvsystemtools::readFull(fd.get(), data.data(), max);
    if (read.error != 0) {
        return read.error;
    }
    data.resize(read.count);
    content = std::move(data);
    return 0;
}

// No manifest comes near this; a signed statement claiming more is refused on the bytes read.
const uint64_t kManifestMax = uint64_t{16} * 1024 * 1024;

}  // namespace

PackageSignature::PackageSignature(const std::string& trustDir)
    : anchors_(package_format::loadTrustAnchors(trustDir)) {}

int PackageSignature::check(KivraInstaller::Impl& d, const std::string& manifestCopy,
                            const std::string& runningManifest) {
    if (!anchors_.enforced) {
        return KivraInstaller::Success;
    }
    const std::string where = origin("checkPackageSignature");
    return runStep([&] {
        for (const package_format::SkippedKey& skipped : anchors_.skipped) {
            qvcommontools::logInstall(package_format::describe(skipped));
        }
        const package_format::SignatureCheck signature =
            package_format::checkPackageSignature(anchors_, d.fwDir);
        if (signature.state != package_format::SignatureState::Verified) {
            fail(d, KivraInstaller::SignatureError, package_format::describe(signature, anchors_),
                 where);
        }
        const package_format::Statement& statement = signature.reading.statement;
        // The statement bounds the manifest: one byte more than it lists is enough to refuse.
        const package_format::StatementFile* listed = statement.find(package_format::kManifestName);
        std::string manifest;
        const int error = readUpTo(
            manifestCopy, static_cast<size_t>(std::min<uint64_t>(listed->size, kManifestMax) + 1),
            manifest);
        if (error != 0) {
            fail(d, KivraInstaller::SignatureError,
                 "cannot read " + manifestCopy + ": " + std::strerror(error), where);
        }
        // The running firmware's manifest is the system's own; without one the epoch is 0.
        std::string running;
        const int runningError =
            readUpTo(runningManifest, package_format::kStatementMaxSize, running);
        if (runningError != 0 && runningError != ENOENT) {
            fail(d, KivraInstaller::SignatureError,
                 "cannot read " + runningManifest + ": " + std::strerror(runningError), where);
        }
        const package_format::ManifestCheck agreement =
            package_format::checkStatementAgainstManifest(statement, manifest, running);
        if (agreement.agreement != package_format::ManifestAgreement::Agrees) {
            fail(d, KivraInstaller::SignatureError, package_format::describe(agreement), where);
        }
        qvcommontools::logInstall("Package " + package_format::describe(signature, anchors_));
        statement_ = statement;
    });
}

int checkPackageSignature(KivraInstaller::Impl& d) {
    PackageSignature signature;
    if (!signature.enforced()) {
        return KivraInstaller::Success;
    }
    qvcommontools::logInstall(kSignatureStepLine);
    const int code = signature.check(d);
    if (code != KivraInstaller::Success || signature.statement() == nullptr) {
        return code;
    }
    d.statement = *signature.statement();
    // A listed file that is missing refuses the package before its script runs.
    return runStep([&] { requireListedFilesPresent(d, origin("checkPackageSignature")); });
}

void requireListed(KivraInstaller::Impl& d, const std::string& name,
                   package_format::Sha256Stream& stored, const std::string& origin) {
    if (!d.statement) {
        return;
    }
    const uint64_t size = stored.size();
    const package_format::FileAgreement agreement =
        package_format::checkListedFile(*d.statement, name, stored.finish(), size);
    if (agreement != package_format::FileAgreement::Agrees) {
        fail(d, KivraInstaller::SignatureError,
             package_format::describe(agreement, *d.statement, name, size), origin);
    }
}

void requireListedFilesPresent(KivraInstaller::Impl& d, const std::string& origin) {
    if (!d.statement) {
        return;
    }
    for (const package_format::StatementFile& file : d.statement->files) {
        if (file.name != package_format::kManifestName &&
            package_format::entryKindOf(d.fwDir + "/" + file.name) !=
                package_format::EntryKind::Regular) {
            fail(d, KivraInstaller::SignatureError,
                 package_format::describe(package_format::FileAgreement::Missing, *d.statement,
                                          file.name, 0),
                 origin);
        }
    }
}

}  // namespace installer
}  // namespace KIVRA
