#include "meter/PlotDecimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>

namespace k419 {
namespace {

// A day at 80 frames per second would be 6.9 million readings; a million already merges the
// columns many times over. Whatever the merges did, each column holds exactly the extremes of
// the readings of its stretch.
TEST(PlotDecimator, BoundedAndTrueToEveryStretch) {
    constexpr std::size_t Columns = 300;
    PlotDecimator plot(Columns, 10.0);
    std::mt19937 random(11);
    std::normal_distribution<double> step(0, 1);
    std::vector<PlotDecimator::Point> added;
    double value = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        value += step(random);
        // A lone spike must survive every merge.
        const PlotDecimator::Point p{i / 80.0, i % 50'000 == 7 ? value + 1e4 : value};
        plot.Add(p.seconds, p.value);
        added.push_back(p);
        if (i % 100'000 == 0) {
            EXPECT_EQ(plot.Columns(), Columns);
            EXPECT_LE(plot.Points().size(), 2 * Columns);
        }
    }
    const auto points = plot.Points();
    ASSERT_LE(points.size(), 2 * Columns);
    EXPECT_EQ(plot.Columns(), Columns);
    EXPECT_LE(added.back().seconds, plot.ColumnSpan() * static_cast<double>(Columns));

    std::map<long, std::pair<double, double>> stretches, kept;  // column: min, max
    const auto index = [&](double seconds) {
        return std::lround(std::floor(seconds / plot.ColumnSpan()));
    };
    for (const auto& p : added) {
        auto [it, fresh] = stretches.try_emplace(index(p.seconds), p.value, p.value);
        it->second.first = std::min(it->second.first, p.value);
        it->second.second = std::max(it->second.second, p.value);
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0) {
            EXPECT_LE(points[i - 1].seconds, points[i].seconds) << i;
        }
        auto [it, fresh] =
            kept.try_emplace(index(points[i].seconds), points[i].value, points[i].value);
        it->second.first = std::min(it->second.first, points[i].value);
        it->second.second = std::max(it->second.second, points[i].value);
    }
    EXPECT_EQ(kept, stretches);
}

TEST(PlotDecimator, TimesOutOfOrderOrNotFiniteKeepThePictureSound) {
    PlotDecimator plot(4, 4.0);
    EXPECT_TRUE(plot.Empty());
    EXPECT_EQ(plot.ColumnSpan(), 1.0);
    plot.Add(2.5, 1);
    plot.Add(1.0, 3);  // a clock set back: counts at 2.5
    plot.Add(std::numeric_limits<double>::infinity(), 9);
    plot.Add(3.0, std::numeric_limits<double>::quiet_NaN());
    plot.Add(std::numeric_limits<double>::quiet_NaN(), 9);
    const auto points = plot.Points();
    ASSERT_EQ(points.size(), 2U);
    EXPECT_EQ(points[0].seconds, 2.5);
    EXPECT_EQ(points[0].value, 1);
    EXPECT_EQ(points[1].seconds, 2.5);
    EXPECT_EQ(points[1].value, 3);

    plot.Add(1e300, 5);  // far ahead: merges until it fits, without hanging
    EXPECT_EQ(plot.Columns(), 4U);
    EXPECT_EQ(plot.Points().back().value, 5);
    plot.Clear();
    EXPECT_TRUE(plot.Empty());
    EXPECT_EQ(plot.ColumnSpan(), 1.0);
    plot.Add(0.5, 7);
    ASSERT_EQ(plot.Points().size(), 1U);  // one reading: one point
    EXPECT_EQ(plot.Points()[0].seconds, 0.5);
}

}  // namespace
}  // namespace k419
