#pragma once
// Boot environments as a device carries them, for the flash tests of the environment update:
// a few kilobytes of boot loader variables, different in the two copies, so that a record
// pieced together from both copies or cut short shows.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace testing {

// The variables of one generation of the environment; generations differ in a few values and
// in how many board variables they hold.
inline std::vector<std::string> sampleVariables(int generation, bool withUpdateFlag = false) {
    std::vector<std::string> variables = {
        "bootcmd=run boot_" + std::string(generation % 2 == 0 ? "a" : "b"),
        "bootargs=console=ttyS0,115200 root=/dev/mtdblock3 rootfstype=squashfs ro quiet",
        "bootdelay=" + std::to_string(generation % 4),
        "baudrate=115200",
        "ethaddr=00:1a:2b:3c:4d:" + std::to_string(10 + generation),
        "ipaddr=192.168.1.1",
        "serverip=192.168.1.10",
        "loadaddr=0x82000000",
        "mtdparts=mtdparts=spi0.0:768k(u-boot),128k(env),3200k(kernel)",
    };
    if (withUpdateFlag) {
        variables.push_back("fwupdate_flag=0");
    }
    const std::string random = randomBytes(64 * 48, 400 + static_cast<unsigned>(generation));
    static const char* const kHex = "0123456789abcdef";
    for (int i = 0; i < 40 + generation; ++i) {
        std::string value;
        for (int j = 0; j < 24; ++j) {
            const auto byte = static_cast<unsigned char>(random[static_cast<size_t>(i * 24 + j)]);
            value += kHex[byte >> 4];
            value += kHex[byte & 15];
        }
        variables.push_back("board_" + std::to_string(i) + "=" + value);
    }
    return variables;
}

inline std::string recordOf(const std::vector<std::string>& variables, uint8_t flag) {
    RecordBuilder builder;
    for (const std::string& variable : variables) {
        builder.add(variable);
    }
    return builder.withFlag(flag).bytes();
}

// The variables after fwupdate_flag is set to 1: changed in place, or added at the end.
inline std::vector<std::string> withUpdateFlagSet(std::vector<std::string> variables) {
    for (std::string& variable : variables) {
        if (variable.compare(0, 14, "fwupdate_flag=") == 0) {
            variable = "fwupdate_flag=1";
            return variables;
        }
    }
    variables.push_back("fwupdate_flag=1");
    return variables;
}

// Bytes for the flash outside the environment: no 0xFF, so that an erase cannot hide, and no
// two 64 KiB blocks alike, so that a block written to the wrong place shows.
inline std::string unerasedPattern(size_t length, unsigned seed) {
    const std::string block = randomBytes(0x10000, seed);
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(block[i & 0xFFFF] ^ ((i >> 16) * 37));
        bytes[i] = static_cast<char>(byte == 0xFF ? 0x5A : byte);
    }
    return bytes;
}

}  // namespace testing
}  // namespace KIVRA
