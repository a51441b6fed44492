// The MTD class attributes of sysfs as mtdOpenLibrary and mtdGetDevInfo read them, and the
// entry names of the class directory.

#include <cstring>

#include "flash/mtd_sysfs.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemFile attribute;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = attribute.hold(text);
    long long wide = -1;
    int value = -1;
    int major = -1;
    int minor = -1;
    if (mtdsysfs::readInt64(path, &wide) == 0 && wide < 0) std::abort();
    if (mtdsysfs::readInt(path, &value) == 0 && value < 0) std::abort();
    if (mtdsysfs::readHexInt(path, &value) == 0 && value < 0) std::abort();
    if (mtdsysfs::readMajorMinor(path, &major, &minor) == 0 && (major < 0 || minor < 0)) {
        std::abort();
    }
    char name[128];
    if (mtdsysfs::readText(path, name, sizeof name) == 0 && std::strlen(name) >= sizeof name) {
        std::abort();
    }
    int number = -1;
    const std::string entry = text.substr(0, text.find('\0'));
    if (mtdsysfs::entryNumber("/sys/class/mtd", entry.c_str(), &number) == 1 &&
        (number < 0 || entry.find_first_not_of("0123456789", 3) != std::string::npos ||
         std::stoll(entry.substr(3)) != number)) {
        std::abort();
    }
    return 0;
}
