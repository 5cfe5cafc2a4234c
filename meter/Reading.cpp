#include "meter/Reading.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "meter/ReadoutTables.h"

namespace k419 {

namespace {

using std::chrono::system_clock;
using TimePoint = system_clock::time_point;

RecordValue InSi(const FieldValue& field) {
    if (field.overload) return {std::nullopt, true};
    return {ToSi(field.scaled, field.unit), false};
}

RecordValue Plain(const FieldValue& field) {
    if (field.overload) return {std::nullopt, true};
    return {field.scaled, false};
}

// Shortest text that reads back as the same double; to_chars never consults the locale.
// Nothing for a value that has no number to write.
std::string Number(const RecordValue& v) {
    if (!v.value || !std::isfinite(*v.value)) return {};
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof digits, *v.value);
    return std::string(digits, result.ptr);
}

void AppendPadded(std::string& out, long value, int width) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    for (auto n = result.ptr - digits; n < width; ++n) out += '0';
    out.append(digits, result.ptr);
}

// "2026-12-08T14:03:07.123+03:00": local wall time and its offset from UTC at that instant.
std::string LocalTime(TimePoint time) {
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(millis);
    const std::time_t t = system_clock::to_time_t(seconds);
    // The standard library's own calls only: the record is made on one thread, so the shared
    // result of localtime is copied out before anybody else can call it.
    const std::tm* shared = std::localtime(&t);
    if (shared == nullptr) return {};
    const std::tm local = *shared;
    std::string out;
    AppendPadded(out, local.tm_year + 1900L, 4);
    out += '-';
    AppendPadded(out, local.tm_mon + 1, 2);
    out += '-';
    AppendPadded(out, local.tm_mday, 2);
    out += 'T';
    AppendPadded(out, local.tm_hour, 2);
    out += ':';
    AppendPadded(out, local.tm_min, 2);
    out += ':';
    AppendPadded(out, local.tm_sec, 2);
    out += '.';
    AppendPadded(out, static_cast<long>((millis - seconds).count()), 3);
    // strftime's "%z" is the offset as +hhmm; ISO 8601's extended form puts a colon in it.
    char zone[16] = {};
    if (std::strftime(zone, sizeof zone, "%z", &local) == 5) {
        out.append(zone, 3);
        out += ':';
        out.append(zone + 3, 2);
    }
    return out;
}

// Seconds since the start with millisecond resolution, the resolution of the time column.
std::string Elapsed(TimePoint time, TimePoint start) {
    const double seconds = std::chrono::duration<double>(time - start).count();
    char digits[48];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, seconds, std::chars_format::fixed, 3);
    return std::string(digits, result.ptr);
}

std::string FrameHex(const MeterFrame& frame) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t byte : frame) {
        if (!out.empty()) out += ' ';
        out += Hex[byte >> 4];
        out += Hex[byte & 0x0F];
    }
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20) {
            static constexpr char Hex[] = "0123456789abcdef";
            out += "\\u00";
            out += Hex[byte >> 4];
            out += Hex[byte & 0x0F];
        } else {
            out += ch;
        }
    }
    return out + '"';
}

// The record's columns in order, each with its CSV cell and its JSON value; the two written
// forms share this one list so their names and order cannot drift apart.
struct Column {
    std::string_view name;
    std::string csv;
    std::string json;
};

Column Text(std::string_view name, std::string_view text) {
    return {name, CsvField(text), JsonString(text)};
}

Column Flag(std::string_view name, bool flag) {
    return {name, flag ? "1" : "0", flag ? "true" : "false"};
}

Column Value(std::string_view name, const RecordValue& v) {
    std::string number = Number(v);
    std::string json = number.empty() ? "null" : number;
    return {name, std::move(number), std::move(json)};
}

std::vector<Column> Columns(const Reading& r, std::optional<TimePoint> start) {
    const auto letter = [](const char& c) { return std::string_view(&c, 1); };
    std::string time, elapsed;
    if (start) {
        time = LocalTime(r.time);
        elapsed = Elapsed(r.time, *start);
    }
    char level[16];
    const auto levelEnd = std::to_chars(level, level + sizeof level, r.levelVolts).ptr;
    return {
        {"time", time, start ? JsonString(time) : "null"},
        {"elapsed_s", elapsed, start ? elapsed : "null"},
        Text("primary", letter(r.primary)),
        Value("primary_value", r.primaryValue),
        Text("primary_unit", r.primaryUnit),
        Flag("primary_overload", r.primaryValue.overload),
        Text("secondary", letter(r.secondary)),
        Value("secondary_value", r.secondaryValue),
        Flag("secondary_overload", r.secondaryValue.overload),
        Value("resistance_ohm", r.resistance),
        Flag("resistance_overload", r.resistance.overload),
        Value("conductance_s", r.conductance),
        Flag("conductance_overload", r.conductance.overload),
        Value("capacitance_f", r.capacitance),
        Flag("capacitance_overload", r.capacitance.overload),
        Value("inductance_h", r.inductance),
        Flag("inductance_overload", r.inductance.overload),
        Value("ratio_e", r.ratioE),
        Flag("ratio_e_overload", r.ratioE.overload),
        Value("ratio_f", r.ratioF),
        Flag("ratio_f_overload", r.ratioF.overload),
        {"range", std::to_string(r.range), std::to_string(r.range)},
        {"frequency_hz", std::to_string(r.frequencyHz), std::to_string(r.frequencyHz)},
        {"level_v", std::string(level, levelEnd), std::string(level, levelEnd)},
        Flag("bias_on", r.bias),
        Text("circuit", r.seriesCircuit ? "series" : "parallel"),
        Text("ranging", r.autoRanging ? "auto" : "manual"),
        Flag("averaging_on", r.averaging),
        Text("frame_hex", FrameHex(r.frame)),
    };
}

}  // namespace

Reading MakeReading(const FrontPanelModel& model, TimePoint time) {
    const ReadoutValues& v = model.Values();
    Reading r;
    r.time = time;
    r.resistance = InSi(v.A);
    r.conductance = InSi(v.B);
    r.capacitance = InSi(v.C);
    r.inductance = InSi(v.D);
    r.ratioE = Plain(v.E);
    r.ratioF = Plain(v.F);

    // The same choice the readout makes when it copies a field into Base and Dop.
    if (model.MainIsL) {
        r.primary = 'L';
        r.primaryValue = r.inductance;
        r.primaryUnit = "H";
    } else if (model.MainIsC) {
        r.primary = 'C';
        r.primaryValue = r.capacitance;
        r.primaryUnit = "F";
    } else if (model.MainIsR) {
        r.primary = 'R';
        r.primaryValue = r.resistance;
        r.primaryUnit = "Ω";
    } else {
        r.primary = 'G';
        r.primaryValue = r.conductance;
        r.primaryUnit = "S";
    }
    r.secondary = model.AuxIsQ ? 'Q' : 'D';
    r.secondaryValue = model.AuxIsQ ? r.ratioE : r.ratioF;

    const std::uint8_t status1 = model.Frame[10];
    const std::uint8_t status2 = model.Frame[11];
    r.range = model.CurrentRange;
    r.frequencyHz = model.FrequencyIs1kHz ? 1000 : 100;
    r.levelVolts = (status1 & 0x04) != 0 ? 0.1 : 1.0;
    r.bias = (status1 & 0x01) != 0;
    r.autoRanging = (status1 & 0x08) != 0;
    r.seriesCircuit = (status2 & 0x01) != 0;
    r.averaging = model.AveragingOn == 1;
    r.frame = model.Frame;
    return r;
}

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (const char ch : text) {
        if (ch == '"') out += '"';
        out += ch;
    }
    return out + '"';
}

std::string CsvHeader() {
    std::string line;
    for (const Column& c : Columns(Reading{}, std::nullopt)) {
        if (!line.empty()) line += ',';
        line += c.name;
    }
    return line + "\r\n";
}

std::string CsvRow(const Reading& reading, std::optional<TimePoint> start) {
    std::string line;
    bool first = true;
    for (const Column& c : Columns(reading, start)) {
        if (!first) line += ',';
        first = false;
        line += c.csv;
    }
    return line + "\r\n";
}

std::string JsonLine(const Reading& reading, std::optional<TimePoint> start) {
    std::string line = "{";
    for (const Column& c : Columns(reading, start)) {
        if (line.size() > 1) line += ", ";
        line += JsonString(c.name);
        line += ": ";
        line += c.json;
    }
    return line + "}\n";
}

}  // namespace k419
