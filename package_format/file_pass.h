#pragma once
// One pass over a package file into its destination: the file is read once, decrypted or
// copied as it is, written, and each piece handed to the sinks riding along (the digests that
// verify it) in the same pass, so neither file is read a second time.

#include <string>

#include "crypto/qv_encryption.h"
#include "package_format/file_digest.h"
#include "qvsystemtools/tool_status.h"

namespace KIVRA {
namespace package_format {

// crypto.decryptFile(source, target), with sinks.stored taking the encrypted bytes as read
// and sinks.installed the plain bytes once written. 0, or -1 exactly where decryptFile fails.
[[nodiscard]] int decryptInto(QvEncryption& crypto, const std::string& source,
                              const std::string& target, const PassSinks& sinks);

// qvsystemtools::copyFile(source, target), with both lists of sinks taking the bytes copied
// (stored and installed bytes are the same). Its results and its lines on standard error; a
// target that is the source itself is read through for the sinks and left as it is.
[[nodiscard]] qvsystemtools::ToolStatus copyInto(const std::string& source,
                                                 const std::string& target, const PassSinks& sinks);

}  // namespace package_format
}  // namespace KIVRA
