// The digest list as "qvpack verify" reads it: the input is the plain list of a package in a
// private directory whose files match the seed lists.

#include <sstream>

#include "tests/fuzz/fuzz_support.h"
#include "tools/qvpack/pack_error.h"
#include "tools/qvpack/package_check.h"

using namespace KIVRA;

namespace {
struct Package {
    testing::TempDir dir;
    Package() {
        fuzz::makeDirs(dir / "pkg");
        fuzz::writeBytes(dir / "pkg/manifest.txt", "KIVRA_VERSION=1.0\nPRODUCT_TYPE=BIRCH\n");
        fuzz::writeBytes(dir / "pkg/NTIM.bin", "ntim");
        fuzz::writeBytes(dir / "pkg/notes.txt", "notes");
        fuzz::writeEncrypted(dir / "pkg/zImage", "kernel", "1.0");
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Package package;
    fuzz::writeEncrypted(package.dir / "pkg/images.md5",
                         std::string(reinterpret_cast<const char*>(data), size), "1.0");
    std::ostringstream text;
    qvpack::TextReport report(text);
    try {
        // Nothing is written: the check decrypts and hashes in memory.
        const qvpack::CheckSummary summary =
            qvpack::checkPackage(package.dir / "pkg", qvpack::CheckOptions(), report);
        if (summary.failures > summary.checks) std::abort();
    } catch (const qvpack::PackError&) {
        std::abort();  // the package itself is readable: only entries may fail
    } catch (const qvpack::MachineFault&) {
        std::abort();  // nor may the machine, which only reads
    }
    return 0;
}
