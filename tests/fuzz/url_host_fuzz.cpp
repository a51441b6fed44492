// The host of a web address as findUrlHost scans it out of any text.

#include "qvsystemtools/network_queries.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string host = "unchanged";
    if (!qvsystemtools::findUrlHost(text, host)) {
        if (host != "unchanged") std::abort();
        return 0;
    }
    // A non-empty run without ":" or "/" that follows a scheme in the text and ends where the
    // text or the run does.
    if (host.empty() || host.find_first_of(":/") != std::string::npos) std::abort();
    for (const char* scheme : {"http://", "https://"}) {
        const size_t at = text.find(scheme + host);
        const size_t end = at + std::strlen(scheme) + host.size();
        if (at != std::string::npos &&
            (end == text.size() || text[end] == ':' || text[end] == '/')) {
            return 0;
        }
    }
    std::abort();
}
