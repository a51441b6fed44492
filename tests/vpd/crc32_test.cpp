#include "vpd/crc32.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"
#include "tests/vpd/record_builder.h"

namespace KIVRA {
namespace {

TEST(Crc32, MatchesStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32(check.data(), check.size()), 0xCBF43926U);
}

TEST(Crc32, AllZeroAreaGivesKnownValue) {
    // A record of an erased-to-zero area carries this CRC; a wrong initial value or final XOR
    // would still give a plausible number for non-zero data but not this one.
    const std::string area(testing::kAreaBytes, '\0');
    EXPECT_EQ(crc32(area.data(), area.size()), 0xDA0CF517U);
}

TEST(Crc32, AgreesWithBitwiseReferenceOnEveryByteValue) {
    // Every table entry takes part, so a single wrong entry shows.
    std::string data;
    for (int i = 0; i < 256; ++i) {
        data.push_back(static_cast<char>(i));
    }
    data += testing::randomBytes(4096, 7);
    EXPECT_EQ(crc32(data.data(), data.size()), testing::referenceCrc32(data));
}

TEST(Crc32, UpdateContinuesAcrossChunks) {
    const std::string data = testing::randomBytes(1000, 11);
    const uint32_t whole = crc32(data.data(), data.size());
    const uint32_t first = crc32(data.data(), 333);
    EXPECT_EQ(crc32Update(first, data.data() + 333, data.size() - 333), whole);
}

}  // namespace
}  // namespace KIVRA
