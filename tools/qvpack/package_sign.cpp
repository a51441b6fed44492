#include "tools/qvpack/package_sign.h"
#include "qvsystemtools/work_dir.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>

#include "crypto/qv_encryption.h"
#include "package_format/digest_list.h"
#include "package_format/entry_acceptance.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/statement.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/pack_error.h"
#include "tools/qvpack/program_run.h"

namespace KIVRA {
namespace qvpack {

namespace {

using package_format::EntryVerdict;

std::string manifestValue(const ManifestTable& manifest, const char* key, const std::string& dir) {
    const auto entry = manifest.find(key);
    if (entry == manifest.end()) {
        throw PackError(dir + ": " + key + " not found in manifest");
    }
    return entry->second;
}

// The names the digest list of pkgDir carries, in its order, each one a file the installer
// would read.
std::vector<std::string> digestListNames(const std::string& pkgDir, const std::string& version) {
    const std::string listPath = pkgDir + "/" + package_format::kDigestListName;
    requireRegularFile(listPath);
    const qvsystemtools::WorkDir work("qvpack");
    if (!work.valid()) {
        throw MachineFault(work.failureText());
    }
    const std::string plain = work.path() + "/" + package_format::kDigestListName;
    QvEncryption crypto;
    if (crypto.setKey(version) != 0 || crypto.decryptFile(listPath, plain) != 0) {
        throw MachineFault("cannot decrypt " + listPath + " into " + work.path());
    }
    std::ifstream list(plain);
    package_format::DigestListReader reader(list);
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (package_format::DigestListEntry entry;;) {
        switch (reader.next(entry)) {
            case package_format::DigestListReader::Next::End:
                return names;
            case package_format::DigestListReader::Next::ReadError:
                throw MachineFault("cannot read the decrypted " + listPath);
            case package_format::DigestListReader::Next::MissingName:
                throw PackError(listPath + ": the digest " + entry.digest + " has no file name");
            case package_format::DigestListReader::Next::Entry:
                break;
        }
        const std::string where = listPath + ": " + entry.name + ": ";
        if (!package_format::isStatementName(entry.name)) {
            throw PackError(where + "a name a statement cannot list");
        }
        const package_format::EntryAcceptance acceptance =
            package_format::acceptEntry(pkgDir, entry.name);
        // Why the installer would refuse it is qvpack verify's to tell.
        if (acceptance.verdict != EntryVerdict::Accepted) {
            throw PackError(where + "a file the installer would refuse (see qvpack verify)");
        }
        if (!seen.insert(entry.name).second) {
            throw PackError(where + "named twice");
        }
        names.push_back(entry.name);
    }
}

package_format::StatementFile describeFile(const std::string& pkgDir, const std::string& name) {
    const std::string path = pkgDir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw PackError("cannot read " + path + ": " + errnoText());
    }
    if (!S_ISREG(st.st_mode)) {
        throw PackError(path + " is not a regular file");
    }
    package_format::StatementFile file;
    file.name = name;
    file.size = static_cast<uint64_t>(st.st_size);
    if (!package_format::sha256Text(path, file.sha256)) {
        throw PackError("cannot compute the SHA-256 digest of " + path);
    }
    return file;
}

void removeStale(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw MachineFault("cannot remove " + path + ": " + errnoText());
    }
}

}  // namespace

SignResult signPackage(const std::string& pkgDir, const std::string& key) {
    const ManifestTable manifest =
        parseManifest(readText(pkgDir + "/" + package_format::kManifestName));
    package_format::Statement statement;
    statement.productType = manifestValue(manifest, package_format::kProductTypeKey, pkgDir);
    statement.version = manifestValue(manifest, package_format::kVersionKey, pkgDir);
    const auto epoch = manifest.find(package_format::kSecurityEpochKey);
    if (epoch != manifest.end() &&
        !package_format::parseSecurityEpoch(epoch->second, statement.securityEpoch)) {
        throw PackError(pkgDir + ": " + package_format::kSecurityEpochKey + "=" + epoch->second +
                        " in the manifest is not a decimal from 0 to " +
                        std::to_string(package_format::kSecurityEpochMax));
    }

    std::vector<std::string> names = {package_format::kManifestName,
                                      package_format::kDigestListName};
    struct stat st {};
    const std::string script = pkgDir + "/" + package_format::kInitScriptName;
    if (::lstat(script.c_str(), &st) == 0) {
        names.emplace_back(package_format::kInitScriptName);
    }
    for (const std::string& name : digestListNames(pkgDir, statement.version)) {
        names.push_back(name);
    }
    for (const std::string& name : names) {
        statement.files.push_back(describeFile(pkgDir, name));
    }
    const std::string text = package_format::formatStatement(statement);
    const package_format::StatementReading reading = package_format::readStatement(text);
    if (reading.verdict != package_format::StatementVerdict::Valid) {
        throw PackError(pkgDir + ": no statement can describe the package: " +
                        package_format::describe(reading));
    }

    const std::string statementPath = pkgDir + "/" + package_format::kStatementName;
    const std::string signaturePath = pkgDir + "/" + package_format::kSignatureName;
    removeStale(signaturePath);
    writeText(statementPath, text);
    if (!key.empty()) {
        // openssl writes its output in place: it signs into a private directory, and the
        // signature appears in the package only complete.
        const qvsystemtools::WorkDir work("qvpack");
        if (!work.valid()) {
            throw MachineFault(work.failureText());
        }
        const std::string signature = work.path() + "/" + package_format::kSignatureName;
        const int status =
            runTool({"openssl", "dgst", "-sha256", "-sign", key, "-out", signature, statementPath},
                    "openssl");
        struct stat written {};
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw PackError("openssl failed (" + exitText(status) + "); " + pkgDir +
                            " is not signed");
        }
        if (::stat(signature.c_str(), &written) != 0 || written.st_size == 0) {
            throw PackError("openssl wrote no signature; " + pkgDir + " is not signed");
        }
        copyPlain(signature, signaturePath);
    }
    return {statement.files.size(), statement.securityEpoch};
}

std::string signedLine(const std::string& pkgDir, bool withKey, const SignResult& result) {
    const std::string facts =
        std::string(package_format::kStatementName) + " lists " + std::to_string(result.files) +
        " files, " + package_format::kSecurityEpochKey + "=" + std::to_string(result.securityEpoch);
    if (withKey) {
        return "qvpack: signed " + pkgDir + ": " + facts + "\n";
    }
    return "qvpack: wrote " + pkgDir + "/" + package_format::kStatementName + " (" + facts +
           "); sign it into " + package_format::kSignatureName + "\n";
}

std::string signUsage() {
    return "  qvpack sign PKGDIR (--key KEY | --statement-only)\n"
           "      Write package.sha256, the statement of the package as it stands: its\n"
           "      PRODUCT_TYPE, KIVRA_VERSION and SECURITY_EPOCH, and the SHA-256 and size of\n"
           "      manifest.txt, images.md5, init.sh and every file of the digest list. With\n"
           "      --key, sign it into package.sha256.sig by \"openssl dgst -sha256 -sign KEY\"\n"
           "      (an RSA key of 2048 bits or more; a key file or anything openssl takes);\n"
           "      with --statement-only, leave the signing to an outside signer. An older\n"
           "      signature is removed first.\n";
}

}  // namespace qvpack
}  // namespace KIVRA
