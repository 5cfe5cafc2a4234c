// The reading record: what one frame the panel has taken says, as plain numbers in SI base
// units, and its written forms (a CSV row, a JSON line). Standard library only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "meter/FrontPanel.h"
#include "meter/MeterFrame.h"

namespace k419 {

// One value of the record. `value` is empty when the field shows no number: it is
// overloaded ("Перегрузка"; then `overload` is set) or its range has no scale in the readout
// tables (a range byte outside 1 to 8). Never a made-up number.
struct RecordValue {
    std::optional<double> value;
    bool overload = false;

    bool operator==(const RecordValue&) const = default;
};

struct Reading {
    // When the receive handler took the frame.
    std::chrono::system_clock::time_point time;

    // The main display: its letter (L, C, R or G, as LA shows it), its value in SI base units
    // and the unit's symbol ("H", "F", "Ω", "S").
    char primary = 'G';
    RecordValue primaryValue;
    std::string_view primaryUnit;
    // The auxiliary display: its letter (D or Q, as LD shows it) and its value (a ratio).
    char secondary = 'Q';
    RecordValue secondaryValue;

    // Fields A to F in SI base units: resistance (Ω), conductance (S), capacitance (F),
    // inductance (H); E = |second| / |first| and F = |first| / |second| (plain ratios).
    RecordValue resistance, conductance, capacitance, inductance, ratioE, ratioF;

    // The meter's state for the frame.
    std::uint8_t range = 0;
    int frequencyHz = 0;      // 1000 or 100
    double levelVolts = 0.0;  // 1 or 0.1
    bool bias = false;
    bool seriesCircuit = false;  // else parallel
    bool autoRanging = false;
    bool averaging = false;

    MeterFrame frame{};
};

// The record of the frame `model` has just shown: its own values (after its averaging when
// averaging is on) at full precision, converted to SI, so that each agrees with its field's
// text to the digits shown. `time`: when the frame was taken.
Reading MakeReading(const FrontPanelModel& model, std::chrono::system_clock::time_point time);

// The CSV form (RFC 4180: fields separated by commas, quoted when they hold a comma, a quote
// or a line end, lines ending in CR LF; UTF-8; "." as decimal point whatever the locale).
// The header row, with its line end.
std::string CsvHeader();
// One data row, with its line end. Times: the local time in ISO 8601 with milliseconds and
// the UTC offset ("2026-12-08T14:03:07.123+03:00"), and the seconds since `start`; both
// columns stay empty without a start (a replay of a raw capture has no times). Numbers are
// written in full precision (the shortest text that reads back as the same double); a value
// without a number is an empty cell, with its overload flag beside it.
std::string CsvRow(const Reading& reading,
                   std::optional<std::chrono::system_clock::time_point> start);

// The same record as one JSON object on one line (with its line end); a value without a
// number is null. Times as in CsvRow (null without a start).
std::string JsonLine(const Reading& reading,
                     std::optional<std::chrono::system_clock::time_point> start);

// `text` as one RFC 4180 field: as it is, or between double quotes (inner quotes doubled)
// when it holds a comma, a double quote, a CR or an LF.
std::string CsvField(std::string_view text);

}  // namespace k419
