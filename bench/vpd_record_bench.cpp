// Measures the record work of one environment update off the flash: CRC of the 64 KiB area,
// and a full load + setValue + save cycle on a record file.
//
//   vpd_record_bench [DIRECTORY]   (default: $TMPDIR or /tmp; a scratch file is made there)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vpd/crc32.h"
#include "vpd/vpd_updater.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    using KIVRA::VpdUpdater;
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
    std::string path = dir + "/vpd_bench.XXXXXX";
    const int fd = ::mkstemp(&path[0]);
    if (fd < 0) {
        std::fprintf(stderr, "vpd_record_bench: cannot create a file in %s\n", dir.c_str());
        return 1;
    }
    (void)::close(fd);  // only the name is needed; save replaces the file

    std::vector<uint8_t> area(VpdUpdater::kAreaSize);
    for (size_t i = 0; i < area.size(); ++i) {
        area[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    const int crcRounds = 2000;
    auto start = std::chrono::steady_clock::now();
    uint32_t sink = 0;
    for (int i = 0; i < crcRounds; ++i) {
        sink += KIVRA::crc32(area.data(), area.size());
    }
    const double crcSeconds = secondsSince(start);
    std::printf("crc32: %.1f MB/s (%.3f ms per record area, check %08x)\n",
                crcRounds * area.size() / crcSeconds / 1e6, crcSeconds / crcRounds * 1e3, sink);

    // A realistic boot environment: about 60 variables, 2.5 KiB.
    {
        VpdUpdater updater(KIVRA::VpdTypeBootEnv, path);
        for (int i = 0; i < 60; ++i) {
            const std::string key = "var" + std::to_string(i);
            if (updater.setValue(key, std::string(32, static_cast<char>('a' + i % 26))) !=
                VpdUpdater::VpdOk) {
                return 1;
            }
        }
        if (updater.save() != VpdUpdater::VpdOk) {
            std::fprintf(stderr, "vpd_record_bench: save failed\n");
            return 1;
        }
    }
    const int cycles = 300;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i) {
        VpdUpdater updater(KIVRA::VpdTypeBootEnv, path);
        updater.setProtected(false);
        if (updater.load() != VpdUpdater::VpdOk ||
            updater.setValue("fwupdate_flag", std::to_string(i)) != VpdUpdater::VpdOk ||
            updater.save() != VpdUpdater::VpdOk) {
            std::fprintf(stderr, "vpd_record_bench: cycle %d failed\n", i);
            (void)::unlink(path.c_str());
            return 1;
        }
    }
    const double cycleSeconds = secondsSince(start);
    std::printf("load+setValue+save: %.3f ms per cycle (%s)\n", cycleSeconds / cycles * 1e3,
                dir.c_str());
    (void)::unlink(path.c_str());
    return 0;
}
