#include "meter/Reading.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "meter/FrameBytes.h"
#include "meter/ReadingRecorder.h"
#include "meter/ReadoutTables.h"

namespace k419 {
namespace {

using namespace std::chrono;
using test::MakeFrame;

const std::string Overload = "Перегрузка";

struct NoWatchdog : Watchdog {
    void Disable() override {}
    void Enable() override {}
};

// Runs one frame through the panel's receive handler.
void Show(FrontPanelModel& model, const MeterFrame& frame) {
    struct Source : FrameSource {
        std::vector<std::uint8_t> bytes;
        std::uint16_t InputCount() override { return static_cast<std::uint16_t>(bytes.size()); }
        void ReadBlock(std::uint8_t* b, std::uint16_t n) override {
            std::copy_n(bytes.begin(), n, b);
            bytes.erase(bytes.begin(), bytes.begin() + n);
        }
        void DiscardInput() override { bytes.clear(); }
    } source;
    test::Append(source.bytes, frame);
    source.bytes.push_back(FrameHeader);
    NoWatchdog watchdog;
    ASSERT_TRUE(model.ReceiveTrigger(source, watchdog));
}

// A field's text against its record value: the overload text is an empty value with its flag;
// a text without a unit label outside the ratios (a range without a scale) is an empty value;
// otherwise the value over the label's SI factor is the shown number to the digits shown.
// Returns whether the text showed a number.
bool ExpectAgrees(const std::string& text, const RecordValue& v, std::string_view symbol,
                  bool ratio, const std::string& where) {
    SCOPED_TRACE(where + ": \"" + text + "\"");
    if (text == Overload) {
        EXPECT_FALSE(v.value.has_value());
        EXPECT_TRUE(v.overload);
        return false;
    }
    EXPECT_FALSE(v.overload);
    const std::size_t begin = text.find_first_not_of(' ');
    const std::size_t gap = text.find("  ", begin);
    std::string number = text.substr(begin, gap - begin);
    const std::string label = text.substr(gap + 2);
    const std::size_t comma = number.find(',');
    const int decimals =
        comma == std::string::npos ? 0 : static_cast<int>(number.size() - comma - 1);
    if (comma != std::string::npos) number[comma] = '.';
    double shown = 0;
    EXPECT_EQ(std::from_chars(number.data(), number.data() + number.size(), shown).ec, std::errc{});

    double factor = 1.0;
    if (!ratio) {
        const auto unit = SiUnitOf(label);
        if (label.empty() || !unit) {
            EXPECT_TRUE(label.empty()) << "unknown label";
            EXPECT_FALSE(v.value.has_value());
            return false;
        }
        EXPECT_EQ(unit->symbol, symbol);
        factor = *SiFactor(label);
    }
    if (!v.value) {
        ADD_FAILURE() << "no value";
        return false;
    }
    const double tolerance =
        0.5 * std::pow(10.0, -decimals) * (1 + 1e-9) + 1e-12 * std::fabs(shown);
    EXPECT_LE(std::fabs(*v.value / factor - shown), tolerance) << *v.value;
    return true;
}

// Every range of the tables (and three range bytes without a scale), both frequencies,
// averaging on and off, all four main quantities and both loss figures: each value of the
// record agrees with the text of its field and of the display it is copied into.
TEST(Reading, ValuesAgreeWithEveryReadoutText) {
    std::mt19937 random(7);
    // Wide magnitudes overload many fields; the narrow ones (also as averages of ten) show
    // a number in every field of every range.
    std::uniform_real_distribution<double> wide(-3.5, 3.5), narrow(-1.0, 0.5);
    std::bernoulli_distribution negative(0.2);
    int k = 0;
    const auto draw = [&] {
        const double v = std::pow(10.0, k < 24 ? wide(random) : narrow(random));
        return static_cast<float>(negative(random) ? -v : v);
    };
    struct Main {
        std::uint8_t bits;
        char letter;
        const char* symbol;
    };
    const Main mains[] = {{0x20, 'L', "H"}, {0x40, 'C', "F"}, {0x10, 'R', "Ω"}, {0x00, 'G', "S"}};
    int overloads = 0;
    for (const int range : {1, 2, 3, 4, 5, 6, 7, 8, 0, 9, 200}) {
        for (const bool kHz : {true, false}) {
            for (const bool averaging : {false, true}) {
                FrontPanelModel model(",");
                model.FormCreated();
                int shown[4] = {};
                for (k = 0; k < 48; ++k) {
                    const Main& main = mains[k % 4];
                    const bool d = k % 8 >= 4;
                    const std::uint8_t status1 = main.bits | (kHz ? 0x02 : 0) | (d ? 0x80 : 0);
                    Show(model, MakeFrame(draw(), draw(), static_cast<std::uint8_t>(range), status1,
                                          averaging ? 0x02 : 0x00));
                    const Reading r = MakeReading(model, {});
                    const PanelTexts& t = model.Texts();
                    const std::string where =
                        "range " + std::to_string(range) + (kHz ? " 1 kHz" : " 100 Hz") +
                        (averaging ? " averaged" : "") + " frame " + std::to_string(k);
                    shown[0] += ExpectAgrees(t.A, r.resistance, "Ω", false, where + " A");
                    shown[1] += ExpectAgrees(t.B, r.conductance, "S", false, where + " B");
                    shown[2] += ExpectAgrees(t.C, r.capacitance, "F", false, where + " C");
                    shown[3] += ExpectAgrees(t.D, r.inductance, "H", false, where + " D");
                    ExpectAgrees(t.E, r.ratioE, "", true, where + " E");
                    ExpectAgrees(t.F, r.ratioF, "", true, where + " F");
                    ExpectAgrees(t.Base, r.primaryValue, main.symbol, false, where + " Base");
                    ExpectAgrees(t.Dop, r.secondaryValue, "", true, where + " Dop");
                    EXPECT_EQ(std::string(1, r.primary), t.LA);
                    EXPECT_EQ(r.primary, main.letter);
                    EXPECT_EQ(r.primaryUnit, main.symbol);
                    EXPECT_EQ(std::string(1, r.secondary), t.LD);
                    overloads += r.resistance.overload + r.capacitance.overload;
                }
                for (int field = 0; field < 4 && range >= 1 && range <= 8; ++field) {
                    // Each table cell was seen with a number at least once.
                    EXPECT_GT(shown[field], 0) << range << kHz << averaging << field;
                }
            }
        }
    }
    EXPECT_GT(overloads, 0);
}

// The frame's state columns, and the written forms of one record with an overloaded value.
TEST(Reading, StateAndWrittenForms) {
    FrontPanelModel model(".");
    model.FormCreated();
    // L with D, 1 kHz, 0.1 V, bias, automatic ranging; series circuit, no averaging. A
    // second number this large puts the capacitance beyond 10000 nF in range 3.
    Show(model, MakeFrame(0.5f, 2000.0f, 3, 0xFF, 0x01));
    const Reading r = MakeReading(model, {});
    EXPECT_EQ(r.range, 3);
    EXPECT_EQ(r.frequencyHz, 1000);
    EXPECT_EQ(r.levelVolts, 0.1);
    EXPECT_TRUE(r.bias && r.autoRanging && r.seriesCircuit);
    EXPECT_FALSE(r.averaging);
    EXPECT_EQ(r.frame, MakeFrame(0.5f, 2000.0f, 3, 0xFF, 0x01));
    EXPECT_EQ(model.Texts().C, Overload);
    EXPECT_EQ(r.capacitance, (RecordValue{std::nullopt, true}));

    EXPECT_EQ(CsvRow(r, std::nullopt),
              ",,L,-0.0007957747154594766,H,0,D,0.00025,0,20000,0,5e-05,0,,1,"
              "-0.0007957747154594766,0,4000,0,0.00025,0,3,1000,0.1,1,series,auto,0,"
              "AA 00 00 00 7E 00 00 7A 89 03 FF 01\r\n");
    EXPECT_EQ(
        JsonLine(r, std::nullopt),
        "{\"time\": null, \"elapsed_s\": null, \"primary\": \"L\", "
        "\"primary_value\": -0.0007957747154594766, \"primary_unit\": \"H\", "
        "\"primary_overload\": false, \"secondary\": \"D\", \"secondary_value\": 0.00025, "
        "\"secondary_overload\": false, \"resistance_ohm\": 20000, "
        "\"resistance_overload\": false, \"conductance_s\": 5e-05, "
        "\"conductance_overload\": false, \"capacitance_f\": null, "
        "\"capacitance_overload\": true, \"inductance_h\": -0.0007957747154594766, "
        "\"inductance_overload\": false, \"ratio_e\": 4000, \"ratio_e_overload\": false, "
        "\"ratio_f\": 0.00025, \"ratio_f_overload\": false, \"range\": 3, \"frequency_hz\": 1000, "
        "\"level_v\": 0.1, \"bias_on\": true, \"circuit\": \"series\", \"ranging\": \"auto\", "
        "\"averaging_on\": false, \"frame_hex\": \"AA 00 00 00 7E 00 00 7A 89 03 FF 01\"}\n");
}

// Sets the process's time zone for one scope.
class TimeZone {
  public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    std::optional<std::string> old_;
};

TEST(Reading, TimeColumnsAreLocalIsoTimeAndSecondsSinceStart) {
    const auto utc = sys_days{2026y / 12 / 8} + 10h + 33min + 7s + 123456us;
    struct Case {
        const char* tz;
        system_clock::duration sinceStart;
        const char* time;
        const char* elapsed;
    };
    const Case cases[] = {
        {"<+0330>-3:30", 90s + 250ms, "2026-12-08T14:03:07.123+03:30", "90.250"},
        {"<-05>5", 0s, "2026-12-08T05:33:07.123-05:00", "0.000"},
        {"UTC0", 25h, "2026-12-08T10:33:07.123+00:00", "90000.000"},
    };
    for (const auto& c : cases) {
        TimeZone zone(c.tz);
        Reading r;
        r.time = utc;
        const std::string row = CsvRow(r, utc - c.sinceStart);
        EXPECT_EQ(row.substr(0, row.find(",G,")), std::string(c.time) + "," + c.elapsed);
        EXPECT_TRUE(JsonLine(r, utc - c.sinceStart)
                        .starts_with("{\"time\": \"" + std::string(c.time) +
                                     "\", \"elapsed_s\": " + c.elapsed + ","));
    }
}

// A small RFC 4180 reader: rows of fields, quoted fields with doubled quotes, CR LF ends.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = rows.back().back();
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            rows.emplace_back(1);
        } else {
            field += c;
        }
    }
    rows.pop_back();  // after the last line end
    return rows;
}

TEST(Reading, CsvReadsBackWithHeaderQuotingAndEmptyOverloadCell) {
    const auto columns = ReadCsv(
        "time,elapsed_s,primary,primary_value,primary_unit,primary_overload,secondary,"
        "secondary_value,secondary_overload,resistance_ohm,resistance_overload,conductance_s,"
        "conductance_overload,capacitance_f,capacitance_overload,inductance_h,"
        "inductance_overload,ratio_e,ratio_e_overload,ratio_f,ratio_f_overload,range,"
        "frequency_hz,level_v,bias_on,circuit,ranging,averaging_on,frame_hex\r\n")[0];
    FrontPanelModel model(",");
    Show(model, MakeFrame(0.5f, 2000.0f, 3, 0xFF, 0x01));
    const Reading overloaded = MakeReading(model, system_clock::now());
    Show(model, MakeFrame(1, 10, 5, 0x12, 0x02));
    const Reading plain = MakeReading(model, system_clock::now());

    const auto rows = ReadCsv(CsvHeader() + CsvRow(overloaded, system_clock::now()) +
                              CsvRow(plain, std::nullopt));
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0], columns);
    const auto cell = [&](std::size_t row, const std::string& name) {
        const auto at = std::find(columns.begin(), columns.end(), name) - columns.begin();
        return rows.at(row).at(static_cast<std::size_t>(at));
    };
    for (std::size_t row = 1; row < rows.size(); ++row) EXPECT_EQ(rows[row].size(), columns.size());
    EXPECT_EQ(cell(1, "capacitance_f"), "");
    EXPECT_EQ(cell(1, "capacitance_overload"), "1");
    EXPECT_NE(cell(1, "time"), "");
    EXPECT_EQ(cell(2, "time"), "");
    EXPECT_EQ(cell(2, "primary_unit"), "Ω");
    EXPECT_EQ(cell(2, "resistance_ohm"), "181.8181818181818");  // "." whatever the panel shows

    for (const std::string text : {"plain", "", "a,b", "say \"hi\"", "two\r\nlines", "\"", "Ω"}) {
        const auto read = ReadCsv(CsvField(text) + "\r\n");
        ASSERT_EQ(read.size(), 1U) << text;
        EXPECT_EQ(read[0], std::vector<std::string>{text});
    }
    EXPECT_EQ(CsvField("plain"), "plain");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ReadingRecorder, EachRowIsInTheFileAsSoonAsRecorded) {
    char pattern[] = "/tmp/k419-recorder-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/readings.csv";
    FrontPanelModel model(".");
    Show(model, MakeFrame(1, 10, 5, 0x12, 0x02));
    const auto start = system_clock::now();
    const Reading reading = MakeReading(model, start + 2s);

    ReadingRecorder recorder;
    ASSERT_TRUE(recorder.Start(path, start)) << recorder.Error();
    EXPECT_EQ(ReadFile(path), CsvHeader());
    std::string expected = CsvHeader();
    for (int row = 1; row <= 3; ++row) {
        ASSERT_TRUE(recorder.Record(reading));
        expected += CsvRow(reading, start);
        // Another reader sees the row before any close: a crash now would not lose it.
        EXPECT_EQ(ReadFile(path), expected);
        EXPECT_EQ(recorder.Rows(), static_cast<std::uint64_t>(row));
    }
    EXPECT_TRUE(recorder.Recording());
    EXPECT_TRUE(recorder.Stop());
    EXPECT_FALSE(recorder.Recording());
    EXPECT_FALSE(recorder.Record(reading));
    EXPECT_EQ(ReadFile(path), expected);
    ::unlink(path.c_str());
    ::rmdir(pattern);
}

TEST(ReadingRecorder, FailureToCreateOrWriteStopsWithItsReason) {
    const struct {
        std::string path, error;
    } cases[] = {
        {"/nonexistent-k419/readings.csv",
         "cannot create /nonexistent-k419/readings.csv: No such file or directory"},
        {"/tmp", "cannot create /tmp: Is a directory"},
        {"/dev/full", "cannot write /dev/full: No space left on device"},
    };
    for (const auto& c : cases) {
        ReadingRecorder recorder;
        EXPECT_FALSE(recorder.Start(c.path, system_clock::now()));
        EXPECT_EQ(recorder.Error(), c.error);
        EXPECT_FALSE(recorder.Recording());
        EXPECT_FALSE(recorder.Record(Reading{}));
        EXPECT_EQ(recorder.Rows(), 0U);
    }
}

}  // namespace
}  // namespace k419
