#include "meter/PlotDecimator.h"

#include <algorithm>
#include <cmath>

namespace k419 {

namespace {

constexpr double DefaultSpan = 60.0;

}  // namespace

PlotDecimator::PlotDecimator(std::size_t columns, double initialSpan)
    : columns_(std::max<std::size_t>(columns, 2)),
      initialSpan_(std::isfinite(initialSpan) && initialSpan > 0.0 ? initialSpan : DefaultSpan),
      span_(initialSpan_ / static_cast<double>(columns_.size())) {}

void PlotDecimator::Add(double seconds, double value) {
    if (!std::isfinite(seconds) || !std::isfinite(value)) return;
    seconds = std::max({seconds, last_, 0.0});
    last_ = seconds;

    auto index = std::floor(seconds / span_);
    while (index >= static_cast<double>(columns_.size())) {
        Halve();
        index = std::floor(seconds / span_);
    }
    Column& column = columns_[static_cast<std::size_t>(index)];
    const Point point{seconds, value};
    if (!column.used) {
        column = {true, point, point};
    } else {
        // Strict comparisons keep the first of equal extremes: the earlier time.
        if (value < column.min.value) column.min = point;
        if (value > column.max.value) column.max = point;
    }
}

void PlotDecimator::Halve() {
    const std::size_t count = columns_.size();
    for (std::size_t i = 0; i < count; ++i) {
        Column merged;
        for (const std::size_t from : {2 * i, 2 * i + 1}) {
            if (from >= count || !columns_[from].used) continue;
            const Column& c = columns_[from];
            if (!merged.used) {
                merged = c;
                continue;
            }
            // The left column is the earlier: on equal values its extreme stays.
            if (c.min.value < merged.min.value) merged.min = c.min;
            if (c.max.value > merged.max.value) merged.max = c.max;
        }
        columns_[i] = merged;
    }
    span_ *= 2.0;
}

void PlotDecimator::Clear() {
    std::fill(columns_.begin(), columns_.end(), Column{});
    span_ = initialSpan_ / static_cast<double>(columns_.size());
    last_ = 0.0;
}

std::vector<PlotDecimator::Point> PlotDecimator::Points() const {
    std::vector<Point> points;
    for (const Column& c : columns_) {
        if (!c.used) continue;
        const bool minFirst = c.min.seconds <= c.max.seconds;
        const Point& first = minFirst ? c.min : c.max;
        const Point& second = minFirst ? c.max : c.min;
        points.push_back(first);
        if (second.seconds != first.seconds || second.value != first.value) {
            points.push_back(second);
        }
    }
    return points;
}

bool PlotDecimator::Empty() const {
    return std::none_of(columns_.begin(), columns_.end(), [](const Column& c) { return c.used; });
}

}  // namespace k419
