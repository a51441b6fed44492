#pragma once
// One line of a KEY=VALUE manifest, as the installer reads it and the release tool checks it.

#include <map>
#include <string>

namespace KIVRA {
namespace package_format {

// Stores the line's entry in table: the key is everything before the first "=", the value
// everything after it, byte for byte (a carriage return, blanks and quotes are data); a
// repeated key takes the later value. An empty line, a line starting with "#" and a line
// without "=" change nothing.
void addManifestLine(const std::string& line, std::map<std::string, std::string>& table);

}  // namespace package_format
}  // namespace KIVRA
