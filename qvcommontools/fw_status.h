#pragma once
// The one-line status file "/tmp/fw_status" that other device software reads.

#include <string>

namespace KIVRA {
namespace qvcommontools {

extern const char* const kFwStatusPath;

enum class StatusWrite {
    Written,  // the file holds exactly text
    Refused,  // the file could not be opened, or is not ours to write: left as it was
    Failed,   // the file was emptied but did not take the whole text (a full /tmp)
};

// Replaces the status file's content with text (no line end) and gives the file to user
// 1002, group 0. A symbolic link, a hard-linked file or anything but a regular file at the
// path is never written through: the status is then silently not written (Refused), as when
// the file cannot be opened. A failed owner change prints "failed to change /tmp/fw_status
// owner" on standard output; the written status stays.
[[nodiscard]] StatusWrite writeFwStatus(const std::string& text);

}  // namespace qvcommontools
}  // namespace KIVRA
