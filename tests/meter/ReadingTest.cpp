#include "meter/Reading.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "meter/FrameBytes.h"
#include "meter/ReadingRecorder.h"
#include "meter/ReadoutTables.h"
#include "PosixStandIns.h"

namespace k419 {
namespace {

using namespace std::chrono;
using Rows = std::vector<std::vector<std::string>>;

// Shows one frame as the receive handler does once it has taken it.
void Show(FrontPanelModel& model, const MeterFrame& frame) {
    struct : Watchdog {
        void Disable() override {}
        void Enable() override {}
    } watchdog;
    model.Frame = frame;
    model.ShowMeterState();
    model.ShowReadings(watchdog);
}

// A field's text against its record value: the overload text is an empty value with its flag,
// a text without a unit label (a range without a scale) an empty value; otherwise the value
// over the label's SI factor is the shown number to the digits shown.
testing::AssertionResult Agrees(const std::string& text, const RecordValue& v, bool ratio) {
    if (text == OverloadText) {
        if (!v.value && v.overload) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "overload shown, not recorded";
    }
    const std::size_t begin = text.find_first_not_of(' '), gap = text.find("  ", begin);
    std::string number = text.substr(begin, gap - begin);
    const std::size_t comma = number.find(',');
    const int decimals = comma == std::string::npos ? 0 : int(number.size() - comma - 1);
    if (comma != std::string::npos) number[comma] = '.';
    double shown = 0;
    std::from_chars(number.data(), number.data() + number.size(), shown);
    const auto factor = ratio ? std::optional(1.0) : SiFactor(text.substr(gap + 2));
    if (!factor) {
        if (!v.value && !v.overload && gap + 2 == text.size()) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "unscaled \"" << text << "\" has a value";
    }
    if (!v.value || v.overload) return testing::AssertionFailure() << "no value for " << text;
    const double error = std::fabs(*v.value / *factor - shown);
    if (error <= 0.5 * std::pow(10.0, -decimals) * (1 + 1e-9) + 1e-12 * std::fabs(shown)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << *v.value << " against \"" << text << "\"";
}

// Every range of the tables (and range bytes without a scale), both frequencies, averaging on
// and off, all four main quantities and both loss figures.
TEST(Reading, ValuesAgreeWithEveryReadoutText) {
    std::mt19937 random(7);
    // Wide magnitudes overload many fields; narrow ones (also as averages) show a number in
    // every field of every range.
    std::uniform_real_distribution<double> wide(-3.5, 3.5), narrow(-1.0, 0.5);
    const std::pair<std::uint8_t, std::string_view> mains[] = {
        {0x20, "H"}, {0x40, "F"}, {0x10, "Ω"}, {0x00, "S"}};
    int overloads = 0;
    for (const int range : {1, 2, 3, 4, 5, 6, 7, 8, 0, 9, 200}) {
        for (const bool kHz : {true, false}) {
            for (const bool averaging : {false, true}) {
                FrontPanelModel model(",");
                int numbers[4] = {};
                for (int k = 0; k < 48; ++k) {
                    const auto draw = [&] {
                        const double v = std::pow(10.0, k < 24 ? wide(random) : narrow(random));
                        return static_cast<float>(k % 5 == 0 ? -v : v);
                    };
                    const auto status1 =
                        mains[k % 4].first | (kHz ? 2 : 0) | (k % 8 < 4 ? 0x80 : 0);
                    Show(model,
                         test::MakeFrame(draw(), draw(), static_cast<std::uint8_t>(range),
                                         static_cast<std::uint8_t>(status1), averaging ? 2 : 0));
                    const Reading r = MakeReading(model, {});
                    const PanelTexts& t = model.Texts();
                    SCOPED_TRACE(testing::Message()
                                 << "range " << range << " 1 kHz " << kHz << " averaging "
                                 << averaging << " frame " << k);
                    const std::pair<const std::string&, const RecordValue&> fields[] = {
                        {t.A, r.resistance},
                        {t.B, r.conductance},
                        {t.C, r.capacitance},
                        {t.D, r.inductance},
                        {t.Base, r.primaryValue}};
                    for (int f = 0; f < 5; ++f) {
                        EXPECT_TRUE(Agrees(fields[f].first, fields[f].second, false)) << f;
                        if (f < 4) numbers[f] += fields[f].second.value.has_value();
                        overloads += fields[f].second.overload;
                    }
                    EXPECT_TRUE(Agrees(t.E, r.ratioE, true));
                    EXPECT_TRUE(Agrees(t.F, r.ratioF, true));
                    EXPECT_TRUE(Agrees(t.Dop, r.secondaryValue, true));
                    EXPECT_EQ(std::string({r.primary, r.secondary}), t.LA + t.LD);
                    EXPECT_EQ(r.primaryUnit, mains[k % 4].second);
                }
                // Each table cell was seen with a number.
                for (int f = 0; f < 4 && range >= 1 && range <= 8; ++f) EXPECT_GT(numbers[f], 0);
            }
        }
    }
    EXPECT_GT(overloads, 0);
}

// A small RFC 4180 reader: quoted fields with doubled quotes, CR LF line ends.
Rows ReadCsv(const std::string& text) {
    Rows rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            rows.back().back() += text[i++];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            rows.back().emplace_back();
        } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.emplace_back(1);
            ++i;
        } else {
            rows.back().back() += c;
        }
    }
    rows.pop_back();  // after the last line end
    return rows;
}

TEST(Reading, CsvAndJsonForms) {
    FrontPanelModel model(",");
    // L with D, 1 kHz, 0.1 V, bias, automatic ranging, series circuit; C overloads.
    Show(model, test::MakeFrame(0.5f, 2000.0f, 3, 0xFF, 0x01));
    const Reading r = MakeReading(model, {});
    EXPECT_EQ(CsvHeader(),
              "time,elapsed_s,primary,primary_value,primary_unit,primary_overload,secondary,"
              "secondary_value,secondary_overload,resistance_ohm,resistance_overload,conductance_s,"
              "conductance_overload,capacitance_f,capacitance_overload,inductance_h,"
              "inductance_overload,ratio_e,ratio_e_overload,ratio_f,ratio_f_overload,range,"
              "frequency_hz,level_v,bias_on,circuit,ranging,averaging_on,frame_hex\r\n");
    EXPECT_EQ(CsvRow(r, std::nullopt),
              ",,L,-0.0007957747154594766,H,0,D,0.00025,0,20000,0,5e-05,0,,1,"
              "-0.0007957747154594766,0,4000,0,0.00025,0,3,1000,0.1,1,series,auto,0,"
              "AA 00 00 00 7E 00 00 7A 89 03 FF 01\r\n");
    const Rows rows = ReadCsv(CsvHeader() + CsvRow(r, std::nullopt));
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[1].size(), rows[0].size());
    EXPECT_NE(
        JsonLine(r, std::nullopt).find("\"capacitance_f\": null, \"capacitance_overload\": true"),
        std::string::npos);

    for (const std::string text : {"plain", "", "a,b", "say \"hi\"", "two\r\nlines"}) {
        EXPECT_EQ(ReadCsv(CsvField(text) + "," + CsvField(text) + "\r\n"), (Rows{{text, text}}));
    }

    // Zones west and east of UTC with part of an hour, in the TZ form that both the POSIX and
    // the Windows C libraries read; nothing else in this program reads local time. (The
    // conversion is kept for a second, so each zone has a second of its own.)
    const struct {
        const char* zone;
        std::chrono::seconds second;
        const char* row;
    } zones[] = {{"ABC3:30", 7s, "2026-12-08T07:03:07.123-03:30,90.250,G,"},
                 {"XYZ-5:45", 8s, "2026-12-08T16:18:08.123+05:45,90.250,G,"}};
    for (const auto& [zone, second, row] : zones) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        Reading timed;
        timed.time = sys_days{2026y / 12 / 8} + 10h + 33min + second + 123456us;
        EXPECT_TRUE(CsvRow(timed, timed.time - 90250ms).starts_with(row))
            << zone << ": " << CsvRow(timed, timed.time - 90250ms);
    }
    Reading timed;
    timed.time = sys_days{2026y / 12 / 8};
    EXPECT_TRUE(JsonLine(timed, std::nullopt).starts_with("{\"time\": null, \"elapsed_s\": null,"));
}

// An overload of only one of the two displays marks only its own cells, in both forms.
TEST(Reading, EachDisplaysOverloadMarksOnlyItsOwnCells) {
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "only the main display overloads" : "only the second overloads");
        Reading r;
        const RecordValue overload{std::nullopt, true}, number{2.5, false};
        r.primaryValue = first ? overload : number;
        r.secondaryValue = first ? number : overload;
        const Rows rows = ReadCsv(CsvHeader() + CsvRow(r, std::nullopt));
        ASSERT_EQ(rows.size(), 2U);
        const auto cell = [&](const std::string& name) {
            const auto at = std::find(rows[0].begin(), rows[0].end(), name);
            return at == rows[0].end() ? std::string("?") : rows[1][at - rows[0].begin()];
        };
        EXPECT_EQ(cell("primary_value"), first ? "" : "2.5");
        EXPECT_EQ(cell("primary_overload"), first ? "1" : "0");
        EXPECT_EQ(cell("secondary_value"), first ? "2.5" : "");
        EXPECT_EQ(cell("secondary_overload"), first ? "0" : "1");
        const std::string json = JsonLine(r, std::nullopt);
        const auto has = [&](const std::string& text) {
            return json.find(text) != std::string::npos;
        };
        EXPECT_TRUE(has(std::string("\"primary_overload\": ") + (first ? "true" : "false")))
            << json;
        EXPECT_TRUE(has(std::string("\"secondary_overload\": ") + (first ? "false" : "true")))
            << json;
        EXPECT_TRUE(has(first ? "\"primary_value\": null" : "\"secondary_value\": null")) << json;
    }
}

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A new folder in the system's temporary folder.
std::string MakeTempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "k419-recorder-XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

TEST(ReadingRecorder, RowsReachTheFileAtOnceAndAFailureStops) {
    const std::string dir = MakeTempFolder();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/readings.csv";
    const auto start = system_clock::now();
    Reading reading;
    reading.time = start + 2s;
    ReadingRecorder recorder;
    ASSERT_TRUE(recorder.Start(path, start)) << recorder.Error();
    ASSERT_TRUE(recorder.Record(reading));
    // Another reader sees the row before any close: a crash now would not lose it.
    EXPECT_EQ(ReadFile(path), CsvHeader() + CsvRow(reading, start));
    EXPECT_EQ(recorder.Rows(), 1U);
    EXPECT_TRUE(recorder.Stop());
    EXPECT_FALSE(recorder.Record(reading));
    std::filesystem::remove_all(dir);

    // The system's own wording of each cause (a folder is "permission denied" on Windows).
#ifdef _WIN32
    const int folderError = EACCES;
#else
    const int folderError = EISDIR;
#endif
    const std::string temp = std::filesystem::temp_directory_path().string();
    const std::pair<std::string, std::string> failures[] = {
        {path, "cannot create " + path + ": " + std::strerror(ENOENT)},
        {temp, "cannot create " + temp + ": " + std::strerror(folderError)},
#ifdef __linux__
        {"/dev/full", "cannot write /dev/full: " + std::string(std::strerror(ENOSPC))},
#endif
    };
    for (const auto& [target, error] : failures) {
        EXPECT_FALSE(recorder.Start(target, start));
        EXPECT_EQ(recorder.Error(), error);
        EXPECT_FALSE(recorder.Recording());
        EXPECT_FALSE(recorder.Record(reading));
    }
}

#ifndef _WIN32
// A disk that fills in the middle of a row: the file keeps its whole rows and no part of the
// row that did not fit. The file size limit of a child process stands in for the full disk
// (POSIX only: Windows has no such limit).
TEST(ReadingRecorder, ADiskThatFillsLeavesOnlyWholeRows) {
    const std::string dir = MakeTempFolder();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/readings.csv";
    const auto start = system_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ReadingRecorder recorder;
        if (!recorder.Start(path, start)) ::_exit(1);
        Reading reading;
        for (int i = 0; i < 100; ++i) {
            reading.time = start + std::chrono::milliseconds(i);
            if (!recorder.Record(reading))
                ::_exit(recorder.Error().find("too large") != std::string::npos ? 0 : 2);
        }
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string text = ReadFile(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.rfind(CsvHeader(), 0), 0u);
    EXPECT_LE(text.size(), 1000u);
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
}  // namespace k419
