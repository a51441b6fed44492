#pragma once
// IPv4 addresses of host names and web addresses, and the kernel's ARP table.
// Nothing here prints; failures show as empty results.

#include <string>
#include <vector>

namespace KIVRA {
namespace qvsystemtools {

// One neighbour of the ARP table.
struct ArpEntry {
    std::string device;     // interface name
    std::string ipAddress;  // dotted IPv4 address
    std::string hwAddress;  // hardware address as the kernel writes it
};

// Dotted IPv4 addresses of host, in resolver order; empty when the name does not resolve.
[[nodiscard]] std::vector<std::string> resolveHost(const std::string& host);

// The host of the first "http://" or "https://" (lower case) found anywhere in text: the
// non-empty run of characters up to the next ":" or "/" or the end. That is the first
// match of the ECMAScript pattern "https?://([^:/]+)". False when there is none; host is
// then unchanged.
[[nodiscard]] bool findUrlHost(const std::string& text, std::string& host);

// resolveHost of the host findUrlHost finds in url; empty when it finds none.
[[nodiscard]] std::vector<std::string> getUrlHostAddresses(const std::string& url);

// Appends the complete neighbours of "/proc/net/arp" in file order. The header line and
// incomplete entries are skipped, and so is any line without the six fields of the kernel's
// format (IP address, type, flags, hardware address, mask, device). An unreadable table
// appends nothing.
void readArpTable(std::vector<ArpEntry>& entries);

// The same rules over text already read from the table: appends its complete neighbours.
void parseArpTable(const std::string& text, std::vector<ArpEntry>& entries);

}  // namespace qvsystemtools
}  // namespace KIVRA
