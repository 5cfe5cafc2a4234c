#include "meter/ReadingStatistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace k419 {
namespace {

struct Reference {
    double mean, sd;
};

// Two passes over the deviations from the first value: exact for nearly equal values, where
// that subtraction loses nothing, and accurate for any data.
Reference TwoPass(const std::vector<double>& x) {
    const double shift = x.front();
    double sum = 0;
    for (const double v : x) sum += v - shift;
    const double meanShifted = sum / static_cast<double>(x.size());
    double squares = 0;
    for (const double v : x) squares += (v - shift - meanShifted) * (v - shift - meanShifted);
    return {shift + meanShifted, std::sqrt(squares / static_cast<double>(x.size() - 1))};
}

TEST(RunningStatistics, AgreesWithTwoPassOverWideAndNarrowData) {
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(-1, 1), decade(-12, 6);
    const auto series = [&](std::size_t n, const std::function<double()>& next) {
        std::vector<double> x(n);
        std::generate(x.begin(), x.end(), next);
        return x;
    };
    const struct {
        const char* name;
        std::vector<double> values;
        double tolerance;  // relative, on mean and sd
    } cases[] = {
        {"picofarads", series(1000, [&] { return 1e-12 * (1 + 0.01 * normal(random)); }), 1e-12},
        {"megohms", series(1000, [&] { return 1e6 * (1 + 0.1 * uniform(random)); }), 1e-12},
        {"1e-12 to 1e6, both signs",
         series(1000, [&] { return std::copysign(std::pow(10, decade(random)), uniform(random)); }),
         1e-12},
        // A component watched for long: a megohm with noise in the ninth digit.
        {"nearly equal", series(200000, [&] { return 1e6 + 1e-3 * normal(random); }), 1e-7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunningStatistics s;
        for (const double v : c.values) s.Add(v);
        const Reference ref = TwoPass(c.values);
        EXPECT_EQ(s.Count(), c.values.size());
        EXPECT_EQ(s.Minimum(), *std::min_element(c.values.begin(), c.values.end()));
        EXPECT_EQ(s.Maximum(), *std::max_element(c.values.begin(), c.values.end()));
        EXPECT_NEAR(s.Mean(), ref.mean, c.tolerance * std::fabs(ref.mean) + 1e-300);
        EXPECT_NEAR(s.StandardDeviation(), ref.sd, c.tolerance * ref.sd);
    }
    // The last series defeats the textbook sum of squares, which is what it is there for.
    const auto& nearlyEqual = cases[3].values;
    double sum = 0, squares = 0;
    for (const double v : nearlyEqual) sum += v, squares += v * v;
    const double n = static_cast<double>(nearlyEqual.size());
    const double naive = std::sqrt(std::fabs(squares - sum * sum / n) / (n - 1));
    EXPECT_GT(std::fabs(naive - TwoPass(nearlyEqual).sd), TwoPass(nearlyEqual).sd);

    RunningStatistics one;
    one.Add(5);
    EXPECT_EQ(one.StandardDeviation(), 0);
    one.Reset();
    EXPECT_EQ(one.Count(), 0U);
    EXPECT_EQ(one.Mean(), 0);
}

Reading Make(char primary, std::optional<double> value, char secondary,
             std::optional<double> ratio) {
    Reading r;
    r.primary = primary;
    r.primaryUnit = primary == 'C' ? "F" : primary == 'L' ? "H" : primary == 'R' ? "Ω" : "S";
    r.primaryValue = {value, !value};
    r.secondary = secondary;
    r.secondaryValue = {ratio, !ratio};
    return r;
}

// Each side keeps to one quantity, and values without a number are counted apart.
TEST(ReadingStatistics, SidesStartAfreshWhenTheirQuantityChanges) {
    ReadingStatistics s;
    s.Add(Make('C', 99.98e-9, 'D', 0.001));
    s.Add(Make('C', 100.02e-9, 'D', 0.002));
    s.Add(Make('C', std::nullopt, 'D', 0.003));
    s.Add(Make('C', 100e-9, 'D', std::nullopt));
    EXPECT_EQ(s.Primary().quantity, 'C');
    EXPECT_EQ(s.Primary().unit, "F");
    EXPECT_EQ(s.Primary().values.Count(), 3U);
    EXPECT_EQ(s.Primary().withoutNumber, 1U);
    EXPECT_EQ(s.Secondary().values.Count(), 3U);
    EXPECT_EQ(s.Summary(),
              "C: 3 readings, min 99.98 nF, max 100.02 nF, mean 100 nF, sd 20 pF, 1 reading "
              "without a number (overload or no range) left out\n"
              "D: 3 readings, min 0.001, max 0.003, mean 0.002, sd 0.001, 1 reading without a "
              "number (overload or no range) left out\n");

    s.Add(Make('L', 0.5, 'D', 0.004));  // the primary changes, the secondary goes on
    EXPECT_EQ(s.Primary().quantity, 'L');
    EXPECT_EQ(s.Primary().values.Count(), 1U);
    EXPECT_EQ(s.Primary().withoutNumber, 0U);
    EXPECT_EQ(s.Primary().values.Mean(), 0.5);
    EXPECT_EQ(s.Secondary().values.Count(), 4U);
    s.Add(Make('L', 0.5, 'Q', 250));
    EXPECT_EQ(s.Primary().values.Count(), 2U);
    EXPECT_EQ(s.Secondary().quantity, 'Q');
    EXPECT_EQ(s.Secondary().values.Count(), 1U);
    EXPECT_EQ(s.Secondary().withoutNumber, 0U);

    s.Reset();
    EXPECT_EQ(s.Primary().values.Count(), 0U);
    EXPECT_EQ(s.Secondary().values.Count(), 0U);
    EXPECT_EQ(s.Summary(), "no readings\n");
}

TEST(ReadingStatistics, WithSiPrefix) {
    const struct {
        double value;
        const char* unit;
        int digits;
        const char* text;
    } cases[] = {
        {1.00e-7, "F", 6, "100 nF"},
        {99.98e-9, "F", 6, "99.98 nF"},
        {7.9e-12, "F", 2, "7.9 pF"},
        {999.9996e-9, "F", 6, "1 µF"},  // rounding carries into the next prefix
        {-4700, "Ω", 6, "-4.7 kΩ"},
        {1.5e6, "Ω", 6, "1.5 MΩ"},
        {0.0123456789, "H", 3, "12.3 mH"},
        {12, "S", 6, "12 S"},
        {1e-15, "F", 6, "1 fF"},
        {1e-18, "F", 6, "1e-18 F"},
        {-2.5e21, "Ω", 3, "-2.5e+21 Ω"},
        {0, "Ω", 6, "0 Ω"},
        {0.0123456789, "", 4, "0.01235"},  // ratios take no prefix
        {4051.864, "", 6, "4051.86"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithSiPrefix(c.value, c.unit, c.digits), c.text) << c.value;
    }
}

}  // namespace
}  // namespace k419
