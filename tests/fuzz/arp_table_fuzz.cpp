// The kernel's ARP table ("/proc/net/arp") as readArpTable parses it.

#include "qvsystemtools/network_queries.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<qvsystemtools::ArpEntry> entries;
    qvsystemtools::parseArpTable(text, entries);
    size_t lines = 1;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    if (entries.size() > lines) std::abort();
    for (const auto& entry : entries) {
        // Each field is one word of a line that is neither the header nor incomplete.
        for (const std::string* field : {&entry.device, &entry.ipAddress, &entry.hwAddress}) {
            if (field->empty() || field->find_first_of(" \t\n") != std::string::npos ||
                text.find(*field) == std::string::npos) {
                std::abort();
            }
        }
    }
    return 0;
}
