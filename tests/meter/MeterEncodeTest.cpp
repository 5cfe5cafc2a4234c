#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "meter/MeterFrame.h"

namespace k419 {
namespace {

using Bytes = std::array<std::uint8_t, 4>;

struct KnownEncoding {
    double value;
    Bytes bytes;
};

class EncodeKnownValue : public ::testing::TestWithParam<KnownEncoding> {};

TEST_P(EncodeKnownValue, ProducesTheMeterBytes) {
    const auto& c = GetParam();
    const std::optional<Bytes> bytes = EncodeMeterNumber(c.value);
    ASSERT_TRUE(bytes.has_value()) << c.value;
    EXPECT_EQ(*bytes, c.bytes) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    MeterNumber, EncodeKnownValue,
    ::testing::Values(KnownEncoding{1.0, {0x00, 0x00, 0x00, 0x7F}},
                      KnownEncoding{-1.0, {0x00, 0x00, 0x80, 0x7F}},
                      KnownEncoding{0.5, {0x00, 0x00, 0x00, 0x7E}},
                      KnownEncoding{10.0, {0x00, 0x00, 0x20, 0x82}},
                      KnownEncoding{200.0, {0x00, 0x00, 0x48, 0x86}},
                      KnownEncoding{500.0, {0x00, 0x00, 0x7A, 0x87}},
                      KnownEncoding{3.1415927410125732, {0xDB, 0x0F, 0x49, 0x80}},
                      // 0.1 has no exact form: it rounds to the nearest 24-bit mantissa.
                      KnownEncoding{0.1, {0xCD, 0xCC, 0x4C, 0x7B}},
                      KnownEncoding{3.141592653589793, {0xDB, 0x0F, 0x49, 0x80}},
                      // The two ends of the format.
                      KnownEncoding{std::ldexp(1.0, -127), {0x00, 0x00, 0x00, 0x00}},
                      KnownEncoding{-std::ldexp(16777215.0, 105), {0xFF, 0xFF, 0xFF, 0xFF}},
                      KnownEncoding{std::ldexp(16777215.0, 105), {0xFF, 0xFF, 0x7F, 0xFF}}));

struct Rounding {
    const char* name;
    double value;
    double expected;  // the decoded value of the encoding
};

class EncodeRounding : public ::testing::TestWithParam<Rounding> {};

TEST_P(EncodeRounding, RoundsToNearestTiesToEven) {
    const auto& c = GetParam();
    const std::optional<Bytes> b = EncodeMeterNumber(c.value);
    ASSERT_TRUE(b.has_value()) << c.name;
    EXPECT_EQ(DecodeMeterNumber((*b)[0], (*b)[1], (*b)[2], (*b)[3]), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    MeterNumber, EncodeRounding,
    ::testing::Values(Rounding{"below half rounds down", 8388608.25, 8388608.0},
                      Rounding{"above half rounds up", 8388608.75, 8388609.0},
                      Rounding{"tie to even stays", 8388608.5, 8388608.0},
                      Rounding{"tie to even goes up", 8388609.5, 8388610.0},
                      Rounding{"negative tie", -8388609.5, -8388610.0},
                      Rounding{"carry into the exponent", 16777215.5, 16777216.0},
                      // Just under the smallest magnitude, rounding up onto it.
                      Rounding{"rounds up to the smallest", std::ldexp(16777215.5, -151),
                               std::ldexp(1.0, -127)},
                      // Just over the largest magnitude, rounding down onto it.
                      Rounding{"rounds down to the largest", std::ldexp(16777215.25, 105),
                               std::ldexp(16777215.0, 105)}));

TEST(EncodeMeterNumber, RejectsWhatTheFormatCannotCarry) {
    const double rejected[] = {
        0.0,
        -0.0,
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(),
        std::ldexp(1.0, -128),         // below the smallest
        std::ldexp(16777215.0, -152),  // rounds to 2^-128, still below
        std::ldexp(16777215.5, 105),   // rounds up to 2^129, above the largest
        std::ldexp(1.0, 129),
        -std::ldexp(1.0, 130),
        std::numeric_limits<double>::max(),
        std::numeric_limits<double>::denorm_min(),
    };
    for (const double v : rejected) {
        EXPECT_FALSE(EncodeMeterNumber(v).has_value()) << v;
    }
}

// Every exponent byte, both signs and mantissas at both ends and in between: decoding and
// encoding again gives back the same four bytes, so the encoder is the decoder's inverse.
TEST(EncodeMeterNumber, InvertsTheDecoderForEveryExponent) {
    const std::array<std::array<std::uint8_t, 3>, 5> fractions = {{
        {0x00, 0x00, 0x00},
        {0x01, 0x00, 0x00},
        {0xDB, 0x0F, 0x49},
        {0x55, 0xAA, 0x2A},
        {0xFF, 0xFF, 0x7F},
    }};
    for (int b4 = 0; b4 <= 255; ++b4) {
        for (const auto& f : fractions) {
            for (const std::uint8_t sign : {std::uint8_t{0x00}, std::uint8_t{0x80}}) {
                const Bytes bytes{f[0], f[1], static_cast<std::uint8_t>(f[2] | sign),
                                  static_cast<std::uint8_t>(b4)};
                const double v = DecodeMeterNumber(bytes[0], bytes[1], bytes[2], bytes[3]);
                const std::optional<Bytes> again = EncodeMeterNumber(v);
                ASSERT_TRUE(again.has_value()) << "b4=" << b4 << " v=" << v;
                EXPECT_EQ(*again, bytes) << "b4=" << b4 << " v=" << v;
            }
        }
    }
}

}  // namespace
}  // namespace k419
