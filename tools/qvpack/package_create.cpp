#include "tools/qvpack/package_create.h"

#include <unistd.h>

#include <cerrno>
#include <set>

#include "crypto/qv_encryption.h"
#include "package_format/file_digest.h"
#include "package_format/image_classes.h"
#include "qvsystemtools/dir_ops.h"
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

void createPackage(const CreateRequest& request) {
    if (request.productType.empty() || hasWhiteSpace(request.productType)) {
        throw PackError("the product type (--product-type) must be a non-empty word");
    }
    ManifestEntries entries = {{"PRODUCT_TYPE", request.productType},
                               {"KIVRA_VERSION", request.version}};
    entries.insert(entries.end(), request.extraEntries.begin(), request.extraEntries.end());
    const std::string manifest = formatManifest(entries);
    const std::vector<PackageFile> files = checkFiles(request.files);
    if (!request.initScript.empty()) {
        requireRegularFile(request.initScript);
    }

    QvEncryption crypto;
    if (crypto.setKey(request.version) != 0) {
        throw PackError("cannot derive the package key");
    }
    WorkDir work;
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
        } else {
            copyPlain(file.source, target);
        }
    }
    if (!request.initScript.empty()) {
        encryptPlain(crypto, request.initScript,
                     cleanup.add(out + "/" + package_format::kInitScriptName));
    }
    // The digest list goes last: a package cut short by a crash or a power cut has no list and
    // is refused as a whole, where an early list would have it installed in part.
    const std::string plainList = work.path() + "/" + package_format::kDigestListName;
    writeText(plainList, digests);
    encryptPlain(crypto, plainList, cleanup.add(out + "/" + package_format::kDigestListName));
    cleanup.commit();
}

}  // namespace qvpack
}  // namespace KIVRA
