#include "tools/qvpack/manifest_text.h"

#include <set>

#include "package_format/manifest_line.h"
#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

namespace {

bool hasControl(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

}  // namespace

ManifestTable parseManifest(const std::string& text) {
    ManifestTable table;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        package_format::addManifestLine(text.substr(start, end - start), table);
        start = end + 1;
    }
    return table;
}

std::string formatManifest(const ManifestEntries& entries) {
    std::set<std::string> seen;
    std::string text;
    for (const auto& [key, value] : entries) {
        if (key.empty() || key[0] == '#' || key.find('=') != std::string::npos) {
            throw PackError("manifest key \"" + key +
                            "\" cannot be read back (empty, begins with \"#\" or holds \"=\")");
        }
        if (hasControl(key) || hasControl(value)) {
            throw PackError("manifest entry " + key +
                            " holds a control character (line end, carriage return, tab)");
        }
        if (!seen.insert(key).second) {
            throw PackError("manifest key " + key + " given twice");
        }
        text += key + "=" + value + "\n";
    }
    return text;
}

}  // namespace qvpack
}  // namespace KIVRA
