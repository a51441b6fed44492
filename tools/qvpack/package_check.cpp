#include "tools/qvpack/package_check.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "crypto/qv_encryption.h"
#include "package_format/digest_list.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

namespace {

using package_format::ImageClass;

// Printable ASCII and white space only, as every digest and file name is.
bool isListText(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool space = byte == ' ' || (byte >= '\t' && byte <= '\r');
        if (!space && (byte < 0x21 || byte > 0x7E)) {
            return false;
        }
    }
    return true;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Counts the checks and hands every item to the report.
class Reporter {
public:
    Reporter(CheckReport& report, CheckSummary& summary) : report_(report), summary_(summary) {}
    void manifest(const ManifestTable& table) { report_.manifest(table); }
    void ok(const std::string& name, DigestState digest, const std::string& remark = "") {
        ++summary_.checks;
        report_.item({name, fileClassName(name), digest, ItemOutcome::Ok, remark});
    }
    void failed(const std::string& name, DigestState digest, const std::string& reason) {
        ++summary_.checks;
        ++summary_.failures;
        report_.item({name, fileClassName(name), digest, ItemOutcome::Failed, reason});
    }
    void note(const std::string& name, const std::string& text) {
        report_.item({name, fileClassName(name), DigestState::None, ItemOutcome::Note, text});
    }

private:
    CheckReport& report_;
    CheckSummary& summary_;
};

std::string packageVersion(const std::string& pkgDir, const std::string& plainDir,
                           Reporter& report) {
    const std::string path = pkgDir + "/" + package_format::kManifestName;
    const ManifestTable manifest = parseManifest(readText(path));
    const auto version = manifest.find("KIVRA_VERSION");
    // An empty version is a version like any other to the installer: the empty passphrase
    // is a valid key.
    if (version == manifest.end()) {
        throw PackError(path + " has no KIVRA_VERSION");
    }
    copyPlain(path, plainDir + "/" + package_format::kManifestName);
    report.manifest(manifest);
    const auto type = manifest.find("PRODUCT_TYPE");
    if (type == manifest.end()) {
        report.failed(package_format::kManifestName, DigestState::None, "no PRODUCT_TYPE");
    } else if (type->second.empty()) {
        // No device has an empty product type: the installer refuses the package.
        report.failed(package_format::kManifestName, DigestState::None, "PRODUCT_TYPE is empty");
    } else {
        report.ok(package_format::kManifestName, DigestState::None,
                  "PRODUCT_TYPE=" + type->second + ", KIVRA_VERSION=" + version->second);
    }
    return version->second;
}

struct EntryResult {
    std::string reason;  // "" when the entry passed
    DigestState digest = DigestState::Unchecked;
};

// Checks one digest-list entry.
EntryResult checkEntry(QvEncryption& crypto, const std::string& pkgDir, const std::string& plainDir,
                       bool keepFiles, const std::string& digest, const std::string& name) {
    const std::string source = pkgDir + "/" + name;
    if (!isRegularFile(source)) {
        return {"missing from the package"};
    }
    const ImageClass imageClass = package_format::classifyImage(name);
    const std::string target = plainDir + "/" + name;
    std::string hashed = source;
    if (package_format::isEncryptedClass(imageClass)) {
        if (crypto.decryptFile(source, target) != 0) {
            return {"cannot decrypt"};
        }
        hashed = target;
    } else if (keepFiles) {
        try {
            copyPlain(source, target);
        } catch (const PackError& error) {
            return {error.what()};
        }
        hashed = target;
    }
    std::string actual;
    EntryResult result;
    if (!package_format::md5Text(hashed, actual)) {
        result.reason = "cannot compute the MD5 digest";
    } else if (actual != digest) {
        result = {"MD5 mismatch", DigestState::Mismatch};
    } else {
        result.digest = DigestState::Match;
        if (imageClass == ImageClass::UbootImage && !package_format::hasUbootMagic(target)) {
            result.reason = "no U-Boot header 27 05 19 56 after decryption";
        }
    }
    if (!keepFiles && hashed == target) {
        // Images may be hundreds of MiB: keep the work directory to one at a time.
        (void)::unlink(target.c_str());
    }
    return result;
}

}  // namespace

void TextReport::manifest(const ManifestTable& /*table*/) {
    // The text report names the two keys the installer needs on the manifest's own line.
}

void TextReport::item(const CheckItem& item) {
    switch (item.outcome) {
        case ItemOutcome::Ok:
            out_ << item.name << ": OK" << (item.detail.empty() ? "" : " (" + item.detail + ")")
                 << "\n";
            return;
        case ItemOutcome::Failed:
            out_ << item.name << ": FAILED (" << item.detail << ")\n";
            return;
        case ItemOutcome::Note:
            out_ << item.name << ": " << item.detail << "\n";
            return;
    }
}

std::string fileClassName(const std::string& name) {
    if (name == package_format::kManifestName) {
        return "manifest";
    }
    if (name == package_format::kDigestListName) {
        return "digest-list";
    }
    if (name == package_format::kInitScriptName) {
        return "init-script";
    }
    switch (package_format::classifyImage(name)) {
        case ImageClass::InstallerProgram:
            return "installer-program";
        case ImageClass::NtimFile:
            return "ntim";
        case ImageClass::UbootImage:
            return "uboot-image";
        case ImageClass::PlainImage:
            return "plain-image";
        case ImageClass::OtherFile:
            return "other";
    }
    return "other";
}

CheckSummary checkPackage(const std::string& pkgDir, const std::string& plainDir, bool keepFiles,
                          CheckReport& out) {
    struct stat st {};
    if (::stat(pkgDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw PackError(pkgDir + ": not a directory");
    }
    CheckSummary summary;
    Reporter report(out, summary);
    const std::string version = packageVersion(pkgDir, plainDir, report);

    QvEncryption crypto;
    if (crypto.setKey(version) != 0) {
        throw PackError("cannot derive the package key");
    }
    const std::string listSource = pkgDir + "/" + package_format::kDigestListName;
    const std::string listPlain = plainDir + "/" + package_format::kDigestListName;
    if (!isRegularFile(listSource) || crypto.decryptFile(listSource, listPlain) != 0) {
        throw PackError("cannot decrypt " + listSource);
    }

    const std::string listText = readText(listPlain);
    if (!isListText(listText)) {
        // A wrong passphrase gives random bytes; their "names" would only garble the report.
        report.failed(package_format::kDigestListName, DigestState::None,
                      "does not decrypt to a digest list; wrong KIVRA_VERSION?");
        return summary;
    }
    // Read by the installer's own reader, so both take the same entries from the same text.
    std::istringstream list(listText);
    package_format::DigestListReader reader(list);
    package_format::DigestListEntry entry;
    std::set<std::string> listed;
    for (;;) {
        const package_format::DigestListReader::Next next = reader.next(entry);
        if (next == package_format::DigestListReader::Next::End) {
            break;
        }
        if (next == package_format::DigestListReader::Next::MissingName) {
            report.failed(package_format::kDigestListName, DigestState::None,
                          "digest " + entry.digest + " has no file name");
            break;
        }
        if (next == package_format::DigestListReader::Next::ReadError) {
            report.failed(package_format::kDigestListName, DigestState::None,
                          "cannot be read to its end");
            break;
        }
        const std::string& digest = entry.digest;
        const std::string& name = entry.name;
        if (!package_format::isPlainFileName(name)) {
            report.failed(name, DigestState::Unchecked,
                          "not a plain file name of the package directory");
            continue;
        }
        if (package_format::isReservedName(name)) {
            report.failed(name, DigestState::Unchecked, "the name belongs to the package itself");
            continue;
        }
        if (!listed.insert(name).second) {
            report.failed(name, DigestState::Unchecked, "listed twice");
            continue;
        }
        if (!package_format::isDigestText(digest)) {
            report.failed(name, DigestState::Unchecked,
                          "digest is not 32 lower-case hexadecimal digits");
            continue;
        }
        const EntryResult result = checkEntry(crypto, pkgDir, plainDir, keepFiles, digest, name);
        if (result.reason.empty()) {
            report.ok(name, result.digest);
        } else {
            report.failed(name, result.digest, result.reason);
        }
    }

    const std::string script = pkgDir + "/" + package_format::kInitScriptName;
    if (isRegularFile(script)) {
        if (crypto.decryptFile(script, plainDir + "/" + package_format::kInitScriptName) != 0) {
            report.failed(package_format::kInitScriptName, DigestState::None, "cannot decrypt");
        } else {
            report.ok(package_format::kInitScriptName, DigestState::None,
                      "decrypted; no digest covers it");
        }
    }

    qvsystemtools::UniqueDir dir(::opendir(pkgDir.c_str()));
    std::vector<std::string> unlisted;
    qvsystemtools::DirEntries entries(dir.get());
    while (const dirent* entry = dir.valid() ? entries.next() : nullptr) {
        const std::string file = entry->d_name;
        if (!package_format::isReservedName(file) && listed.count(file) == 0) {
            unlisted.push_back(file);
        }
    }
    if (dir.valid() && entries.error() != 0) {
        throw PackError(pkgDir + ": " + std::strerror(entries.error()));
    }
    std::sort(unlisted.begin(), unlisted.end());
    for (const std::string& file : unlisted) {
        report.note(file, "not in the digest list; the installer leaves it alone");
    }
    return summary;
}

}  // namespace qvpack
}  // namespace KIVRA
