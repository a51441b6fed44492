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
#include "installer/digest_list.h"
#include "installer/file_digest.h"
#include "installer/image_classes.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/manifest_text.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

namespace {

using installer::ImageClass;

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

class Reporter {
public:
    Reporter(std::ostream& out, CheckSummary& summary) : out_(out), summary_(summary) {}
    void ok(const std::string& name, const std::string& remark = "") {
        ++summary_.checks;
        out_ << name << ": OK" << (remark.empty() ? "" : " (" + remark + ")") << "\n";
    }
    void failed(const std::string& name, const std::string& reason) {
        ++summary_.checks;
        ++summary_.failures;
        out_ << name << ": FAILED (" << reason << ")\n";
    }
    void note(const std::string& name, const std::string& text) {
        out_ << name << ": " << text << "\n";
    }

private:
    std::ostream& out_;
    CheckSummary& summary_;
};

std::string packageVersion(const std::string& pkgDir, const std::string& plainDir,
                           Reporter& report) {
    const std::string path = pkgDir + "/" + installer::kManifestName;
    const ManifestTable manifest = parseManifest(readText(path));
    const auto version = manifest.find("KIVRA_VERSION");
    // An empty version is a version like any other to the installer: the empty passphrase
    // is a valid key.
    if (version == manifest.end()) {
        throw PackError(path + " has no KIVRA_VERSION");
    }
    copyPlain(path, plainDir + "/" + installer::kManifestName);
    const auto type = manifest.find("PRODUCT_TYPE");
    if (type == manifest.end()) {
        report.failed(installer::kManifestName, "no PRODUCT_TYPE");
    } else if (type->second.empty()) {
        // No device has an empty product type: the installer refuses the package.
        report.failed(installer::kManifestName, "PRODUCT_TYPE is empty");
    } else {
        report.ok(installer::kManifestName,
                  "PRODUCT_TYPE=" + type->second + ", KIVRA_VERSION=" + version->second);
    }
    return version->second;
}

// Checks one digest-list entry; the reason of a failure, or "" when it passed.
std::string checkEntry(QvEncryption& crypto, const std::string& pkgDir, const std::string& plainDir,
                       bool keepFiles, const std::string& digest, const std::string& name) {
    const std::string source = pkgDir + "/" + name;
    if (!isRegularFile(source)) {
        return "missing from the package";
    }
    const ImageClass imageClass = installer::classifyImage(name);
    const std::string target = plainDir + "/" + name;
    std::string hashed = source;
    if (installer::isEncryptedClass(imageClass)) {
        if (crypto.decryptFile(source, target) != 0) {
            return "cannot decrypt";
        }
        hashed = target;
    } else if (keepFiles) {
        try {
            copyPlain(source, target);
        } catch (const PackError& error) {
            return error.what();
        }
        hashed = target;
    }
    std::string actual;
    std::string reason;
    if (!installer::md5Text(hashed, actual)) {
        reason = "cannot compute the MD5 digest";
    } else if (actual != digest) {
        reason = "MD5 mismatch";
    } else if (imageClass == ImageClass::UbootImage && !installer::hasUbootMagic(target)) {
        reason = "no U-Boot header 27 05 19 56 after decryption";
    }
    if (!keepFiles && hashed == target) {
        // Images may be hundreds of MiB: keep the work directory to one at a time.
        (void)::unlink(target.c_str());
    }
    return reason;
}

}  // namespace

CheckSummary checkPackage(const std::string& pkgDir, const std::string& plainDir, bool keepFiles,
                          std::ostream& out) {
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
    const std::string listSource = pkgDir + "/" + installer::kDigestListName;
    const std::string listPlain = plainDir + "/" + installer::kDigestListName;
    if (!isRegularFile(listSource) || crypto.decryptFile(listSource, listPlain) != 0) {
        throw PackError("cannot decrypt " + listSource);
    }

    const std::string listText = readText(listPlain);
    if (!isListText(listText)) {
        // A wrong passphrase gives random bytes; their "names" would only garble the report.
        report.failed(installer::kDigestListName,
                      "does not decrypt to a digest list; wrong KIVRA_VERSION?");
        return summary;
    }
    // Read by the installer's own reader, so both take the same entries from the same text.
    std::istringstream list(listText);
    installer::DigestListReader reader(list);
    installer::DigestListEntry entry;
    std::set<std::string> listed;
    for (;;) {
        const installer::DigestListReader::Next next = reader.next(entry);
        if (next == installer::DigestListReader::Next::End) {
            break;
        }
        if (next == installer::DigestListReader::Next::MissingName) {
            report.failed(installer::kDigestListName,
                          "digest " + entry.digest + " has no file name");
            break;
        }
        if (next == installer::DigestListReader::Next::ReadError) {
            report.failed(installer::kDigestListName, "cannot be read to its end");
            break;
        }
        const std::string& digest = entry.digest;
        const std::string& name = entry.name;
        if (!installer::isPlainFileName(name)) {
            report.failed(name, "not a plain file name of the package directory");
            continue;
        }
        if (installer::isReservedName(name)) {
            report.failed(name, "the name belongs to the package itself");
            continue;
        }
        if (!listed.insert(name).second) {
            report.failed(name, "listed twice");
            continue;
        }
        if (!installer::isDigestText(digest)) {
            report.failed(name, "digest is not 32 lower-case hexadecimal digits");
            continue;
        }
        const std::string reason = checkEntry(crypto, pkgDir, plainDir, keepFiles, digest, name);
        if (reason.empty()) {
            report.ok(name);
        } else {
            report.failed(name, reason);
        }
    }

    const std::string script = pkgDir + "/" + installer::kInitScriptName;
    if (isRegularFile(script)) {
        if (crypto.decryptFile(script, plainDir + "/" + installer::kInitScriptName) != 0) {
            report.failed(installer::kInitScriptName, "cannot decrypt");
        } else {
            report.ok(installer::kInitScriptName, "decrypted; no digest covers it");
        }
    }

    qvsystemtools::UniqueDir dir(::opendir(pkgDir.c_str()));
    std::vector<std::string> unlisted;
    qvsystemtools::DirEntries entries(dir.get());
    while (const dirent* entry = dir.valid() ? entries.next() : nullptr) {
        const std::string file = entry->d_name;
        if (!installer::isReservedName(file) && listed.count(file) == 0) {
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
