#include "qvcommontools/fw_progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "qvcommontools/install_log.h"
#include "qvsystemtools/file_io.h"

namespace KIVRA {
namespace qvcommontools {

const char* const kFwProgressPath = "/tmp/fw_progress";

namespace {

// The file is on tmpfs, so a write costs no flash; still, a page polls it a few times a
// second at most, and the byte updates of a slow image must not cost the install more than
// that.
constexpr std::chrono::milliseconds kByteUpdateInterval(250);

// The byte step's weight against one for every other step: four fifths of the bar for the
// part of the install that takes the time.
constexpr int kByteStepWeightPerStep = 4;

// Anyone may read how the install goes; only the installer writes it.
constexpr mode_t kProgressMode = 0644;

bool isBare(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("._/:+,@%-", c) != nullptr;
}

std::string field(const char* key, const std::string& value) {
    return std::string(" ") + key + "=" + progressValue(value);
}

std::string field(const char* key, uint64_t value) {
    return std::string(" ") + key + "=" + std::to_string(value);
}

}  // namespace

std::string progressValue(const std::string& value) {
    if (!value.empty() && std::all_of(value.begin(), value.end(), isBare)) {
        return value;
    }
    std::string quoted = "\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            quoted += '?';
            continue;
        }
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

FwProgress::FwProgress(std::string path) : path_(std::move(path)) {}

void FwProgress::start() { started_ = true; }

void FwProgress::plan(int steps, int byteStep) {
    steps_ = steps;
    byteStep_ = byteStep;
}

void FwProgress::step(int number, const std::string& name) {
    step_ = number;
    name_ = name;
    file_.clear();
    forgetInstallErrors();
    showRunning(false);
}

void FwProgress::beginBytes(uint64_t total) {
    total_ = total;
    filesDone_ = 0;
    fileSize_ = 0;
    inFile_ = 0;
    showRunning(false);
}

void FwProgress::beginFile(const std::string& name, uint64_t size) {
    filesDone_ += fileSize_;
    fileSize_ = size;
    inFile_ = 0;
    file_ = name;
    showRunning(true);
}

void FwProgress::addBytes(uint64_t count) {
    inFile_ = std::min(fileSize_, inFile_ + count);
    showRunning(true);
}

int FwProgress::percentNow() const {
    if (steps_ <= 0 || step_ <= 0) {
        return 0;
    }
    const uint64_t byteWeight = static_cast<uint64_t>(kByteStepWeightPerStep) * (steps_ - 1);
    const uint64_t whole = static_cast<uint64_t>(steps_ - 1) + byteWeight;
    // Everything in units of 1/whole of the bar, times total for the byte step's share.
    const uint64_t total = std::max<uint64_t>(total_, 1);
    uint64_t done = static_cast<uint64_t>(step_ - 1) * total;
    if (byteStep_ > 0 && step_ > byteStep_) {
        done += (byteWeight - 1) * total;
    } else if (step_ == byteStep_) {
        done += byteWeight * std::min(total, filesDone_ + inFile_);
    }
    // 100 belongs to the end alone.
    return static_cast<int>(std::min<uint64_t>(99, 100 * done / (whole * total)));
}

void FwProgress::showRunning(bool throttled) {
    if (!started_) {
        return;
    }
    if (throttled && std::chrono::steady_clock::now() - lastWrite_ < kByteUpdateInterval) {
        return;
    }
    shown_ = std::max(shown_, percentNow());
    try {
        writeRunning();
    } catch (...) {
        // Only memory can run out here; a page that misses one update shows the next.
    }
}

void FwProgress::writeRunning() {
    std::string line = "state=running" + field("step", static_cast<uint64_t>(step_)) +
                       field("steps", static_cast<uint64_t>(steps_));
    if (!name_.empty()) {
        line += field("name", name_);
    }
    if (!file_.empty()) {
        line += field("file", file_);
    }
    line += field("percent", static_cast<uint64_t>(shown_));
    if (step_ == byteStep_ && total_ > 0) {
        line += field("bytes", std::min(total_, filesDone_ + inFile_)) + field("total", total_);
    }
    (void)write(line);  // a page that misses one update shows the next
}

void FwProgress::finish(int exitStatus) {
    if (!started_) {
        return;
    }
    try {
        writeEnd(exitStatus);
    } catch (...) {
        // Only memory can run out here. Like a failed write, it must not change the outcome.
        (void)::unlink(path_.c_str());  // see writeEnd
    }
}

void FwProgress::writeEnd(int exitStatus) {
    const bool done = exitStatus == 0 || exitStatus == 2;
    std::string line = std::string("state=") + (done ? "done" : "failed") +
                       " status=" + std::to_string(exitStatus);
    if (done) {
        line += " percent=100";
    } else {
        line += field("step", static_cast<uint64_t>(step_));
        if (!name_.empty()) {
            line += field("name", name_);
        }
        const std::string& error = firstInstallError();
        if (!error.empty()) {
            line += field("error", error);
        }
    }
    if (!write(line)) {
        // A line saying the install still runs would stay there for good: better none.
        (void)::unlink(path_.c_str());  // nothing more to do if even this fails
    }
}

bool FwProgress::write(const std::string& line) {
    lastWrite_ = std::chrono::steady_clock::now();
    // Written privately beside the file and renamed over it: a link planted at the name in
    // world-writable /tmp is replaced, never written through, and a reader never sees a part.
    qvsystemtools::AtomicFile file(path_);
    const std::string text = line + "\n";
    return file.valid() && ::fchmod(file.fd(), kProgressMode) == 0 &&
           qvsystemtools::writeAllFd(file.fd(), text.data(), text.size()) && file.commit() == 0;
}

}  // namespace qvcommontools
}  // namespace KIVRA
