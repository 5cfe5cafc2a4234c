#include "meter/ReadoutTables.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <functional>
#include <map>
#include <string>

namespace k419 {
namespace {

// Power of ten that each unit label stands for.
int UnitPower(std::string_view unit) {
    static const std::map<std::string_view, int> powers = {
        {"M"
         "Ом",
         6},
        {"кОм", 3},
        {"Ом", 0},
        {"O"
         "м",
         0},
        {"нСм", -9},
        {"мкСм", -6},
        {"мСм", -3},
        {"пФ", -12},
        {"нФ", -9},
        {"мкФ", -6},
        {"мФ", -3},
        {"кГн", 3},
        {"Гн", 0},
        {"мГн", -3},
        {"мкГн", -6},
    };
    const auto it = powers.find(unit);
    EXPECT_NE(it, powers.end()) << "unknown unit " << unit;
    return it == powers.end() ? 999 : it->second;
}

// Every cell must express the range's physical scale: multiplier x unit = 10^power.
TEST(ReadoutTables, EveryCellScalesToTheRangesUnit) {
    struct Column {
        const char* name;
        std::string_view symbol;
        std::function<ReadoutScale(std::uint8_t)> scale;
        std::function<int(int)> power;
    };
    const Column columns[] = {
        {"R", "Ω", ResistanceScale, [](int r) { return r < 5 ? 7 - r : 8 - r; }},
        {"G", "S", ConductanceScale, [](int r) { return r < 5 ? r - 7 : r - 8; }},
        {"C 1k", "F", [](std::uint8_t r) { return CapacitanceScale(r, true); },
         [](int r) { return r - 11; }},
        {"C 100", "F", [](std::uint8_t r) { return CapacitanceScale(r, false); },
         [](int r) { return r - 11; }},
        {"L 1k", "H", [](std::uint8_t r) { return InductanceScale(r, true); },
         [](int r) { return 4 - r; }},
        {"L 100", "H", [](std::uint8_t r) { return InductanceScale(r, false); },
         [](int r) { return 4 - r; }},
    };
    for (const auto& column : columns) {
        for (int range = 1; range <= 8; ++range) {
            const ReadoutScale s = column.scale(static_cast<std::uint8_t>(range));
            const double power = std::log10(s.multiplier) + UnitPower(s.unit);
            EXPECT_NEAR(power, column.power(range), 1e-9) << column.name << " range " << range;
            // The factor as exact as a double holds it: the double nearest 10^power, as the
            // decimal text converts (pow may be some units in the last place off).
            const std::string exact = "1e" + std::to_string(UnitPower(s.unit));
            double nearest = 0;
            std::from_chars(exact.data(), exact.data() + exact.size(), nearest);
            EXPECT_EQ(SiFactor(s.unit), nearest) << s.unit;
            EXPECT_EQ(SiUnitOf(s.unit)->symbol, column.symbol) << s.unit;
        }
        for (const int outside : {0, 9, 200, 255}) {
            const ReadoutScale s = column.scale(static_cast<std::uint8_t>(outside));
            EXPECT_TRUE(s.unit.empty());
            EXPECT_EQ(s.multiplier, 1.0);
            EXPECT_EQ(s.decimals, UnscaledDecimals);
            EXPECT_FALSE(SiFactor(s.unit).has_value());
        }
    }
}

// The conversion rounds once: the values a display shows come out as the literal would.
TEST(ReadoutTables, ToSiRoundsOnce) {
    EXPECT_EQ(ToSi(100, "нФ"), 1e-7);
    EXPECT_EQ(ToSi(4.7, "мкФ"), 4.7e-6);
    EXPECT_FALSE(ToSi(1, "").has_value());
}

TEST(ReadoutTables, MixedScriptResistanceLabelsAreByteExact) {
    EXPECT_EQ(ResistanceScale(1).unit, "\x4D\xD0\x9E\xD0\xBC");      // Latin M + Ом
    EXPECT_EQ(ResistanceScale(2).unit, "\xD0\xBA\xD0\x9E\xD0\xBC");  // кОм
    EXPECT_EQ(ResistanceScale(5).unit, "\xD0\x9E\xD0\xBC");          // Ом
    for (const std::uint8_t range : {6, 7, 8}) {
        EXPECT_EQ(ResistanceScale(range).unit, "\x4F\xD0\xBC");  // Latin O + м
    }
}

// The two open inductance cells continue the decimals patterns of their columns.
TEST(ReadoutTables, InductanceDecimalsFollowTheColumnPatterns) {
    for (int range = 1; range <= 8; ++range) {
        const auto r = static_cast<std::uint8_t>(range);
        EXPECT_EQ(InductanceScale(r, true).decimals, (range - 1) % 3 + 1) << range;
        if (range <= 7) {
            EXPECT_EQ(InductanceScale(r, false).decimals, (range + 1) % 3 + 1) << range;
        }
    }
    EXPECT_EQ(InductanceScale(8, true).unit, "мкГн");
    EXPECT_EQ(InductanceScale(7, false).unit, "мГн");
    EXPECT_EQ(InductanceScale(8, false).multiplier, 0.1);
}

}  // namespace
}  // namespace k419
