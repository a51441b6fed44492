#pragma once
// File helpers of the package tool. A bad input throws PackError, a failed write (no space, an
// unwritable directory) MachineFault, each with a one-line text.

#include <string>

#include "crypto/qv_encryption.h"

namespace KIVRA {
namespace qvpack {

// The text after the last "/" of path ("" for a path ending in "/").
[[nodiscard]] std::string baseName(const std::string& path);

// Throws unless path names a regular file (links followed).
void requireRegularFile(const std::string& path);

// Makes path an empty directory: creates it (its parent must exist) or accepts an existing
// empty directory. Returns true when it was created here. Throws when path is something
// else or a directory with content, so a package is never mixed with older files.
[[nodiscard]] bool prepareOutputDir(const std::string& path);

// Copies source to destination byte for byte, with the source's permission bits. The
// destination appears under its name only complete and synced; on any failure it is left
// as it was and this throws.
void copyPlain(const std::string& source, const std::string& destination);

// Writes text as the whole content of path (mode 0644), in the same way as copyPlain.
void writeText(const std::string& path, const std::string& text);

// Encrypts source into destination with crypto's key (mode 0644), in the same way as
// copyPlain: the destination appears only complete and synced.
void encryptPlain(QvEncryption& crypto, const std::string& source, const std::string& destination);

// Reads the whole file. Throws when it cannot be read.
[[nodiscard]] std::string readText(const std::string& path);

// strerror of the current errno.
[[nodiscard]] std::string errnoText();

}  // namespace qvpack
}  // namespace KIVRA
