#include "meter/PlotDecimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>

namespace k419 {
namespace {

// A million readings at 80 per second merge the columns many times over; each column then
// holds exactly the extremes of the readings of its stretch, a lone spike included.
TEST(PlotDecimator, BoundedAndTrueToEveryStretch) {
    constexpr std::size_t Columns = 300;
    PlotDecimator plot(Columns, 10.0);
    std::mt19937 random(11);
    std::normal_distribution<double> step;
    std::vector<PlotDecimator::Point> added;
    double value = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        value += step(random);
        added.push_back({i / 80.0, i % 50'000 == 7 ? value + 1e4 : value});
        plot.Add(added.back().seconds, added.back().value);
    }
    const auto points = plot.Points();
    EXPECT_EQ(plot.Columns(), Columns);
    ASSERT_LE(points.size(), 2 * Columns);

    using Extremes = std::map<double, std::pair<double, double>>;  // column: min, max
    const auto extremes = [&](const std::vector<PlotDecimator::Point>& from) {
        Extremes result;
        for (const auto& p : from) {
            auto [it, fresh] =
                result.try_emplace(std::floor(p.seconds / plot.ColumnSpan()), p.value, p.value);
            it->second = {std::min(it->second.first, p.value),
                          std::max(it->second.second, p.value)};
        }
        return result;
    };
    EXPECT_EQ(extremes(points), extremes(added));
    EXPECT_TRUE(std::is_sorted(points.begin(), points.end(),
                               [](auto& a, auto& b) { return a.seconds < b.seconds; }));
}

TEST(PlotDecimator, UnsoundTimesAndValues) {
    PlotDecimator plot(4, 4.0);
    plot.Add(2.5, 1);
    plot.Add(1.0, 3);  // a clock set back: counts at 2.5
    plot.Add(std::numeric_limits<double>::infinity(), 9);
    plot.Add(3.0, std::numeric_limits<double>::quiet_NaN());
    const auto points = plot.Points();
    ASSERT_EQ(points.size(), 2U);
    EXPECT_EQ(points[1].seconds, 2.5);
    plot.Add(1e300, 5);  // far ahead: merges until it fits, without hanging
    EXPECT_EQ(plot.Points().back().value, 5);
    plot.Clear();
    EXPECT_TRUE(plot.Empty());
    EXPECT_EQ(plot.ColumnSpan(), 1.0);
}

}  // namespace
}  // namespace k419
