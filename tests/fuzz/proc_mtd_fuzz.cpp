// The legacy "/proc/mtd" listing as mtdGetDevInfo reads it on kernels without the MTD class.

#include <cstring>

#include "flash/mtd_library.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The reader takes at most 4096 bytes of the listing and ends them with a NUL.
    const std::string text(reinterpret_cast<const char*>(data) + 1,
                           std::min<size_t>(size - 1, 4096));
    const int number = data[0] % 8;
    char name[128];
    std::memset(name, 'x', sizeof name);
    if (mtdProcMtdName(text.c_str(), number, name, sizeof name) == 0) {
        // The name stands between quotes on its line of the listing.
        const size_t length = ::strnlen(name, sizeof name);
        if (length >= sizeof name ||
            text.find('"' + std::string(name) + "\"\n") == std::string::npos) {
            std::abort();
        }
    } else if (name[0] != 'x') {
        std::abort();  // a failure leaves the name untouched
    }
    return 0;
}
