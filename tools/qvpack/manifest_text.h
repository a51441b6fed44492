#pragma once
// The package manifest as the installer reads it: KEY=VALUE lines.

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace KIVRA {
namespace qvpack {

using ManifestTable = std::map<std::string, std::string>;
using ManifestEntries = std::vector<std::pair<std::string, std::string>>;

// Reads text by the installer's rules: lines split at line feeds, nothing trimmed; empty
// lines, lines starting with "#" and lines without "=" are skipped; the key ends at the first
// "="; a repeated key keeps its last value.
[[nodiscard]] ManifestTable parseManifest(const std::string& text);

// Manifest text for entries in order, one KEY=VALUE line each. Throws PackError for an entry
// the installer would read back differently: an empty key, a key that begins with "#" or
// holds "=", a repeated key, or a control character (a line end, a carriage return, a tab)
// in a key or a value.
[[nodiscard]] std::string formatManifest(const ManifestEntries& entries);

}  // namespace qvpack
}  // namespace KIVRA
