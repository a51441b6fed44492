// The environment record as VpdUpdater reads it, with and without a good CRC, then the round
// trip setValue, save, load: what was set reads back and no other entry changes.

#include "tests/fuzz/fuzz_support.h"
#include "vpd/crc32.h"
#include "vpd/vpd_updater.h"

using namespace KIVRA;

using fuzz::Entries;
using fuzz::othersOf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static testing::TempDir dir;
    const std::string path = dir / "record.bin";
    FuzzedDataProvider input(data, size);
    const bool goodCrc = input.ConsumeBool();
    const std::string key = input.ConsumeRandomLengthString(40);
    const std::string value = input.ConsumeRandomLengthString(40);
    std::string record(VpdUpdater::kRecordSize, '\0');
    record[4] = static_cast<char>(input.ConsumeIntegral<uint8_t>());
    const std::string area = input.ConsumeRemainingBytesAsString();
    record.replace(VpdUpdater::kHeaderSize, std::min<size_t>(area.size(), VpdUpdater::kAreaSize),
                   area, 0, VpdUpdater::kAreaSize);
    const uint32_t crc = goodCrc ? crc32(record.data() + 5, VpdUpdater::kAreaSize) : 0x12345678;
    for (int i = 0; i < 4; ++i) record[i] = static_cast<char>(crc >> (8 * i));
    fuzz::writeBytes(path, record);

    VpdUpdater updater(VpdTypeBootEnv, path);
    const VpdUpdater::VpdUpdaterError strict = updater.load(false);
    if (strict != VpdUpdater::VpdOk && strict != VpdUpdater::VpdCrcError) std::abort();
    if (goodCrc && strict != VpdUpdater::VpdOk) std::abort();
    if (updater.load(true) != VpdUpdater::VpdOk) std::abort();
    if (strict == VpdUpdater::VpdCrcError) {
        // A bad record saved without a change is written back as read, never emptied.
        if (updater.save() != VpdUpdater::VpdOk || fuzz::readBytes(path) != record) std::abort();
        return 0;
    }

    updater.setProtected(false);
    const Entries before = othersOf(record, key);
    if (updater.setValue(key, value) != VpdUpdater::VpdOk) {
        const bool refused = key.empty() || key.find('=') != std::string::npos ||
                             key.find('\0') != std::string::npos ||
                             value.find('\0') != std::string::npos;
        if (!refused) std::abort();
        return 0;
    }
    if (updater.save() != VpdUpdater::VpdOk) return 0;  // entries beyond the area
    VpdUpdater reread(VpdTypeBootEnv, path);
    std::string got;
    if (reread.load(false) != VpdUpdater::VpdOk) std::abort();
    const VpdUpdater::VpdUpdaterError lookup = reread.getValue(key, got);
    if (value.empty() ? lookup != VpdUpdater::VpdFieldMissing : got != value) std::abort();
    if (othersOf(fuzz::readBytes(path), key) != before) std::abort();
    return 0;
}
