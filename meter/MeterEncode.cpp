#include <cmath>

#include "meter/MeterFrame.h"

namespace k419 {

std::optional<std::array<std::uint8_t, 4>> EncodeMeterNumber(double v) {
    if (!std::isfinite(v) || v == 0.0) {
        return std::nullopt;
    }
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(v), &exponent);  // in [0.5, 1)
    // Scaling a double by a power of two is exact, so `scaled` holds every bit of v and
    // the rounding below is the only one: to nearest, ties to even, as a conversion to
    // single precision would do. It does not depend on the floating-point environment.
    const double scaled = std::ldexp(fraction, 24);  // in [2^23, 2^24)
    double mantissa = std::floor(scaled);
    const double rest = scaled - mantissa;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(mantissa, 2.0) != 0.0)) {
        mantissa += 1.0;
    }
    if (mantissa == 16777216.0) {  // rounded up to 2^24: one more binary place
        mantissa = 8388608.0;
        ++exponent;
    }
    // value = mantissa * 2^(exponent - 24) = mantissa * 2^(b4 - 150)
    const int b4 = exponent + 126;
    if (b4 < 0 || b4 > 255) {
        return std::nullopt;
    }
    const auto m = static_cast<std::uint32_t>(mantissa);
    const std::uint8_t sign = std::signbit(v) ? 0x80 : 0x00;
    return std::array<std::uint8_t, 4>{
        static_cast<std::uint8_t>(m & 0xFF), static_cast<std::uint8_t>((m >> 8) & 0xFF),
        static_cast<std::uint8_t>(((m >> 16) & 0x7F) | sign), static_cast<std::uint8_t>(b4)};
}

}  // namespace k419
