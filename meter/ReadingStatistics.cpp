#include "meter/ReadingStatistics.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace k419 {

void RunningStatistics::Add(double value) {
    ++count_;
    if (count_ == 1) {
        min_ = max_ = mean_ = value;
        m2_ = 0.0;
        return;
    }
    if (value < min_) min_ = value;
    if (value > max_) max_ = value;
    // Welford: the mean moves by a fraction of the deviation, and m2 gathers the product of
    // the deviations from the old and the new mean, so no large sums ever cancel.
    const double delta = value - mean_;
    mean_ += delta / static_cast<double>(count_);
    m2_ += delta * (value - mean_);
}

double RunningStatistics::StandardDeviation() const {
    if (count_ < 2) return 0.0;
    return std::sqrt(m2_ / static_cast<double>(count_ - 1));
}

namespace {

void AddTo(ReadingStatistics::Side& side, char quantity, std::string_view unit,
           const RecordValue& value) {
    if (side.quantity != quantity) {
        side = {};
        side.quantity = quantity;
        side.unit = unit;
    }
    if (value.value && std::isfinite(*value.value)) {
        side.values.Add(*value.value);
    } else {
        ++side.withoutNumber;
    }
}

std::string Count(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string SideLine(const ReadingStatistics::Side& side) {
    const RunningStatistics& v = side.values;
    std::string line(1, side.quantity);
    line += ": " + Count(v.Count(), "reading", "readings");
    if (v.Count() > 0) {
        line += ", min " + WithSiPrefix(v.Minimum(), side.unit);
        line += ", max " + WithSiPrefix(v.Maximum(), side.unit);
        line += ", mean " + WithSiPrefix(v.Mean(), side.unit);
        if (v.Count() > 1) line += ", sd " + WithSiPrefix(v.StandardDeviation(), side.unit, 3);
    }
    if (side.withoutNumber > 0) {
        line += ", " + Count(side.withoutNumber, "reading", "readings") +
                " without a number (overload or no range) left out";
    }
    return line + "\n";
}

}  // namespace

void ReadingStatistics::Add(const Reading& reading) {
    AddTo(primary_, reading.primary, reading.primaryUnit, reading.primaryValue);
    AddTo(secondary_, reading.secondary, {}, reading.secondaryValue);
}

void ReadingStatistics::Reset() {
    primary_ = {};
    secondary_ = {};
}

std::string ReadingStatistics::Summary() const {
    if (primary_.quantity == 0) return "no readings\n";
    return SideLine(primary_) + SideLine(secondary_);
}

std::string WithSiPrefix(double value, std::string_view unit, int digits) {
    if (digits < 1) digits = 1;
    if (digits > 17) digits = 17;
    const std::string space = unit.empty() ? "" : " ";
    char text[64];
    if (!std::isfinite(value) || value == 0.0) {
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        return std::string(text, end) + space + std::string(unit);
    }
    if (unit.empty()) {
        // A ratio: a prefix would only puzzle ("12 m" for a loss factor of 0.012).
        const auto end =
            std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits).ptr;
        return std::string(text, end);
    }
    // Rounding first, in decimal, then choosing the prefix from the rounded number keeps
    // 999.9996 nF at six digits from coming out as "1000 nF".
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, digits - 1)
            .ptr;
    const std::string_view scientific(text, static_cast<std::size_t>(end - text));
    const std::size_t e = scientific.find('e');
    const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());
    static constexpr const char* Prefixes[] = {"f", "p", "n", "µ", "m", "",
                                               "k", "M", "G", "T", "P"};
    if (exponent < -15 || exponent >= 18) {
        // No prefix reaches this far: scientific notation, its trailing zeros dropped.
        std::string digitsPart(scientific.substr(0, e));
        if (digitsPart.find('.') != std::string::npos) {
            while (digitsPart.back() == '0') digitsPart.pop_back();
            if (digitsPart.back() == '.') digitsPart.pop_back();
        }
        return digitsPart + std::string(scientific.substr(e)) + " " + std::string(unit);
    }
    const int prefixPower = (exponent >= 0 ? exponent / 3 : -((-exponent + 2) / 3)) * 3;

    // The significant digits, then the decimal point moved right by exponent - prefixPower.
    std::string sign, mantissa;
    for (const char c : scientific.substr(0, e)) {
        if (c == '-') {
            sign = "-";
        } else if (c != '.') {
            mantissa += c;
        }
    }
    const std::size_t integerDigits = static_cast<std::size_t>(exponent - prefixPower) + 1;
    while (mantissa.size() < integerDigits) mantissa += '0';
    std::string number = mantissa.substr(0, integerDigits);
    std::string fraction = mantissa.substr(integerDigits);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) number += "." + fraction;
    return sign + number + " " + Prefixes[prefixPower / 3 + 5] + std::string(unit);
}

}  // namespace k419
