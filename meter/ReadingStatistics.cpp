#include "meter/ReadingStatistics.h"

#include <algorithm>
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
    // Values that differ only in their last bits (the meter's averaging sums the same readings
    // in another order at every frame) are one value: what m2 holds then is rounding, not
    // spread. The meter's numbers carry 24 bits, far coarser than this.
    if (count_ < 2 || max_ - min_ <= 1e-12 * std::max(std::fabs(min_), std::fabs(max_))) {
        return 0.0;
    }
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

namespace {

// `value` split for a prefixed form: its number with "." as decimal point and the index of its
// prefix in the list f, p, n, µ, m, (none), k, M, G, T, P; or the whole text in scientific
// notation (index -1) where no prefix reaches. `digits` as for WithSiPrefix.
std::pair<std::string, int> PrefixedNumber(double value, int digits) {
    char text[64];
    // Rounding first, in decimal, then choosing the prefix from the rounded number keeps
    // 999.9996 nF at six digits from coming out as "1000 nF".
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, digits - 1)
            .ptr;
    const std::string_view scientific(text, static_cast<std::size_t>(end - text));
    const std::size_t e = scientific.find('e');
    const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());
    if (exponent < -15 || exponent >= 18) {
        // No prefix reaches this far: scientific notation, its trailing zeros dropped.
        std::string digitsPart(scientific.substr(0, e));
        if (digitsPart.find('.') != std::string::npos) {
            while (digitsPart.back() == '0') digitsPart.pop_back();
            if (digitsPart.back() == '.') digitsPart.pop_back();
        }
        return {digitsPart + std::string(scientific.substr(e)), -1};
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
    return {sign + number, prefixPower / 3 + 5};
}

// The plain form of a ratio or of a value with nothing to prefix.
std::string PlainNumber(double value, int digits) {
    char text[64];
    const auto end =
        std::isfinite(value) && value != 0.0
            ? std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits).ptr
            : std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

int ClampDigits(int digits) { return digits < 1 ? 1 : digits > 17 ? 17 : digits; }

}  // namespace

std::string WithSiPrefix(double value, std::string_view unit, int digits) {
    digits = ClampDigits(digits);
    const std::string space = unit.empty() ? "" : " ";
    // A ratio takes no prefix: it would only puzzle ("12 m" for a loss factor of 0.012).
    if (!std::isfinite(value) || value == 0.0 || unit.empty()) {
        return PlainNumber(value, digits) + space + std::string(unit);
    }
    static constexpr const char* Prefixes[] = {"f", "p", "n", "µ", "m", "",
                                               "k", "M", "G", "T", "P"};
    const auto [number, prefix] = PrefixedNumber(value, digits);
    return number + " " + (prefix >= 0 ? Prefixes[prefix] : "") + std::string(unit);
}

std::string_view PanelUnit(std::string_view unit) {
    // The panel's own unit names, Cyrillic as its fields show them.
    static constexpr std::pair<std::string_view, std::string_view> Units[] = {
        {"Ω", "Ом"}, {"S", "См"}, {"F", "Ф"}, {"H", "Гн"}};
    for (const auto& [si, panel] : Units) {
        if (unit == si) return panel;
    }
    return unit;
}

std::string WithPanelPrefix(double value, std::string_view unit, std::string_view separator,
                            int digits) {
    digits = ClampDigits(digits);
    const std::string name(PanelUnit(unit));
    static constexpr const char* Prefixes[] = {"ф", "п", "н", "мк", "м", "",
                                               "к", "М", "Г", "Т",  "П"};
    std::string text;
    if (!std::isfinite(value) || value == 0.0 || unit.empty()) {
        text = PlainNumber(value, digits) + (unit.empty() ? "" : " " + name);
    } else {
        const auto [number, prefix] = PrefixedNumber(value, digits);
        text = number + " " + (prefix >= 0 ? Prefixes[prefix] : "") + name;
    }
    if (const auto point = text.find('.'); point != std::string::npos) {
        text.replace(point, 1, separator);
    }
    return text;
}

}  // namespace k419
