// The K4-19 wire format in both directions: the 12-byte frame the meter streams, its
// four-byte number format, and the one-byte key codes the panel sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace k419 {

constexpr std::size_t FrameSize = 12;
constexpr std::uint8_t FrameHeader = 0xAA;

// Byte 0 header, 1-4 first number, 5-8 second number, 9 range, 10-11 status bytes.
using MeterFrame = std::array<std::uint8_t, FrameSize>;

// Decodes the meter's number: exponent byte b4 (bias 127), sign b3 bit 7, 23-bit fraction
// b3:b2:b1 with an implied leading one. Every byte pattern decodes exactly to a finite,
// non-zero double (no special values); the result is m * 2^(b4 - 150) with the sign of b3.
double DecodeMeterNumber(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4);

// The exact inverse of DecodeMeterNumber for representable values: returns the four bytes
// in frame order when v (rounded to the nearest 24-bit mantissa) lies in the format's range
// [2^-127, (2^24 - 1) * 2^105] in magnitude, and nothing for zero, non-finite or
// out-of-range values. DecodeMeterNumber of the result equals v whenever v has at most 24
// significant bits.
std::optional<std::array<std::uint8_t, 4>> EncodeMeterNumber(double v);

// Key codes, program to meter. Codes 3, 7 and 11 are never sent.
enum class KeyCode : std::uint8_t {
    L = 0x00,
    C = 0x01,
    RG = 0x02,
    DQ = 0x04,
    PS = 0x05,
    Frequency = 0x06,
    Level = 0x08,
    Bias = 0x09,
    Averaging = 0x0A,
    AutoRange = 0x0C,
    RangeUp = 0x0D,    // BitBtn8: triangle right, then bar
    RangeDown = 0x0E,  // BitBtn7: bar, then triangle left
};

struct KeyDef {
    std::string_view button;   // control name on the window's form
    std::string_view caption;  // UTF-8; empty for the two glyph keys
    KeyCode code;
};

// The twelve keys in the order of the meter's key table.
extern const std::array<KeyDef, 12> KeyTable;

// The key whose code is `code`, or nullptr for 3, 7, 11 and bytes above 14.
const KeyDef* FindKey(std::uint8_t code);

}  // namespace k419
