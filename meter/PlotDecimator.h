// A bounded picture of a value over time, for a live plot: however long it runs, it keeps a
// fixed number of columns, each holding the smallest and the largest value that fell into it.
// Standard library only.
#pragma once

#include <cstddef>
#include <vector>

namespace k419 {

class PlotDecimator {
  public:
    struct Point {
        double seconds;
        double value;
    };

    // `columns`: how many columns the picture keeps (a plot wants about one per pixel);
    // `initialSpan`: the seconds the picture covers at first. At least 2 columns (fewer
    // count as 2); a span that is not a positive number counts as the default.
    explicit PlotDecimator(std::size_t columns = 1024, double initialSpan = 60.0);

    // Adds a value at `seconds` (since the picture started; not below the previous one).
    // When the time outgrows the columns, neighbouring columns merge pairwise and each then
    // covers twice the time, so memory never grows. A time below the previous one (a clock
    // set back) counts as the previous time and a negative one as 0, so the points stay in
    // time order; a value or time that is not finite is not added.
    void Add(double seconds, double value);
    void Clear();

    // The points to draw, in time order: per column its minimum and maximum, each at the time
    // it was seen (one point when they are the same reading).
    std::vector<Point> Points() const;
    bool Empty() const;
    // Seconds each column covers now.
    double ColumnSpan() const { return span_; }
    std::size_t Columns() const { return columns_.size(); }

  private:
    struct Column {
        bool used = false;
        Point min{}, max{};
    };
    void Halve();

    std::vector<Column> columns_;
    double initialSpan_;
    double span_;
    double last_ = 0.0;
};

}  // namespace k419
