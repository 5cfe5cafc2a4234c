// Test support: builds meter frames from values that a float represents exactly.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "meter/MeterFrame.h"

namespace k419::test {

// The meter's layout is IEEE single precision with the sign moved from bit 31 to bit 23.
inline std::array<std::uint8_t, 4> MeterBytes(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t word =
        (((bits >> 23) & 0xFF) << 24) | ((bits >> 31) << 23) | (bits & 0x7FFFFF);
    return {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
            static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
}

inline MeterFrame MakeFrame(float first, float second, std::uint8_t range, std::uint8_t status1,
                            std::uint8_t status2, std::uint8_t header = FrameHeader) {
    MeterFrame frame{};
    frame[0] = header;
    const auto a = MeterBytes(first);
    const auto b = MeterBytes(second);
    for (int i = 0; i < 4; ++i) {
        frame[1 + i] = a[i];
        frame[5 + i] = b[i];
    }
    frame[9] = range;
    frame[10] = status1;
    frame[11] = status2;
    return frame;
}

inline void Append(std::vector<std::uint8_t>& bytes, const MeterFrame& frame) {
    bytes.insert(bytes.end(), frame.begin(), frame.end());
}

}  // namespace k419::test
