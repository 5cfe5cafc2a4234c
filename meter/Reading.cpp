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
void AppendNumber(std::string& out, const RecordValue& v) {
    if (!v.value || !std::isfinite(*v.value)) return;
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof digits, *v.value);
    out.append(digits, result.ptr);
}

bool HasNumber(const RecordValue& v) { return v.value && std::isfinite(*v.value); }

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
    // result of localtime is copied out before anybody else can call it. localtime looks at
    // the system's time zone file each time it is called (a file system call per row at the
    // line's 80 rows a second), so each thread keeps the last second it converted: the
    // offset from UTC changes only at a whole second.
    thread_local std::time_t lastSecond = -1;
    thread_local std::tm lastLocal{};
    if (t != lastSecond) {
        const std::tm* shared = std::localtime(&t);
        if (shared == nullptr) return {};
        lastLocal = *shared;
        lastSecond = t;
    }
    const std::tm local = lastLocal;
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
    // The offset is the local wall time read as if it were UTC, less the instant itself.
    // Worked out here: strftime's "%z" gives the zone's name instead on some C libraries.
    using namespace std::chrono;
    const sys_seconds wall =
        sys_days{year{local.tm_year + 1900} / month{static_cast<unsigned>(local.tm_mon + 1)} /
                 day{static_cast<unsigned>(local.tm_mday)}} +
        hours{local.tm_hour} + minutes{local.tm_min} + std::chrono::seconds{local.tm_sec};
    const long offsetMinutes = static_cast<long>(round<minutes>(wall - seconds).count());
    out += offsetMinutes < 0 ? '-' : '+';
    const long magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    AppendPadded(out, magnitude / 60, 2);
    out += ':';
    AppendPadded(out, magnitude % 60, 2);
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

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
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
    out += '"';
}

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += text;
        return;
    }
    out += '"';
    for (const char ch : text) {
        if (ch == '"') out += '"';
        out += ch;
    }
    out += '"';
}

// The record's columns in order, handed one by one to a writer of one of the written forms
// (the CSV header, a CSV row, a JSON line); the forms share this one list so their names and
// order cannot drift apart. A writer has Text (a string), Value (a number, or none), Flag, Raw
// (a number already written, the same in both forms) and Missing (no cell to give). Each
// writes straight into its line: a row is made at every frame the panel takes.
template <class Writer>
void EachColumn(const Reading& r, std::optional<TimePoint> start, Writer& w) {
    const auto letter = [](const char& c) { return std::string_view(&c, 1); };
    if (start) {
        w.Text("time", LocalTime(r.time));
        w.Raw("elapsed_s", Elapsed(r.time, *start));
    } else {
        w.Missing("time");
        w.Missing("elapsed_s");
    }
    w.Text("primary", letter(r.primary));
    w.Value("primary_value", r.primaryValue);
    w.Text("primary_unit", r.primaryUnit);
    w.Flag("primary_overload", r.primaryValue.overload);
    w.Text("secondary", letter(r.secondary));
    w.Value("secondary_value", r.secondaryValue);
    w.Flag("secondary_overload", r.secondaryValue.overload);
    // Each quantity in SI, then its overload flag.
    const auto quantity = [&w](const char* value, const char* flag, const auto& q) {
        w.Value(value, q);
        w.Flag(flag, q.overload);
    };
    quantity("resistance_ohm", "resistance_overload", r.resistance);
    quantity("conductance_s", "conductance_overload", r.conductance);
    quantity("capacitance_f", "capacitance_overload", r.capacitance);
    quantity("inductance_h", "inductance_overload", r.inductance);
    quantity("ratio_e", "ratio_e_overload", r.ratioE);
    quantity("ratio_f", "ratio_f_overload", r.ratioF);
    char text[24];
    w.Raw("range", std::string_view(text, std::to_chars(text, text + sizeof text, r.range).ptr));
    w.Raw("frequency_hz",
          std::string_view(text, std::to_chars(text, text + sizeof text, r.frequencyHz).ptr));
    w.Raw("level_v",
          std::string_view(text, std::to_chars(text, text + sizeof text, r.levelVolts).ptr));
    w.Flag("bias_on", r.bias);
    w.Text("circuit", r.seriesCircuit ? "series" : "parallel");
    w.Text("ranging", r.autoRanging ? "auto" : "manual");
    w.Flag("averaging_on", r.averaging);
    w.Text("frame_hex", FrameHex(r.frame));
}

struct CsvHeaderWriter {
    std::string line;
    void Name(std::string_view name) {
        if (!line.empty()) line += ',';
        line += name;
    }
    void Text(std::string_view name, std::string_view) { Name(name); }
    void Value(std::string_view name, const RecordValue&) { Name(name); }
    void Flag(std::string_view name, bool) { Name(name); }
    void Raw(std::string_view name, std::string_view) { Name(name); }
    void Missing(std::string_view name) { Name(name); }
};

struct CsvRowWriter {
    std::string line;
    bool first = true;
    void Next() {
        if (!first) line += ',';
        first = false;
    }
    void Text(std::string_view, std::string_view text) {
        Next();
        AppendCsvField(line, text);
    }
    void Value(std::string_view, const RecordValue& v) {
        Next();
        AppendNumber(line, v);
    }
    void Flag(std::string_view, bool flag) {
        Next();
        line += flag ? '1' : '0';
    }
    void Raw(std::string_view, std::string_view text) {
        Next();
        line += text;
    }
    void Missing(std::string_view) { Next(); }
};

struct JsonLineWriter {
    std::string line = "{";
    void Key(std::string_view name) {
        if (line.size() > 1) line += ", ";
        AppendJsonString(line, name);
        line += ": ";
    }
    void Text(std::string_view name, std::string_view text) {
        Key(name);
        AppendJsonString(line, text);
    }
    void Value(std::string_view name, const RecordValue& v) {
        Key(name);
        if (HasNumber(v))
            AppendNumber(line, v);
        else
            line += "null";
    }
    void Flag(std::string_view name, bool flag) {
        Key(name);
        line += flag ? "true" : "false";
    }
    void Raw(std::string_view name, std::string_view text) {
        Key(name);
        line += text;
    }
    void Missing(std::string_view name) {
        Key(name);
        line += "null";
    }
};

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
    std::string out;
    AppendCsvField(out, text);
    return out;
}

std::string CsvHeader() {
    CsvHeaderWriter writer;
    EachColumn(Reading{}, std::nullopt, writer);
    return writer.line + "\r\n";
}

std::string CsvRow(const Reading& reading, std::optional<TimePoint> start) {
    CsvRowWriter writer;
    writer.line.reserve(256);
    EachColumn(reading, start, writer);
    writer.line += "\r\n";
    return std::move(writer.line);
}

std::string JsonLine(const Reading& reading, std::optional<TimePoint> start) {
    JsonLineWriter writer;
    writer.line.reserve(1024);
    EachColumn(reading, start, writer);
    writer.line += "}\n";
    return std::move(writer.line);
}

}  // namespace k419
