#include "package_format/manifest_line.h"

namespace KIVRA {
namespace package_format {

void addManifestLine(const std::string& line, std::map<std::string, std::string>& table) {
    if (line.empty() || line[0] == '#') {
        return;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
        return;
    }
    table[line.substr(0, equals)] = line.substr(equals + 1);
}

}  // namespace package_format
}  // namespace KIVRA
