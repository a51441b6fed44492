#include "qvsystemtools/network_queries.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "qvsystemtools/file_ops.h"

namespace KIVRA {
namespace qvsystemtools {

namespace {

constexpr char kArpTablePath[] = "/proc/net/arp";
constexpr size_t kArpFields = 6;

bool startsWithAt(const std::string& text, size_t pos, const char* prefix) {
    return text.compare(pos, std::strlen(prefix), prefix) == 0;
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        const size_t start = line.find_first_not_of(" \t", pos);
        if (start == std::string::npos) {
            break;
        }
        const size_t end = line.find_first_of(" \t", start);
        fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        pos = end;
    }
    return fields;
}

}  // namespace

std::vector<std::string> resolveHost(const std::string& host) {
    std::vector<std::string> addresses;
    // A name with a NUL byte would be cut short and resolve as some other name.
    if (host.find('\0') != std::string::npos) {
        return addresses;
    }
    try {
        const hostent* entry = ::gethostbyname(host.c_str());
        if (entry == nullptr || entry->h_addrtype != AF_INET ||
            entry->h_length != static_cast<int>(sizeof(in_addr))) {
            return addresses;
        }
        for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
            char text[INET_ADDRSTRLEN] = {};
            if (::inet_ntop(AF_INET, *address, text, sizeof text) != nullptr) {
                addresses.emplace_back(text);
            }
        }
    } catch (...) {
        addresses.clear();  // only allocation can throw here
    }
    return addresses;
}

bool findUrlHost(const std::string& text, std::string& host) {
    // Scanned by hand: a regex engine recurses per character of the host and overflows the
    // stack on a long address.
    for (size_t pos = text.find("http"); pos != std::string::npos;
         pos = text.find("http", pos + 1)) {
        size_t at = pos + 4;
        if (startsWithAt(text, at, "s://")) {
            at += 4;
        } else if (startsWithAt(text, at, "://")) {
            at += 3;
        } else {
            continue;
        }
        const size_t end = text.find_first_of(":/", at);
        const size_t length = (end == std::string::npos ? text.size() : end) - at;
        if (length > 0) {
            host = text.substr(at, length);
            return true;
        }
    }
    return false;
}

std::vector<std::string> getUrlHostAddresses(const std::string& url) {
    try {
        std::string host;
        if (!findUrlHost(url, host)) {
            return {};
        }
        return resolveHost(host);
    } catch (...) {
        return {};  // only allocation can throw here
    }
}

void parseArpTable(const std::string& text, std::vector<ArpEntry>& entries) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.find("HW address") != std::string::npos ||
            line.find("<incomplete>") != std::string::npos) {
            continue;
        }
        const std::vector<std::string> fields = splitFields(line);
        // A short line would shift another column into the device or address.
        if (fields.size() < kArpFields) {
            continue;
        }
        entries.push_back(ArpEntry{fields.back(), fields[0], fields[3]});
    }
}

void readArpTable(std::vector<ArpEntry>& entries) {
    try {
        std::string text;
        if (readFile(text, kArpTablePath) != TOOL_OK) {
            return;
        }
        parseArpTable(text, entries);
    } catch (...) {
        // Only allocation can throw here; the entries appended so far stay.
    }
}

}  // namespace qvsystemtools
}  // namespace KIVRA
