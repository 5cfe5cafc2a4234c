#include "meter/MeterFrame.h"

#include <cmath>

namespace k419 {

double DecodeMeterNumber(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    // The sign bit doubles as the implied leading one, so the mantissa always has 24
    // significant bits and the value can never be zero.
    const std::uint32_t m = std::uint32_t{b1} | (std::uint32_t{b2} << 8) |
                            (std::uint32_t{static_cast<std::uint8_t>(b3 | 0x80)} << 16);
    // m * 2^(b4 - 150) lies between 2^-127 and 2^129: well inside the normal double range,
    // so ldexp is exact for every exponent byte, including 0 and 255.
    const double v = std::ldexp(static_cast<double>(m), int{b4} - 150);
    return (b3 & 0x80) != 0 ? -v : v;
}

// "Uсм" is a Latin U followed by Cyrillic letters, as printed on the meter.
const std::array<KeyDef, 12> KeyTable = {{
    {"BitBtn10", "L", KeyCode::L},
    {"BitBtn11", "C", KeyCode::C},
    {"BitBtn6", "R/G", KeyCode::RG},
    {"BitBtn9", "D/Q", KeyCode::DQ},
    {"BitBtn13", "P/S", KeyCode::PS},
    {"BitBtn3", "F", KeyCode::Frequency},
    {"BitBtn5", "УРОВ", KeyCode::Level},
    {"BitBtn4",
     "U"
     "см",
     KeyCode::Bias},
    {"BitBtn12", "УСРЕДН", KeyCode::Averaging},
    {"BitBtn2", "АВП", KeyCode::AutoRange},
    {"BitBtn8", "", KeyCode::RangeUp},
    {"BitBtn7", "", KeyCode::RangeDown},
}};

const KeyDef* FindKey(std::uint8_t code) {
    for (const KeyDef& key : KeyTable) {
        if (static_cast<std::uint8_t>(key.code) == code) {
            return &key;
        }
    }
    return nullptr;
}

}  // namespace k419
