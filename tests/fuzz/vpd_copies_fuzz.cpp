// The two flash copies of the boot environment as VpdHandler chooses between them, in the
// installer's update (setEnvValue): the newer valid copy is kept byte for byte and the older
// one becomes that record with the flag one higher and fwupdate_flag=1, nothing else changed.

#include <cstring>
#include <memory>

#include "tests/fuzz/fuzz_support.h"
#include "tests/vpd/env_layout.h"
#include "vpd/crc32.h"
#include "vpd/vpd_handler.h"

using namespace KIVRA;

namespace {
using KIVRA::testing::kEnvCopy1;
constexpr uint32_t kSize = VpdUpdater::kRecordSize;

// Flash in memory: what the handler reads and writes instead of /dev/mtd0.
class MemoryFlash : public PatchStream {
public:
    explicit MemoryFlash(std::string& bytes) : bytes_(bytes) {}
    int open(const char*, int mode, uint32_t limit) override {
        mode_ = mode;
        pos_ = 0;
        end_ = limit == 0 || limit > bytes_.size() ? bytes_.size() : limit;
        return 0;
    }
    int close() override { return 0; }
    int getMode() override { return mode_; }
    int read(void* buffer, uint32_t length) override {
        const uint32_t n = pos_ >= end_ ? 0 : std::min(length, end_ - pos_);
        std::memcpy(buffer, bytes_.data() + pos_, n);
        pos_ += n;
        return static_cast<int>(n);
    }
    int write(const void* data, uint32_t length) override {
        if (mode_ != 2 || pos_ + length > end_) return -1;
        std::memcpy(bytes_.data() + pos_, data, length);
        pos_ += length;
        return static_cast<int>(length);
    }
    int seek(uint32_t offset) override {
        return offset > end_ ? -1 : static_cast<int>(pos_ = offset);
    }
    int erase() override {
        std::memset(bytes_.data() + pos_, 0xFF, end_ - pos_);
        return 0;
    }

private:
    std::string& bytes_;
    int mode_ = 0;
    uint32_t pos_ = 0;
    uint32_t end_ = 0;
};

std::string makeRecord(FuzzedDataProvider& input, const std::string& area, bool& good,
                       uint8_t& flag) {
    good = input.ConsumeBool();
    flag = input.ConsumeIntegral<uint8_t>();
    std::string record(kSize, '\0');
    record[4] = static_cast<char>(flag);
    record.replace(5, std::min<size_t>(area.size(), kSize - 5), area, 0, kSize - 5);
    const uint32_t crc = crc32(record.data() + 5, kSize - 5) ^ (good ? 0 : 1);
    for (int i = 0; i < 4; ++i) record[i] = static_cast<char>(crc >> (8 * i));
    return record;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::requireSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string flash(kEnvCopy1 + 2 * kSize, '\xff');
    FuzzedDataProvider input(data, size);
    bool good[2];
    uint8_t flag[2];
    const std::string area1 = input.ConsumeRandomLengthString(size);
    const std::string copy1 = makeRecord(input, area1, good[0], flag[0]);
    const std::string copy2 =
        makeRecord(input, input.ConsumeRemainingBytesAsString(), good[1], flag[1]);
    flash.replace(kEnvCopy1, kSize, copy1);
    flash.replace(kEnvCopy1 + kSize, kSize, copy2);

    // The newer copy by the wrapping flag counter (equal flags: copy 1); with one valid copy
    // that one; with none, copy 1 serves as an empty record.
    const bool wrap1 = flag[0] == 0 && flag[1] == 255;
    const bool wrap2 = flag[0] == 255 && flag[1] == 0;
    const bool newer1 = wrap1 || (!wrap2 && flag[0] >= flag[1]);
    const int keep = good[0] && good[1] ? (newer1 ? 0 : 1) : (good[1] && !good[0] ? 1 : 0);
    const std::string kept = keep == 0 ? copy1 : copy2;

    VpdHandler handler(VpdTypeBootEnv, VpdHandler::kUpdateOlderCopy,
                       [] { return std::make_unique<MemoryFlash>(flash); });
    if (handler.readNand() != VpdUpdater::VpdOk ||
        handler.load(VpdHandler::kUnprotected, VpdHandler::kAcceptBadCrc) != VpdUpdater::VpdOk ||
        handler.setValue("fwupdate_flag", "1") != VpdUpdater::VpdOk) {
        std::abort();
    }
    const VpdUpdater::VpdUpdaterError saved = handler.save();
    if (saved == VpdUpdater::VpdInputAccessError) return 0;  // no room left for the flag
    if (saved != VpdUpdater::VpdOk || handler.writeNand() != VpdUpdater::VpdOk) std::abort();
    if (flash.compare(kEnvCopy1 + keep * kSize, kSize, kept) != 0) std::abort();  // newer touched
    const std::string written = flash.substr(kEnvCopy1 + (1 - keep) * kSize, kSize);
    fuzz::writeBytes("/tmp/written.bin", written);
    VpdUpdater check(VpdTypeBootEnv, "/tmp/written.bin");
    std::string value;
    if (check.load(false) != VpdUpdater::VpdOk || check.getValue("fwupdate_flag", value) != 0 ||
        value != "1" || check.getFlag() != static_cast<uint8_t>(flag[keep] + 1)) {
        std::abort();
    }
    const fuzz::Entries before =
        good[keep] ? fuzz::othersOf(kept, "fwupdate_flag") : fuzz::Entries();
    if (fuzz::othersOf(written, "fwupdate_flag") != before) std::abort();
    return 0;
}
