// Statistics of the readings since the last reset, for the primary and the secondary value.
// Standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meter/Reading.h"

namespace k419 {

// Count, minimum, maximum, mean and standard deviation of a series of numbers, kept in one
// pass with Welford's update, so that a long series of nearly equal values (a component
// watched for an hour) loses no precision to cancellation.
class RunningStatistics {
  public:
    void Add(double value);
    void Reset() { *this = {}; }

    std::uint64_t Count() const { return count_; }
    // Minimum, maximum and mean: 0 while the count is 0.
    double Minimum() const { return min_; }
    double Maximum() const { return max_; }
    double Mean() const { return mean_; }
    // The sample standard deviation (divisor count - 1); 0 for fewer than two values.
    double StandardDeviation() const;

  private:
    std::uint64_t count_ = 0;
    double min_ = 0.0, max_ = 0.0, mean_ = 0.0, m2_ = 0.0;
};

// The primary and the secondary value of the readings, each since its last reset. A side
// starts afresh when its quantity changes (L, C, R and G are never mixed, nor D and Q);
// values without a number (overloads, ranges without a scale) are left out of the figures
// and counted apart.
class ReadingStatistics {
  public:
    struct Side {
        char quantity = 0;      // 0 until the first reading
        std::string_view unit;  // SI symbol of the values ("" for the ratios)
        RunningStatistics values;
        std::uint64_t withoutNumber = 0;  // overloaded or unscaled readings left out
    };

    void Add(const Reading& reading);
    // Both sides, on demand.
    void Reset();

    const Side& Primary() const { return primary_; }
    const Side& Secondary() const { return secondary_; }

    // A few lines for a person: per side its quantity, count, minimum, maximum, mean and
    // standard deviation in its unit (with SI prefixes), and the readings left out.
    std::string Summary() const;

  private:
    Side primary_, secondary_;
};

// `value` with an SI prefix and `unit`, to `digits` significant digits without trailing
// zeros: 1.00e-7 and "F" give "100 nF". Values beyond the prefixes f to P are written in
// scientific notation ("1e-18 F"); with an empty unit (a ratio) no prefix is used ("0.0123").
std::string WithSiPrefix(double value, std::string_view unit, int digits = 6);

// The same as the panel writes its readings: the prefix and the unit in the panel's Cyrillic
// names (Ом, См, Ф, Гн; мк, н, п, ...) and `separator` as the decimal separator: 1.00e-7 and
// "F" give "100 нФ", 0.0123 and "" with "," give "0,0123".
std::string WithPanelPrefix(double value, std::string_view unit, std::string_view separator,
                            int digits = 6);
// The panel's name of an SI unit of the record: "Ом" for "Ω", "См", "Ф", "Гн"; any other as it is.
std::string_view PanelUnit(std::string_view unit);

}  // namespace k419
