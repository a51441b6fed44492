#include "tools/qvpack/package_create.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iterator>
#include <map>
#include <set>

#include "crypto/qv_encryption.h"
#include "package_format/digest_list.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "package_format/manifest_keys.h"
#include "package_format/products.h"
#include "package_format/statement.h"
#include "qvsystemtools/dir_ops.h"
#include "qvsystemtools/work_dir.h"
#include "tools/qvpack/file_util.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

namespace {

using package_format::ImageClass;

struct PackageFile {
    std::string source;
    std::string name;
    ImageClass imageClass;
};

bool hasWhiteSpace(const std::string& text) {
    return text.find_first_of(" \t\n\v\f\r") != std::string::npos;
}

std::vector<PackageFile> checkFiles(const std::vector<std::string>& files) {
    std::set<std::string> names;
    std::vector<PackageFile> result;
    for (const std::string& source : files) {
        const std::string name = baseName(source);
        if (!package_format::isPlainFileName(name)) {
            throw PackError(source + ": the package name \"" + name +
                            "\" cannot stand in the digest list (empty, \".\", \"..\" or "
                            "white space)");
        }
        if (package_format::isReservedName(name)) {
            throw PackError(source + ": the name " + name + " belongs to the package itself");
        }
        if (!names.insert(name).second) {
            throw PackError(source + ": a second file named " + name);
        }
        requireRegularFile(source);
        const ImageClass imageClass = package_format::classifyImage(name);
        if (imageClass == ImageClass::UbootImage && !package_format::hasUbootMagic(source)) {
            throw PackError(source + ": " + name +
                            " must be a U-Boot image (starting with 27 05 19 56)");
        }
        result.push_back({source, name, imageClass});
    }
    return result;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Edits (insert, delete, replace, swap of neighbours) between a and b, counted up to 2.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The name of the package's fixed files that name is probably a slip of: equal but for case,
// or one edit away. "" when name is one of them or near none.
std::string intendedName(const std::string& name) {
    std::vector<std::string> known(std::begin(package_format::kUbootImageNames),
                                   std::end(package_format::kUbootImageNames));
    known.insert(known.end(), std::begin(package_format::kPlainImageNames),
                 std::end(package_format::kPlainImageNames));
    known.insert(known.end(), {package_format::kNtimName, package_format::kInstallerProgramName});
    for (const std::string& candidate : known) {
        if (name == candidate) {
            return "";
        }
    }
    for (const std::string& candidate : known) {
        if (lowerCase(name) == lowerCase(candidate) || editDistance(name, candidate) == 1) {
            return candidate;
        }
    }
    return "";
}

bool hasSuffix(const std::string& text, const std::string& suffix) {
    return text.size() > suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void checkRadioEntries(const ManifestEntries& entries) {
    const std::string versionSuffix = package_format::kRadioVersionSuffix;
    const std::string digestSuffix = package_format::kRadioDigestSuffix;
    std::map<std::string, std::string> values(entries.begin(), entries.end());
    for (const auto& [key, value] : entries) {
        if (key == package_format::kVersionKey) {
            continue;
        }
        if (hasSuffix(key, versionSuffix)) {
            const std::string id = key.substr(0, key.size() - versionSuffix.size());
            if (values.count(id + digestSuffix) == 0) {
                throw UsageError("--set " + key + ": the radio entry has no " + id + digestSuffix +
                                 " (the MD5 digest of its radio-module image)");
            }
        }
        if (hasSuffix(key, digestSuffix)) {
            const std::string id = key.substr(0, key.size() - digestSuffix.size());
            if (values.count(id + versionSuffix) == 0) {
                throw UsageError("--set " + key + ": the radio entry has no " + id + versionSuffix +
                                 " (the version of its radio-module image)");
            }
            if (!package_format::isDigestText(value)) {
                throw UsageError("--set " + key +
                                 ": the digest must be 32 lower-case "
                                 "hexadecimal digits");
            }
        }
    }
}

// Removes what a failed create wrote, so no half-built package is mistaken for a good one.
class Cleanup {
public:
    Cleanup(const std::string& dir, bool created) : dir_(dir), created_(created) {}
    ~Cleanup() {
        if (done_) {
            return;
        }
        if (created_) {
            (void)qvsystemtools::removeDir(dir_);
            return;
        }
        for (const std::string& path : written_) {
            (void)::unlink(path.c_str());
        }
    }
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;

    // Called before the file is opened: a partial output is removed as well.
    std::string add(const std::string& path) {
        written_.push_back(path);
        return path;
    }
    void commit() { done_ = true; }

private:
    std::string dir_;
    bool created_;
    bool done_ = false;
    std::vector<std::string> written_;
};

}  // namespace

std::vector<std::string> checkRequest(const CreateRequest& request) {
    std::vector<std::string> warnings;
    if (request.productType.empty() || hasWhiteSpace(request.productType)) {
        throw UsageError("the product type (--product-type) must be a non-empty word");
    }
    // The installer compares the type with the one its product table gives the device.
    if (!package_format::isProductType(request.productType)) {
        const std::string typeOfName = package_format::productTypeOf(request.productType);
        throw UsageError("--product-type " + request.productType + " is the type of no product" +
                         (typeOfName.empty()
                              ? std::string()
                              : " (" + request.productType + " is a product name; its type is " +
                                    typeOfName + ")") +
                         "; product types: " + package_format::productTypeList());
    }
    if (request.version.empty()) {
        warnings.emplace_back(
            "the version (--version) is empty: every package file is encrypted with the empty "
            "passphrase");
    } else if (hasWhiteSpace(request.version.substr(0, 1)) ||
               hasWhiteSpace(request.version.substr(request.version.size() - 1))) {
        throw UsageError("the version (--version) \"" + request.version +
                         "\" begins or ends with white space, which would be part of the "
                         "version and the passphrase");
    }
    bool image = false;
    for (const std::string& source : request.files) {
        const std::string name = baseName(source);
        if (package_format::isEncryptedClass(package_format::classifyImage(name))) {
            image = true;
        }
        const std::string intended = intendedName(name);
        if (!intended.empty()) {
            warnings.push_back(source + ": \"" + name +
                               "\" travels unchanged, as a file of the other class; did you mean " +
                               intended + "?");
        }
    }
    if (!image) {
        throw UsageError(
            "no image among the files: a package brings at least one kernel, root "
            "file system, device tree or recovery image (see qvpack --help)");
    }
    checkRadioEntries(request.extraEntries);
    for (const auto& entry : request.extraEntries) {
        if (entry.first == package_format::kSecurityEpochKey) {
            throw UsageError(std::string("--set ") + package_format::kSecurityEpochKey +
                             ": give the epoch with --security-epoch, which the statement "
                             "repeats");
        }
    }
    return warnings;
}

CreateResult createPackage(const CreateRequest& request) {
    CreateResult result;
    // Each file is checked first: a missing or misnamed file is the fault to report, not the
    // image it would have been.
    const std::vector<PackageFile> files = checkFiles(request.files);
    result.warnings = checkRequest(request);
    ManifestEntries entries = {{package_format::kProductTypeKey, request.productType},
                               {package_format::kVersionKey, request.version}};
    if (!request.initScript.empty()) {
        requireRegularFile(request.initScript);
        std::string digest;
        if (!package_format::md5Text(request.initScript, digest)) {
            throw PackError("cannot compute the MD5 digest of " + request.initScript);
        }
        entries.emplace_back(package_format::kInitScriptDigestKey, digest);
    }
    if (!request.securityEpoch.empty()) {
        entries.emplace_back(package_format::kSecurityEpochKey, request.securityEpoch);
    }
    entries.insert(entries.end(), request.extraEntries.begin(), request.extraEntries.end());
    const std::string manifest = formatManifest(entries);

    QvEncryption crypto;
    if (crypto.setKey(request.version) != 0) {
        throw PackError("cannot derive the package key");
    }
    const qvsystemtools::WorkDir work("qvpack");
    if (!work.valid()) {
        throw MachineFault(work.failureText());
    }
    const std::string& out = request.outDir;
    Cleanup cleanup(out, prepareOutputDir(out));

    writeText(cleanup.add(out + "/" + package_format::kManifestName), manifest);
    std::string digests;
    for (const PackageFile& file : files) {
        std::string digest;
        if (!package_format::md5Text(file.source, digest)) {
            throw PackError("cannot compute the MD5 digest of " + file.source);
        }
        digests += digest + "  " + file.name + "\n";
        const std::string target = cleanup.add(out + "/" + file.name);
        if (package_format::isEncryptedClass(file.imageClass)) {
            encryptPlain(crypto, file.source, target);
            ++result.encrypted;
        } else {
            copyPlain(file.source, target);
        }
    }
    if (!request.initScript.empty()) {
        encryptPlain(crypto, request.initScript,
                     cleanup.add(out + "/" + package_format::kInitScriptName));
        ++result.encrypted;
    }
    // The digest list goes last: a package cut short by a crash or a power cut has no list and
    // is refused as a whole, where an early list would have it installed in part.
    const std::string plainList = work.path() + "/" + package_format::kDigestListName;
    writeText(plainList, digests);
    encryptPlain(crypto, plainList, cleanup.add(out + "/" + package_format::kDigestListName));
    if (!request.signKey.empty()) {
        (void)cleanup.add(out + "/" + package_format::kStatementName);
        (void)cleanup.add(out + "/" + package_format::kSignatureName);
        result.signature = signPackage(out, request.signKey);
    }
    cleanup.commit();
    result.encrypted += 1;
    result.files =
        files.size() + 2 + (request.initScript.empty() ? 0 : 1) + (request.signKey.empty() ? 0 : 2);
    return result;
}

}  // namespace qvpack
}  // namespace KIVRA
