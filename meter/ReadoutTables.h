// Units and scales of the readout fields A to D per range and measurement frequency.
#pragma once

#include <cstdint>
#include <optional>
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

// What a unit label of the tables above stands for: its SI base unit ("Ω", "S", "F", "H")
// and the power of ten of its prefix ("мкФ": "F" and -6; "MОм" with a Latin M: "Ω" and 6).
struct SiUnit {
    std::string_view symbol;
    int exponent;
};
// Nothing for a label the tables do not use, the empty label included.
std::optional<SiUnit> SiUnitOf(std::string_view label);

// The SI factor of a label: 1e-6 for "мкФ", 1e6 for "MОм", 1 for "Oм"; nothing for a label
// the tables do not use.
std::optional<double> SiFactor(std::string_view label);

// `number`, given in `label`'s unit, in SI base units, rounded once: 100 "нФ" gives the
// double nearest to 1e-7, exactly what the literal 1e-7 gives. Nothing for a label the tables
// do not use.
std::optional<double> ToSi(double number, std::string_view label);

}  // namespace k419
