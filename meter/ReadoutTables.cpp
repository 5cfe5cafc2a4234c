#include "meter/ReadoutTables.h"

#include <array>

namespace k419 {

namespace {

// Unit labels. Two resistance labels mix scripts on purpose, as the meter's own panel
// does: "MОм" is a Latin M before Cyrillic "Ом", and "Oм" is a Latin O before a Cyrillic
// "м". Every other label is all Cyrillic.
constexpr std::string_view MegOhm =
    "M"
    "Ом";
constexpr std::string_view KiloOhm = "кОм";
constexpr std::string_view OhmCyrillic = "Ом";
constexpr std::string_view OhmLatinO =
    "O"
    "м";
constexpr std::string_view NanoSiemens = "нСм";
constexpr std::string_view MicroSiemens = "мкСм";
constexpr std::string_view MilliSiemens = "мСм";
constexpr std::string_view PicoFarad = "пФ";
constexpr std::string_view NanoFarad = "нФ";
constexpr std::string_view MicroFarad = "мкФ";
constexpr std::string_view MilliFarad = "мФ";
constexpr std::string_view KiloHenry = "кГн";
constexpr std::string_view Henry = "Гн";
constexpr std::string_view MilliHenry = "мГн";
constexpr std::string_view MicroHenry = "мкГн";

using RangeTable = std::array<ReadoutScale, 8>;

// Multiplier x unit: 10^(7 - range) ohm in ranges 1-4, 10^(8 - range) ohm in 5-8.
constexpr RangeTable Resistance = {{
    {MegOhm, 1, 3},
    {KiloOhm, 100, 1},
    {KiloOhm, 10, 2},
    {KiloOhm, 1, 3},
    {OhmCyrillic, 1000, 1},
    {OhmLatinO, 100, 2},
    {OhmLatinO, 10, 3},
    {OhmLatinO, 1, 3},
}};

// Multiplier x unit: 10^(range - 7) siemens in ranges 1-4, 10^(range - 8) in 5-8.
constexpr RangeTable Conductance = {{
    {NanoSiemens, 1000, 0},
    {MicroSiemens, 10, 3},
    {MicroSiemens, 100, 2},
    {MicroSiemens, 1000, 1},
    {MicroSiemens, 1000, 1},
    {MicroSiemens, 10000, 2},
    {MilliSiemens, 100, 3},
    {MilliSiemens, 1000, 3},
}};

// Multiplier x unit: 10^(range - 11) farad in every cell.
constexpr RangeTable Capacitance1kHz = {{
    {PicoFarad, 100, 1},
    {PicoFarad, 1000, 1},
    {NanoFarad, 10, 3},
    {NanoFarad, 100, 2},
    {NanoFarad, 1000, 1},
    {MicroFarad, 10, 3},
    {MicroFarad, 100, 2},
    {MicroFarad, 1000, 1},
}};
constexpr RangeTable Capacitance100Hz = {{
    {PicoFarad, 100, 0},
    {NanoFarad, 1, 3},
    {NanoFarad, 10, 2},
    {NanoFarad, 100, 1},
    {MicroFarad, 1, 3},
    {MicroFarad, 10, 2},
    {MicroFarad, 100, 1},
    {MilliFarad, 1, 3},
}};

// Multiplier x unit: 10^(4 - range) henry in every cell. The meter's documentation leaves
// two cells open; they are filled by continuing each column's pattern:
// - range 8 at 1 kHz: 10^-4 H as 100 x "мкГн", and decimals 2, the next step of the
//   1 kHz decimals pattern 1, 2, 3 (range 7 has 1);
// - range 7 at 100 Hz: 10^-3 H as 1 x "мГн", and decimals 3, the next step of the 100 Hz
//   pattern 3, 1, 2 (ranges 1 and 4, the other multiplier-1 cells, also have 3).
constexpr RangeTable Inductance1kHz = {{
    {Henry, 1000, 1},
    {Henry, 100, 2},
    {Henry, 10, 3},
    {MilliHenry, 1000, 1},
    {MilliHenry, 100, 2},
    {MilliHenry, 10, 3},
    {MicroHenry, 1000, 1},
    {MicroHenry, 100, 2},
}};
constexpr RangeTable Inductance100Hz = {{
    {KiloHenry, 1, 3},
    {Henry, 100, 1},
    {Henry, 10, 2},
    {Henry, 1, 3},
    {MilliHenry, 100, 1},
    {MilliHenry, 10, 2},
    {MilliHenry, 1, 3},
    {MilliHenry, 0.1, 3},
}};

ReadoutScale Lookup(const RangeTable& table, std::uint8_t range) {
    if (range < 1 || range > table.size()) {
        return {std::string_view{}, 1, UnscaledDecimals};
    }
    return table[range - 1];
}

struct LabelUnit {
    std::string_view label;
    SiUnit unit;
};

constexpr std::string_view Ohm = "Ω";
constexpr std::string_view Siemens = "S";
constexpr std::string_view Farad = "F";
constexpr std::string_view HenrySymbol = "H";

constexpr std::array<LabelUnit, 15> LabelUnits = {{
    {MegOhm, {Ohm, 6}},
    {KiloOhm, {Ohm, 3}},
    {OhmCyrillic, {Ohm, 0}},
    {OhmLatinO, {Ohm, 0}},
    {NanoSiemens, {Siemens, -9}},
    {MicroSiemens, {Siemens, -6}},
    {MilliSiemens, {Siemens, -3}},
    {PicoFarad, {Farad, -12}},
    {NanoFarad, {Farad, -9}},
    {MicroFarad, {Farad, -6}},
    {MilliFarad, {Farad, -3}},
    {KiloHenry, {HenrySymbol, 3}},
    {Henry, {HenrySymbol, 0}},
    {MilliHenry, {HenrySymbol, -3}},
    {MicroHenry, {HenrySymbol, -6}},
}};

// 10^exponent for the prefixes in use; every one of them is an exact double.
double PowerOfTen(int exponent) {
    double power = 1.0;
    for (int i = 0; i < exponent; ++i) power *= 10.0;
    return power;
}

}  // namespace

std::optional<SiUnit> SiUnitOf(std::string_view label) {
    for (const LabelUnit& entry : LabelUnits) {
        if (entry.label == label) return entry.unit;
    }
    return std::nullopt;
}

std::optional<double> SiFactor(std::string_view label) {
    const auto unit = SiUnitOf(label);
    if (!unit) return std::nullopt;
    return unit->exponent >= 0 ? PowerOfTen(unit->exponent) : 1.0 / PowerOfTen(-unit->exponent);
}

std::optional<double> ToSi(double number, std::string_view label) {
    const auto unit = SiUnitOf(label);
    if (!unit) return std::nullopt;
    // Dividing by the exact 10^k rounds once; multiplying by the inexact 1e-k would round
    // twice and turn 100 nF into 1.0000000000000001e-07.
    return unit->exponent >= 0 ? number * PowerOfTen(unit->exponent)
                               : number / PowerOfTen(-unit->exponent);
}

ReadoutScale ResistanceScale(std::uint8_t range) { return Lookup(Resistance, range); }

ReadoutScale ConductanceScale(std::uint8_t range) { return Lookup(Conductance, range); }

ReadoutScale CapacitanceScale(std::uint8_t range, bool frequencyIs1kHz) {
    return Lookup(frequencyIs1kHz ? Capacitance1kHz : Capacitance100Hz, range);
}

ReadoutScale InductanceScale(std::uint8_t range, bool frequencyIs1kHz) {
    return Lookup(frequencyIs1kHz ? Inductance1kHz : Inductance100Hz, range);
}

}  // namespace k419
