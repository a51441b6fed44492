// GCC 12 with the sanitizers reports a false maybe-uninitialized inside std::regex's
// std::function members; the regex here is only the test's oracle.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "qvsystemtools/network_queries.h"

#include <memory>
#include <random>
#include <regex>

#include "tests/qvsystemtools/scoped_mount.h"
#include "tests/support/test_support.h"

namespace KIVRA {
namespace qvsystemtools {
namespace {

using testing::readBytes;
using testing::ScopedMount;
using testing::TempDir;
using testing::writeBytes;

bool isDottedQuad(const std::string& text) {
    return std::regex_match(text, std::regex("([0-9]{1,3}\\.){3}[0-9]{1,3}"));
}

// Name resolution from a fake hosts file only: nothing goes to a name server, so a name
// that is not listed fails at once.
class ResolveTest : public testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        const TempDir& dir = tempDir();
        writeBytes(dir / "hosts",
                   "127.0.0.1 localhost\n"
                   "10.1.2.3 qvmulti.test\n"
                   "10.1.2.4 qvmulti.test\n"
                   "192.0.2.7 qvsingle.test\n"
                   "2001:db8::1 qvsix.test\n");
        writeBytes(dir / "nsswitch.conf", "hosts: files\n");
        writeBytes(dir / "host.conf", "multi on\n");
        ASSERT_EQ(hosts_.bind(dir / "hosts", "/etc/hosts"), "");
        ASSERT_EQ(nsswitch_.bind(dir / "nsswitch.conf", "/etc/nsswitch.conf"), "");
        ASSERT_EQ(hostConf_.bind(dir / "host.conf", "/etc/host.conf"), "");
    }

    ScopedMount hosts_, nsswitch_, hostConf_;
};

TEST(ResolveHostTest, LocalhostResolvesFromSystemHostsFile) {
    const std::vector<std::string> addresses = resolveHost("localhost");
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(addresses[0], "127.0.0.1");
    for (const std::string& address : addresses) {
        EXPECT_TRUE(isDottedQuad(address)) << address;
    }
}

TEST_F(ResolveTest, ResolveHostListsEveryAddressInOrderAndNothingForUnknownName) {
    EXPECT_EQ(resolveHost("qvmulti.test"), (std::vector<std::string>{"10.1.2.3", "10.1.2.4"}));
    EXPECT_EQ(resolveHost("qvsingle.test"), std::vector<std::string>{"192.0.2.7"});
    EXPECT_TRUE(resolveHost("qvnosuchhost.invalid").empty());
    EXPECT_TRUE(resolveHost("qvsix.test").empty()) << "IPv6 addresses are not IPv4 text";
    EXPECT_TRUE(resolveHost("").empty());
    // Cut at the NUL, the name would resolve as another host.
    EXPECT_TRUE(resolveHost(std::string("qvsingle.test\0evil", 18)).empty());
}

TEST_F(ResolveTest, UrlHostAddressesResolveOnlyTheHostPart) {
    const struct {
        std::string url;
        std::vector<std::string> addresses;
    } rows[] = {
        {"http://qvsingle.test:8080/path/x", {"192.0.2.7"}},
        {"https://qvsingle.test/abc?q=1", {"192.0.2.7"}},
        {"https://qvmulti.test", {"10.1.2.3", "10.1.2.4"}},
        {"see https://qvsingle.test/ here", {"192.0.2.7"}},
        {"http:///x https://qvsingle.test", {"192.0.2.7"}},  // first address with a host
        {"qvsingle.test/abc", {}},
        {"HTTP://qvsingle.test/", {}},
        {"ftp://qvsingle.test/", {}},
        {"http://", {}},
        {"https://qvnosuchhost.invalid/", {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(getUrlHostAddresses(row.url), row.addresses) << row.url;
    }
}

// The ECMAScript pattern the host rule is defined by, for short texts where the regex
// engine is safe to run.
bool regexHost(const std::string& text, std::string& host) {
    static const std::regex pattern("https?://([^:/]+)");
    std::smatch match;
    if (!std::regex_search(text, match, pattern) || match.size() < 2) {
        return false;
    }
    host = match[1].str();
    return true;
}

TEST(FindUrlHostTest, AgreesWithUrlPatternOnGeneratedTexts) {
    const char alphabet[] = "htps:/a.Hx?";
    std::mt19937 engine(2024);
    for (int i = 0; i < 20000; ++i) {
        std::string text(engine() % 24, 'a');
        for (char& c : text) {
            c = alphabet[engine() % (sizeof alphabet - 1)];
        }
        if (i % 3 == 0) {
            text.insert(engine() % (text.size() + 1), i % 2 ? "https://" : "http://");
        }
        std::string expected = "unset", got = "unset";
        const bool matched = regexHost(text, expected);
        ASSERT_EQ(findUrlHost(text, got), matched) << text;
        ASSERT_EQ(got, expected) << text;
    }
}

TEST(FindUrlHostTest, VeryLongAddressDoesNotCrash) {
    const std::string host(1 << 20, 'a');
    std::string found;
    ASSERT_TRUE(findUrlHost("https://" + host + ":443/", found));
    EXPECT_EQ(found, host);
}

// A fake ARP table over "/proc/net/arp": a bind mount of a file where the kernel allows it,
// else a tmpfs over this process's /proc/<pid>/net holding the file (some sandboxes accept a
// bind over a proc file without showing it).
class ArpTableTest : public testing::SandboxTest {
protected:
    static constexpr const char* kHeader =
        "IP address       HW type     Flags       HW address            Mask     Device\n";

    void table(const std::string& text) {
        const std::string file = tempDir() / "arp";
        writeBytes(file, text);
        if (mount_.bind(file, "/proc/net/arp").empty() && readBytes("/proc/net/arp") == text) {
            return;
        }
        mount_.undo();
        ASSERT_EQ(mount_.tmpfs("/proc/self/net"), "");
        writeBytes("/proc/net/arp", text);
        ASSERT_EQ(readBytes("/proc/net/arp"), text);
    }

    ScopedMount mount_;
};

TEST_F(ArpTableTest, HeaderOnlyTableAppendsNothing) {
    table(kHeader);
    std::vector<ArpEntry> entries;
    readArpTable(entries);
    EXPECT_TRUE(entries.empty());
}

TEST_F(ArpTableTest, NeighboursAreAppendedInFileOrderSkippingIncompleteAndShortLines) {
    table(std::string(kHeader) +
          "192.168.1.1      0x1         0x2         aa:bb:cc:dd:ee:01     *        br-lan\n"
          "10.0.0.9         0x1         0x0         <incomplete>          *        wwan0\n"
          "10.0.0.7 0x1 0x2 aa:bb:cc:dd:ee:02\n"    // short: no mask, no device
          "10.0.0.8 0x1 0x2 aa:bb:cc:dd:ee:03 *\n"  // short: no device
          "\n"
          "   \n"
          "172.16.0.5\t0x1\t0x2\taa:bb:cc:dd:ee:04\t*\teth0\n"
          "10.10.10.10      0x1         0x6         02:00:00:00:00:05     *        eth1");
    std::vector<ArpEntry> entries = {{"old", "1.1.1.1", "00:00:00:00:00:00"}};
    readArpTable(entries);
    ASSERT_EQ(entries.size(), 4u);
    const std::string expected[][3] = {
        {"old", "1.1.1.1", "00:00:00:00:00:00"},
        {"br-lan", "192.168.1.1", "aa:bb:cc:dd:ee:01"},
        {"eth0", "172.16.0.5", "aa:bb:cc:dd:ee:04"},
        {"eth1", "10.10.10.10", "02:00:00:00:00:05"},
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].device, expected[i][0]) << i;
        EXPECT_EQ(entries[i].ipAddress, expected[i][1]) << i;
        EXPECT_EQ(entries[i].hwAddress, expected[i][2]) << i;
    }
}

}  // namespace
}  // namespace qvsystemtools
}  // namespace KIVRA
