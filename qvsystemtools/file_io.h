#pragma once
// The toolbox's one file I/O layer: reading a descriptor in full, writing a file privately and
// renaming it into place, and walking a directory so that a read error is not taken for its
// end. Results keep errno, so a caller never stats a file again to learn why it failed.
// (writeAllFd, the write-all helper, is declared beside UniqueFd in qvsystemtools/unique_fd.h.)

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace qvsystemtools {

// The unit a file moves in, here and in the package passes built on this layer (decryption,
// digests): large enough that the system calls cost little beside the bytes they move, small
// enough that a chunk stays in the processor's cache from its read through its transform and
// digests to its write. A memory cost, never a format: no result depends on it.
constexpr size_t kTransferUnit = size_t{64} * 1024;

// Sees the bytes of a transfer piece by piece, in file order.
using ChunkObserver = std::function<void(const unsigned char* data, size_t length)>;

// Reads from fd until length bytes arrived or the file ends, retrying after interruptions.
// count is what arrived; error is 0, or the errno of the read that failed.
struct ReadResult {
    size_t count = 0;
    int error = 0;
};
[[nodiscard]] ReadResult readFull(int fd, void* buffer, size_t length);

// Appends everything from fd to its end to text. 0, or the errno of the failed read (what
// arrived before it stays appended).
[[nodiscard]] int readToEnd(int fd, std::string& text);

// Hands everything from fd (from its position) to observe, one transfer unit at a time. 0, or
// the errno of the read that failed (what arrived before it was handed over).
[[nodiscard]] int readThrough(int fd, const ChunkObserver& observe);

// Copies everything from fd in (from its position) to fd out, one transfer unit at a time,
// retrying after interruptions; observe, when given, sees each unit before it is written.
// error is 0, or the errno of the step that failed; failedRead tells a failed read of in from
// a failed write of out.
struct CopyResult {
    int error = 0;
    bool failedRead = false;
};
[[nodiscard]] CopyResult copyToEnd(int in, int out, const ChunkObserver& observe = {});

// A file written privately beside its target and renamed over it by commit(), so readers see
// the old content or the new one, never a part. Destroyed uncommitted, it removes its
// temporary file.
class AtomicFile {
public:
    // Creates the temporary file target + ".XXXXXX" (mode 0600 until set otherwise);
    // valid() tells whether it exists, and errno says why not.
    explicit AtomicFile(const std::string& target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    [[nodiscard]] bool valid() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }
    // The temporary file's name, for a writer that takes a path: it must write this very file
    // (open it for writing), never replace it, or commit() would sync another file.
    [[nodiscard]] const std::string& path() const { return temp_; }

    // Syncs and closes the file and renames it over the target. 0, or the errno of the step
    // that failed; the temporary file is then removed and the target is as it was.
    [[nodiscard]] int commit();

private:
    std::string target_;
    std::string temp_;
    UniqueFd fd_;
    bool committed_ = false;
};

// The entries of an open directory but "." and "..", in readdir order. next() returns
// nullptr at the end and on a read error; error() then tells them apart (0 at the end, the
// errno of the failed read otherwise).
class DirEntries {
public:
    explicit DirEntries(DIR* dir) : dir_(dir) {}

    [[nodiscard]] const dirent* next();
    [[nodiscard]] int error() const { return error_; }

private:
    DIR* dir_;
    int error_ = 0;
};

}  // namespace qvsystemtools
}  // namespace KIVRA
