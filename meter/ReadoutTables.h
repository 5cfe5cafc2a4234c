// Units and scales of the readout fields A to D per range and measurement frequency.
#pragma once

#include <cstdint>
#include <string_view>

namespace k419 {

// How one field shows its quantity in one range: the displayed number is the quantity
// times `multiplier`, written with `decimals` digits after the separator, followed by
// two spaces and `unit` (UTF-8; empty outside ranges 1 to 8).
struct ReadoutScale {
    std::string_view unit;
    double multiplier;
    int decimals;
};

// Range bytes 0 and 9 to 255 have no table entry: the field shows the bare number
// (no unit, multiplier 1) with this many decimals, plus one while averaging as in every
// range.
constexpr int UnscaledDecimals = 3;

ReadoutScale ResistanceScale(std::uint8_t range);
ReadoutScale ConductanceScale(std::uint8_t range);
ReadoutScale CapacitanceScale(std::uint8_t range, bool frequencyIs1kHz);
ReadoutScale InductanceScale(std::uint8_t range, bool frequencyIs1kHz);

}  // namespace k419
