#include <fstream>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "package_format/manifest_line.h"

namespace KIVRA {

KivraInstaller::Error KivraInstaller::readManifest(const std::string& path, Manifest& table) {
    const std::string origin = installer::origin("readManifest");
    return installer::runStep([&] {
        // Emptied first so a failed read never leaves an earlier manifest's values behind.
        table.clear();
        std::ifstream file(path, std::ios::in | std::ios::binary);
        if (!file.is_open()) {
            installer::raise(ManifestError, "Unable to open manifest file", origin);
        }
        // Keys and values are kept byte for byte: carriage returns, blanks and quotes are
        // data, so a package built on another system fails its checks visibly instead of
        // being silently "corrected".
        std::string line;
        while (std::getline(file, line)) {
            package_format::addManifestLine(line, table);
        }
        // A read error ends the loop as the end of the file does; taken for the end, it would
        // pass a manifest read in part (or a directory) off as whole.
        if (file.bad()) {
            table.clear();
            installer::raise(ManifestError, "Unable to open manifest file", origin);
        }
    });
}

KivraInstaller::Error KivraInstaller::readPackageManifest() {
    return readManifest(installer::kPackageManifestCopy, impl_->manifest);
}

KivraInstaller::Error KivraInstaller::getManifestValue(const std::string& key,
                                                       const Manifest& table, std::string& value) {
    const std::string origin = installer::origin("getManifestValue");
    Impl& d = *impl_;
    return installer::runStep([&] {
        const auto entry = table.find(key);
        if (entry == table.end()) {
            installer::fail(d, ManifestError, key + " not found in manifest", origin);
        }
        value = entry->second;
    });
}

}  // namespace KIVRA
