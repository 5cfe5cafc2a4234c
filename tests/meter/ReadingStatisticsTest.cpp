#include "meter/ReadingStatistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace k419 {
namespace {

TEST(RunningStatistics, AgreesWithTwoPass) {
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> decade(-12, 6);
    const auto series = [&](std::size_t n, auto next) {
        std::vector<double> x(n);
        std::generate(x.begin(), x.end(), next);
        return x;
    };
    const struct {
        std::vector<double> values;
        double tolerance;  // relative, on mean and sd
    } cases[] = {
        {series(1000, [&] { return 1e-12 * (1 + 0.01 * normal(random)); }), 1e-12},
        {series(1000, [&] { return 1e6 * (1 + 0.1 * normal(random)); }), 1e-12},
        {series(1000, [&] { return std::copysign(std::pow(10, decade(random)), normal(random)); }),
         1e-12},
        // A megohm watched for long, its noise in the ninth digit: the textbook sum of squares
        // loses every digit of the deviation here.
        {series(200000, [&] { return 1e6 + 1e-3 * normal(random); }), 1e-7},
    };
    for (const auto& [x, tolerance] : cases) {
        // Two passes over the deviations from the first value, exact for nearly equal values.
        double sum = 0, squares = 0;
        for (const double v : x) sum += v - x[0];
        const double shifted = sum / static_cast<double>(x.size());
        for (const double v : x) squares += (v - x[0] - shifted) * (v - x[0] - shifted);
        const double mean = x[0] + shifted, sd = std::sqrt(squares / double(x.size() - 1));

        RunningStatistics s;
        for (const double v : x) s.Add(v);
        EXPECT_EQ(s.Count(), x.size());
        EXPECT_EQ(s.Minimum(), *std::min_element(x.begin(), x.end()));
        EXPECT_EQ(s.Maximum(), *std::max_element(x.begin(), x.end()));
        EXPECT_NEAR(s.Mean(), mean, tolerance * std::fabs(mean));
        EXPECT_NEAR(s.StandardDeviation(), sd, tolerance * sd);
    }
}

Reading Make(char primary, std::optional<double> value, char secondary, std::optional<double> q) {
    Reading r;
    r.primary = primary;
    r.primaryUnit = primary == 'C' ? "F" : "H";
    r.primaryValue = {value, !value};
    r.secondary = secondary;
    r.secondaryValue = {q, !q};
    return r;
}

TEST(ReadingStatistics, EachSideKeepsToOneQuantity) {
    ReadingStatistics s;
    s.Add(Make('C', 99.98e-9, 'D', 0.001));
    s.Add(Make('C', 100.02e-9, 'D', 0.003));
    s.Add(Make('C', std::nullopt, 'D', 0.002));
    s.Add(Make('C', 100e-9, 'D', std::nullopt));
    EXPECT_EQ(s.Summary(),
              "C: 3 readings, min 99.98 nF, max 100.02 nF, mean 100 nF, sd 20 pF, 1 reading "
              "without a number (overload or no range) left out\n"
              "D: 3 readings, min 0.001, max 0.003, mean 0.002, sd 0.001, 1 reading without a "
              "number (overload or no range) left out\n");
    s.Add(Make('L', 0.5, 'D', 0.004));  // the primary starts afresh, the secondary goes on
    EXPECT_EQ(s.Summary(),
              "L: 1 reading, min 500 mH, max 500 mH, mean 500 mH\n"
              "D: 4 readings, min 0.001, max 0.004, mean 0.0025, sd 0.00129, 1 "
              "reading without a number (overload or no range) left out\n");
    s.Add(Make('L', 0.5, 'Q', 250));
    EXPECT_EQ(s.Secondary().values.Count(), 1U);
    EXPECT_EQ(s.Secondary().withoutNumber, 0U);
    s.Reset();
    EXPECT_EQ(s.Summary(), "no readings\n");
}

TEST(ReadingStatistics, WithSiPrefix) {
    const std::tuple<double, const char*, int, const char*> cases[] = {
        {1.00e-7, "F", 6, "100 nF"},
        {7.9e-12, "F", 2, "7.9 pF"},
        {999.9996e-9, "F", 6, "1 µF"},
        {-4700, "Ω", 6, "-4.7 kΩ"},
        {0.0123456789, "H", 3, "12.3 mH"},
        {1e-18, "F", 6, "1e-18 F"},
        {0, "Ω", 6, "0 Ω"},
        {0.0123456789, "", 4, "0.01235"},
    };
    for (const auto& [value, unit, digits, text] : cases) {
        EXPECT_EQ(WithSiPrefix(value, unit, digits), text);
    }
    // As the panel writes it: its Cyrillic names and the locale's separator.
    EXPECT_EQ(WithPanelPrefix(1.0001e-7, "F", ","), "100,01 нФ");
    EXPECT_EQ(WithPanelPrefix(-4700, "Ω", ","), "-4,7 кОм");
    EXPECT_EQ(WithPanelPrefix(2.5e-6, "H", "."), "2.5 мкГн");
    EXPECT_EQ(WithPanelPrefix(0.0123456789, "", ",", 4), "0,01235");
}

// A reading that never changes has no spread, also when the averaging hands it over with its
// last bits differing from frame to frame.
TEST(RunningStatistics, AConstantSeriesHasNoSpread) {
    for (const double value : {0.1, 1.0001e-7, 123456.789}) {
        RunningStatistics s;
        for (int i = 0; i < 1000; ++i) {
            s.Add(i % 3 == 0 ? value : std::nextafter(value, i % 3 == 1 ? 0.0 : 1e9));
        }
        EXPECT_EQ(s.StandardDeviation(), 0.0) << value;
    }
}

}  // namespace
}  // namespace k419
