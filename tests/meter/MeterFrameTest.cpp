#include "meter/MeterFrame.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "meter/FrameBytes.h"

namespace k419 {
namespace {

struct DecodeCase {
    std::array<std::uint8_t, 4> bytes;
    double expected;
};

TEST(DecodeMeterNumber, KnownVectors) {
    const DecodeCase cases[] = {
        {{0x00, 0x00, 0x00, 0x7F}, 1.0},
        {{0x00, 0x00, 0x80, 0x7F}, -1.0},
        {{0x00, 0x00, 0x00, 0x7E}, 0.5},
        {{0x00, 0x00, 0x20, 0x82}, 10.0},
        {{0x00, 0x00, 0x48, 0x86}, 200.0},
        {{0x00, 0x00, 0x7A, 0x87}, 500.0},
        {{0xDB, 0x0F, 0x49, 0x80}, 3.1415927410125732},
        {{0xCD, 0xCC, 0x4C, 0x7B}, 0.10000000149011612},
        // No special values: exponent 0 is neither zero nor denormal, 255 not inf/NaN.
        {{0x00, 0x00, 0x00, 0x00}, 5.877471754111438e-39},
        {{0xFF, 0xFF, 0xFF, 0xFF}, -6.805646932770577e+38},
        {{0x00, 0x00, 0x80, 0x00}, -5.877471754111438e-39},
        {{0xFF, 0xFF, 0x7F, 0xFF}, 6.805646932770577e+38},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeMeterNumber(c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3]), c.expected)
            << std::hex << int{c.bytes[0]} << ' ' << int{c.bytes[1]} << ' ' << int{c.bytes[2]}
            << ' ' << int{c.bytes[3]};
    }
    EXPECT_EQ(DecodeMeterNumber(0, 0, 0, 0), std::ldexp(1.0, -127));
    EXPECT_EQ(DecodeMeterNumber(0xFF, 0xFF, 0xFF, 0xFF), -std::ldexp(16777215.0, 105));
}

TEST(DecodeMeterNumber, MatchesSinglePrecisionForEveryOrdinaryExponent) {
    std::mt19937 random(7);
    for (int exponent = 1; exponent <= 254; ++exponent) {
        for (int trial = 0; trial < 50; ++trial) {
            const std::uint32_t bits = (std::uint32_t(exponent) << 23) | (random() & 0x807FFFFF);
            const float value = std::bit_cast<float>(bits);
            const auto b = test::MeterBytes(value);
            ASSERT_EQ(DecodeMeterNumber(b[0], b[1], b[2], b[3]), double{value}) << bits;
        }
    }
}

TEST(KeyTable, CodesAndLookup) {
    const std::pair<std::uint8_t, std::string_view> expected[] = {
        {0, "BitBtn10"},  {1, "BitBtn11"}, {2, "BitBtn6"},  {4, "BitBtn9"},
        {5, "BitBtn13"},  {6, "BitBtn3"},  {8, "BitBtn5"},  {9, "BitBtn4"},
        {10, "BitBtn12"}, {12, "BitBtn2"}, {13, "BitBtn8"}, {14, "BitBtn7"},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(static_cast<std::uint8_t>(KeyTable[i].code), expected[i].first);
        EXPECT_EQ(KeyTable[i].button, expected[i].second);
        const KeyDef* found = FindKey(expected[i].first);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found, &KeyTable[i]);
    }
    for (const int unused : {3, 7, 11, 15, 0xAA, 0xFF}) {
        EXPECT_EQ(FindKey(static_cast<std::uint8_t>(unused)), nullptr) << unused;
    }
    EXPECT_EQ(FindKey(9)->caption, "U\xD1\x81\xD0\xBC");  // Latin U, Cyrillic "см"
    EXPECT_EQ(FindKey(10)->caption, "УСРЕДН");
    EXPECT_TRUE(FindKey(13)->caption.empty());
}

}  // namespace
}  // namespace k419
