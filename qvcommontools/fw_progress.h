#pragma once
// "/tmp/fw_progress": how far an install is, which step it is at and how it ended, for a
// device's web page or an inventory script. The status file "/tmp/fw_status" stays as it
// always was; this is a second file beside it.
//
// The file holds one line of KEY=VALUE fields separated by single blanks, e.g.
//   state=running step=12 steps=20 name=install_firmware file=rootfs.sqfs percent=62 bytes=88080384
//   total=142606336 state=done status=2 percent=100 state=failed status=1 step=12
//   name=install_firmware error="MD5 check failed for uImage (err 4)"
// and is replaced whole at each change, so a reader sees one complete line or the previous
// one, never a part.

#include <chrono>
#include <cstdint>
#include <string>

namespace KIVRA {
namespace qvcommontools {

extern const char* const kFwProgressPath;

// A value as the progress line writes it. Made only of letters, digits and ._/:+,@%- it is
// written bare; anything else (empty, blanks, quotes ...) is put in double quotes, with \, ",
// $ and ` each preceded by a backslash and every control character written as '?', so the
// line stays one line and reads back exactly through the shell (eval or ".") as through a
// parser that takes a backslash to mean "the next character as it is".
[[nodiscard]] std::string progressValue(const std::string& value);

class FwProgress {
public:
    explicit FwProgress(std::string path = kFwProgressPath);

    // This run holds the install lock: from now on the file is written. Until then nothing
    // is, so a run refused by a live one never overwrites that run's progress.
    void start();

    // The run has steps steps; byteStep is the one whose bytes take the time, and it gets
    // most of the bar, filled by its bytes.
    void plan(int steps, int byteStep);

    // Step number (1 to steps) begins; written at once. An error line logged from now on is
    // this step's failure if the run fails.
    void step(int number, const std::string& name);

    // The byte step goes through total bytes, file by file.
    void beginBytes(uint64_t total);
    // The next file of size bytes begins; the file before it counts whole from now on.
    void beginFile(const std::string& name, uint64_t size);
    // count more bytes of the current file are done (never counted beyond its size).
    void addBytes(uint64_t count);

    // The run ended with exitStatus: 0 and 2 are done, anything else failed, with the first
    // error line of the failing step. When even this line cannot be written (a full /tmp),
    // the file is removed, so that it no longer says the install goes on.
    void finish(int exitStatus);

private:
    void showRunning(bool throttled);
    void writeRunning();
    void writeEnd(int exitStatus);
    [[nodiscard]] int percentNow() const;
    // Replaces the file with line; false when it could not (the install goes on regardless).
    bool write(const std::string& line);

    std::string path_;
    bool started_ = false;
    int steps_ = 0;
    int byteStep_ = 0;
    int step_ = 0;
    std::string name_;
    std::string file_;
    uint64_t total_ = 0;
    uint64_t filesDone_ = 0;  // the files before the current one
    uint64_t fileSize_ = 0;
    uint64_t inFile_ = 0;
    int shown_ = 0;  // the highest percent written: it never goes back
    std::chrono::steady_clock::time_point lastWrite_{};
};

}  // namespace qvcommontools
}  // namespace KIVRA
