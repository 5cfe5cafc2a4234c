#include "meter/FrontPanel.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <deque>
#include <random>
#include <stdexcept>
#include <vector>

#include "meter/FrameBytes.h"

namespace k419 {
namespace {

using test::MakeFrame;

const std::string MOhm = "\x4D\xD0\x9E\xD0\xBC";  // Latin M + Cyrillic Ом
const std::string OhmO = "\x4F\xD0\xBC";          // Latin O + Cyrillic м
const std::string Overload = "Перегрузка";

// What a field may show: the overload text, or a number padded to 8, two spaces, a unit.
bool IsFieldText(const std::string& text, char separator) {
    if (text == Overload) return true;
    const std::size_t gap = text.find("  ", text.find_first_not_of(' '));
    if (gap == std::string::npos) return false;
    const std::string number =
        text.substr(text.find_first_not_of(' '), gap - text.find_first_not_of(' '));
    if (text.substr(0, gap).size() < 8 || text.find(' ', gap + 2) != std::string::npos)
        return false;
    std::size_t i = number[0] == '-' ? 1 : 0;
    int digits = 0;
    bool point = false;
    for (; i < number.size(); ++i) {
        if (number[i] == separator && !point && digits > 0) {
            point = true;
        } else if (number[i] >= '0' && number[i] <= '9') {
            ++digits;
        } else {
            return false;
        }
    }
    return digits > 0 && number.back() != separator;
}

class QueueSource : public FrameSource {
  public:
    std::deque<std::uint8_t> bytes;
    int discards = 0;
    bool throwOnRead = false;

    void Add(const MeterFrame& frame) { bytes.insert(bytes.end(), frame.begin(), frame.end()); }
    std::uint16_t InputCount() override { return static_cast<std::uint16_t>(bytes.size()); }
    void ReadBlock(std::uint8_t* buffer, std::uint16_t count) override {
        if (throwOnRead) throw std::runtime_error("read failed");
        for (std::uint16_t i = 0; i < count; ++i, bytes.pop_front()) buffer[i] = bytes.front();
    }
    void DiscardInput() override {
        ++discards;
        bytes.clear();
    }
};

class LogWatchdog : public Watchdog {
  public:
    std::string log;
    void Disable() override { log += 'D'; }
    void Enable() override { log += 'E'; }
};

// Runs one frame through the whole receive handler, with one byte of the next frame
// waiting so the handler takes it.
struct Panel {
    explicit Panel(std::string separator = ".") : model(std::move(separator)) {
        model.FormCreated();
    }
    const PanelTexts& Show(const MeterFrame& frame) {
        source.Add(frame);
        source.bytes.push_back(FrameHeader);
        EXPECT_TRUE(model.ReceiveTrigger(source, watchdog));
        source.bytes.clear();
        return model.Texts();
    }
    FrontPanelModel model;
    QueueSource source;
    LogWatchdog watchdog;
};

TEST(FrontPanel, InitialTextsAndFormCreated) {
    FrontPanelModel model(",");
    PanelTexts expected;
    expected.A = " ";
    expected.Label1 = "1";
    expected.Label2 = "AUTO";
    expected.Label3 = "1кГц";
    expected.Label4 = "ВКЛ";
    expected.Label5 = "MAX";
    expected.Label7 = "ПАР";
    EXPECT_EQ(model.Texts(), expected);
    model.RingIndex = 4;
    model.AveragingReset = false;
    model.FormCreated();
    expected.A = "-256";
    EXPECT_EQ(model.Texts(), expected);
    EXPECT_TRUE(model.AveragingReset);
    EXPECT_EQ(model.RingIndex, 0);
}

struct StateCase {
    std::uint8_t range, status1, status2;
    const char *label1, *label4, *label3, *label5, *label2, *la, *ld, *label7;
    bool averagingOn, resetAfter;
};

TEST(FrontPanel, ShowMeterStateFromStatusBytes) {
    const StateCase cases[] = {
        {0x05, 0x12, 0x02, "5", "ВЫКЛ", "1кГц", "1 V", "Ручной", "R", "Q", "ПАР", true, false},
        {0x01, 0x00, 0x00, "1", "ВЫКЛ", "100Гц", "1 V", "Ручной", "G", "Q", "ПАР", false, true},
        {0x08, 0xFF, 0xFF, "8", "ВКЛ", "1кГц", "0,1V", "АВП", "L", "D", "ПОСЛ", true, false},
        {0x00, 0x70, 0xFC, "0", "ВЫКЛ", "100Гц", "1 V", "Ручной", "L", "Q", "ПАР", false, true},
        {200, 0x50, 0x03, "200", "ВЫКЛ", "100Гц", "1 V", "Ручной", "C", "Q", "ПОСЛ", true, false},
        {255, 0x9D, 0xFE, "255", "ВКЛ", "100Гц", "0,1V", "АВП", "R", "D", "ПАР", true, false},
    };
    for (const auto& c : cases) {
        FrontPanelModel model(".");
        model.AveragingReset = false;
        model.Frame = MakeFrame(1, 1, c.range, c.status1, c.status2);
        model.ShowMeterState();
        const PanelTexts& t = model.Texts();
        SCOPED_TRACE(c.label1);
        EXPECT_EQ(t.Label1, c.label1);
        EXPECT_EQ(t.Label4, c.label4);
        EXPECT_EQ(t.Label3, c.label3);
        EXPECT_EQ(t.Label5, c.label5);
        EXPECT_EQ(t.Label2, c.label2);
        EXPECT_EQ(t.LA, c.la);
        EXPECT_EQ(t.LD, c.ld);
        EXPECT_EQ(t.Label7, c.label7);
        EXPECT_EQ(model.CurrentRange, c.range);
        EXPECT_EQ(model.FrequencyIs1kHz, (c.status1 & 2) != 0);
        const std::string la = c.la;
        EXPECT_EQ(model.MainIsL + model.MainIsC + model.MainIsR + model.MainIsG, 1);
        EXPECT_EQ(model.MainIsL, la == "L");
        EXPECT_EQ(model.MainIsC, la == "C");
        EXPECT_EQ(model.MainIsR, la == "R");
        EXPECT_EQ(model.AuxIsQ, std::string(c.ld) == "Q");
        EXPECT_EQ(model.AveragingOn, c.averagingOn ? 1 : 0);
        EXPECT_EQ(model.AveragingReset, c.resetAfter);
    }
}

TEST(FrontPanel, FrameExampleDecodes) {
    FrontPanelModel model(".");
    model.Frame = {0xAA, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x20, 0x82, 0x05, 0x12, 0x02};
    model.ShowMeterState();
    model.AveragingOn = 0;  // look at the plain decoded numbers
    LogWatchdog watchdog;
    model.ShowReadings(watchdog);
    EXPECT_EQ(model.FirstValue, 1.0);
    EXPECT_EQ(model.SecondValue, 10.0);
    EXPECT_EQ(watchdog.log, "E");
}

void ShowWorkedExample(FrontPanelModel& model, std::uint8_t range, bool is1kHz, double second) {
    model.CurrentRange = range;
    model.FrequencyIs1kHz = is1kHz;
    model.AveragingOn = 0;
    model.MainIsL = true;
    model.AuxIsQ = true;
    model.FirstValue = 0.1234;
    model.SecondValue = second;
    model.ShowResistanceConductance();
    model.ShowCapacitanceInductance();
    model.ShowQualityLoss();
}

TEST(FrontPanel, WorkedExampleWithEachSeparator) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {".",
         {"   123.4  Ом", "  8103.7  мкСм", "  -318.3  нФ", "   79.58  мГн", "   4.052  ",
          "   0.247  "}},
        {",",
         {"   123,4  Ом", "  8103,7  мкСм", "  -318,3  нФ", "   79,58  мГн", "   4,052  ",
          "   0,247  "}},
        // A multi-byte separator replaces the point after the padding.
        {"٫",
         {"   123٫4  Ом", "  8103٫7  мкСм", "  -318٫3  нФ", "   79٫58  мГн", "   4٫052  ",
          "   0٫247  "}},
    };
    for (const auto& [separator, fields] : cases) {
        FrontPanelModel model(separator);
        ShowWorkedExample(model, 5, true, 0.5);
        const PanelTexts& t = model.Texts();
        EXPECT_EQ((std::vector<std::string>{t.A, t.B, t.C, t.D, t.E, t.F}), fields);
        EXPECT_EQ(t.Base, t.D);
        EXPECT_EQ(t.Dop, t.E);
    }
    FrontPanelModel model(".");
    ShowWorkedExample(model, 2, false, 0.004);
    EXPECT_EQ(model.Texts().D, "Перегрузка");
    EXPECT_EQ(model.Texts().Base, "Перегрузка");
}

TEST(FrontPanel, ReadoutFormatEdges) {
    struct Case {
        double value;
        int precision;
        const char* unit;
        const char* expected;
    };
    const Case cases[] = {
        {10000.0, 1, "Ом", " 10000.0  Ом"},
        {-10000.0, 0, "", "  -10000  "},
        {10000.0001, 1, "Ом", "Перегрузка"},
        {-10000.0001, 3, "", "Перегрузка"},
        {6.8e38, 3, "", "Перегрузка"},
        {std::numeric_limits<double>::infinity(), 3, "нФ", "Перегрузка"},
        {-std::numeric_limits<double>::infinity(), 3, "нФ", "Перегрузка"},
        {std::nan(""), 3, "", "Перегрузка"},
        {9999.99995, 4, "мкСм", "9999.9999  мкСм"},  // wider than 8: never cut
        {1591.5494, 0, "пФ", "    1592  пФ"},
        {-0.0001, 3, "", "  -0.000  "},
        {0.125, 2, "", "    0.12  "},  // exact binary tie: printf's round-half-even
        {5.877471754111438e-39, 4, "", "  0.0000  "},
    };
    FrontPanelModel model(",");
    FrontPanelModel point(".");
    for (const auto& c : cases) {
        EXPECT_EQ(point.ReadoutFormat(c.value, c.precision, c.unit), c.expected) << c.value;
    }
    // Same text as printf's "%*.*f" in the C locale, apart from the separator.
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> values(-10000.0, 10000.0);
    for (int i = 0; i < 100000; ++i) {
        const double v = values(random) / static_cast<double>(1 << (i % 12));
        const int precision = i % 5;
        char reference[64];
        std::snprintf(reference, sizeof reference, "%*.*f", 8, precision, v);
        std::string expected = reference;
        if (const auto dot = expected.find('.'); dot != std::string::npos) expected[dot] = ',';
        ASSERT_EQ(model.ReadoutFormat(v, precision, "x"), expected + "  x") << v;
    }
}

struct ReadoutCase {
    const char* name;
    MeterFrame frame;
    std::vector<std::string> fields;  // A to F
    std::string base;
};

// Whole frames through the receive handler, averaging off.
TEST(FrontPanel, ReadoutOfFrames) {
    const ReadoutCase cases[] = {
        {"range 3, 1 kHz, R",
         MakeFrame(1, 1, 3, 0x12, 0),
         {"   10.00  кОм", "  100.00  мкСм", "  15.915  нФ", "  -1.592  Гн", "   1.000  ",
          "   1.000  "},
         "   10.00  кОм"},
        {"range 1, 100 Hz, C: no decimals",
         MakeFrame(1, 1, 1, 0x40, 0),
         {"   1.000  " + MOhm, "    1000  нСм", "    1592  пФ", "  -1.592  кГн", "   1.000  ",
          "   1.000  "},
         "    1592  пФ"},
        {"range 6, 1 kHz, G",
         MakeFrame(4, 1, 6, 0x02, 0),
         {"  400.00  " + OhmO, " 2500.00  мкСм", "  -1.592  мкФ", "  15.915  мГн", "   0.250  ",
          "   4.000  "},
         " 2500.00  мкСм"},
        {"range 0, 1 kHz: no unit, no multiplier",
         MakeFrame(2, 0.5, 0, 0x22, 0),
         {"   0.500  ", "   2.000  ", "   0.796  ", "  -0.318  ", "   0.250  ", "   4.000  "},
         "  -0.318  "},
        {"range 0, 100 Hz",
         MakeFrame(2, 0.5, 0, 0x20, 0),
         {"   0.500  ", "   2.000  ", "   7.958  ", "  -3.183  ", "   0.250  ", "   4.000  "},
         "  -3.183  "},
        {"range 9, 1 kHz",
         MakeFrame(2, -0.5, 9, 0x52, 0),
         {"   2.000  ", "   0.500  ", "   0.318  ", "  -0.796  ", "   0.250  ", "   4.000  "},
         "   0.318  "},
        {"range 255, 100 Hz",
         MakeFrame(2, 0.5, 255, 0x20, 0),
         {"   2.000  ", "   0.500  ", "  -3.183  ", "   7.958  ", "   0.250  ", "   4.000  "},
         "   7.958  "},
        {"range 8, 100 Hz, the two extreme numbers",
         {0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 8, 0x80, 0},
         {Overload, "  -0.000  мСм", Overload, "   0.000  мГн", "   0.000  ", Overload},
         "  -0.000  мСм"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Panel panel;
        const PanelTexts& t = panel.Show(c.frame);
        EXPECT_EQ((std::vector<std::string>{t.A, t.B, t.C, t.D, t.E, t.F}), c.fields);
        EXPECT_EQ(t.Base, c.base);
        EXPECT_EQ(t.Dop, (c.frame[10] & 0x80) ? t.F : t.E);
        EXPECT_EQ(panel.watchdog.log, "DE");
    }
}

TEST(FrontPanel, AveragingAddsOneDecimalToAToD) {
    Panel panel;
    const MeterFrame frame = MakeFrame(1, 1, 3, 0x12, 0x02);
    for (int i = 0; i < 9; ++i) panel.Show(frame);
    const PanelTexts& t = panel.Show(frame);  // from the tenth frame on the average is exact
    EXPECT_EQ(panel.model.FirstValue, 1.0);
    EXPECT_EQ((std::vector<std::string>{t.A, t.B, t.C, t.D, t.E, t.F}),
              (std::vector<std::string>{"  10.000  кОм", " 100.000  мкСм", " 15.9155  нФ",
                                        " -1.5915  Гн", "   1.000  ", "   1.000  "}));
}

// Feeds frames with averaging on (status byte 2 = 0x02) or off and returns FirstValue.
double Averaged(Panel& panel, float first, bool on = true) {
    panel.Show(MakeFrame(first, 1, 5, 0x12, on ? 0x02 : 0x00));
    return panel.model.FirstValue;
}

TEST(FrontPanel, AveragingSequences) {
    {
        Panel panel;
        for (int k = 2; k <= 11; ++k) EXPECT_EQ(Averaged(panel, 1), k / 11.0) << k;
        EXPECT_EQ(panel.model.RingIndex, 0);
        EXPECT_EQ(Averaged(panel, 1), 1.0);
    }
    {
        Panel panel;  // the first reading lands in slot 1
        Averaged(panel, 1);
        EXPECT_EQ(panel.model.FirstHistory[1], 1.0);
        EXPECT_EQ(panel.model.FirstHistory[0], 0.0);
        EXPECT_EQ(Averaged(panel, 2), 5 / 11.0);
    }
    {
        Panel panel;  // one frame with averaging off: rings cleared, index continues
        for (int i = 0; i < 3; ++i) Averaged(panel, 1);
        EXPECT_EQ(Averaged(panel, 1, false), 1.0);
        EXPECT_EQ(panel.model.FirstHistory[3], 1.0);  // kept until the next averaged frame
        EXPECT_EQ(Averaged(panel, 1), 2 / 11.0);
        EXPECT_EQ(panel.model.RingIndex, 4);
    }
    {
        Panel panel;  // the УСРЕДН key
        for (int i = 0; i < 5; ++i) Averaged(panel, 1);
        panel.model.RequestAveragingReset();
        EXPECT_EQ(Averaged(panel, 3), 6 / 11.0);
    }
}

// Readings of opposite sign that cancel exactly leave an average of zero: the reciprocal
// and the ratios have no finite value and show the overload text.
TEST(FrontPanel, ZeroAfterAveragingShowsOverload) {
    Panel panel;
    panel.Show(MakeFrame(1, 1, 3, 0x12, 0x02));
    const PanelTexts& t = panel.Show(MakeFrame(-0.5F, -0.5F, 3, 0x12, 0x02));
    EXPECT_EQ(panel.model.FirstValue, 0.0);
    EXPECT_EQ(panel.model.SecondValue, 0.0);
    EXPECT_EQ((std::vector<std::string>{t.A, t.B, t.C, t.D, t.E, t.F}),
              (std::vector<std::string>{"Перегрузка", "   0.000  мкСм", "  0.0000  нФ",
                                        "Перегрузка", "Перегрузка", "Перегрузка"}));
    EXPECT_EQ(t.Base, "Перегрузка");
    EXPECT_EQ(t.Dop, "Перегрузка");
    EXPECT_EQ(panel.watchdog.log, "DEDE");
}

TEST(FrontPanel, IntakeTakesAtMostOneFrame) {
    const MeterFrame frame = MakeFrame(1, 1, 5, 0x12, 0x00);
    struct Case {
        std::size_t waiting;
        bool taken;
        std::size_t left;
    };
    for (const Case c : {Case{12, false, 12}, Case{13, true, 1}, Case{25, true, 13}}) {
        FrontPanelModel model(".");
        QueueSource source;
        LogWatchdog watchdog;
        while (source.bytes.size() < c.waiting) source.Add(frame);
        source.bytes.resize(c.waiting);
        const PanelTexts before = model.Texts();
        EXPECT_EQ(model.ReceiveTrigger(source, watchdog), c.taken) << c.waiting;
        EXPECT_EQ(source.bytes.size(), c.left);
        EXPECT_EQ(watchdog.log, c.taken ? "DE" : "");
        EXPECT_EQ(model.Texts() == before, !c.taken);
    }
}

TEST(FrontPanel, WrongHeaderIsShownAndTheRestDiscarded) {
    FrontPanelModel model(".");
    QueueSource source;
    LogWatchdog watchdog;
    source.Add(MakeFrame(1, 1, 7, 0x12, 0x00, 0x55));
    source.bytes.insert(source.bytes.end(), 20, FrameHeader);
    EXPECT_TRUE(model.ReceiveTrigger(source, watchdog));
    EXPECT_EQ(source.discards, 1);
    EXPECT_TRUE(source.bytes.empty());
    EXPECT_EQ(model.Texts().Label1, "7");
    EXPECT_EQ(model.Texts().A, "  10.000  " + OhmO);
}

TEST(FrontPanel, SourceFailurePropagatesAndWatchdogTickTouchesOnlyDisplays) {
    Panel panel;
    const PanelTexts shown = panel.Show(MakeFrame(1, 1, 5, 0x12, 0x00));
    panel.source.Add(MakeFrame(2, 2, 6, 0x00, 0x00));
    panel.source.bytes.push_back(0);
    panel.source.throwOnRead = true;
    EXPECT_THROW(panel.model.ReceiveTrigger(panel.source, panel.watchdog), std::runtime_error);
    EXPECT_EQ(panel.model.Texts(), shown);

    panel.model.WatchdogTick();
    PanelTexts expected = shown;
    expected.Base = "Нет данных";
    expected.Dop = "разрыв связи";
    EXPECT_EQ(panel.model.Texts(), expected);
}

// Random bytes through the receive handler, one byte and one trigger at a time.
TEST(FrontPanel, RandomStreamAlwaysGivesDefinedTexts) {
    std::mt19937 random(2024);
    FrontPanelModel model(",");
    QueueSource source;
    LogWatchdog watchdog;
    int frames = 0;
    for (int i = 0; i < (3 << 20); ++i) {
        source.bytes.push_back(static_cast<std::uint8_t>(random()));
        if (!model.ReceiveTrigger(source, watchdog)) continue;
        ++frames;
        const PanelTexts& t = model.Texts();
        for (const std::string* f : {&t.A, &t.B, &t.C, &t.D, &t.E, &t.F}) {
            ASSERT_TRUE(IsFieldText(*f, ',')) << *f;
        }
        ASSERT_TRUE(t.Base == t.A || t.Base == t.B || t.Base == t.C || t.Base == t.D);
        ASSERT_EQ(t.Dop, model.AuxIsQ ? t.E : t.F);
    }
    EXPECT_GT(frames, (3 << 20) / 13 - 1000);
    EXPECT_LE(source.bytes.size(), 12U);
}

// The widest texts bound every text a control shows: with each character as wide as the
// widest of its kind (digits one width, every other character its own), no shown text is
// longer than the longest candidate with the same unit.
TEST(FrontPanel, WidestTextsBoundEveryTextShown) {
    const auto shape = [](const std::string& text) {
        std::string s;  // digits folded into one
        for (char c : text) s += std::isdigit(static_cast<unsigned char>(c)) ? '9' : c;
        return s;
    };
    const auto unitOf = [](const std::string& text) {
        const auto gap = text.rfind("  ");
        return gap == std::string::npos ? text : text.substr(gap);
    };
    Panel panel(",");
    std::map<std::pair<ReadoutControl, std::string>, std::size_t> longest;
    for (auto control :
         {ReadoutControl::A, ReadoutControl::B, ReadoutControl::C, ReadoutControl::D,
          ReadoutControl::E, ReadoutControl::F, ReadoutControl::Base, ReadoutControl::Dop}) {
        for (const std::string& text : panel.model.WidestTexts(control)) {
            auto& n = longest[{control, unitOf(text)}];
            n = std::max(n, shape(text).size());
        }
    }
    const auto check = [&](ReadoutControl control, const std::string& text) {
        const auto it = longest.find({control, unitOf(text)});
        ASSERT_NE(it, longest.end()) << text;
        EXPECT_LE(shape(text).size(), it->second) << text;
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<float> exponent(-12.0f, 12.0f);
    for (int i = 0; i < 20000; ++i) {
        const float magnitude = std::pow(10.0f, exponent(random));
        const MeterFrame frame =
            MakeFrame(random() % 2 ? magnitude : -magnitude, std::pow(10.0f, exponent(random)),
                      static_cast<std::uint8_t>(random() % 11), static_cast<std::uint8_t>(random()),
                      static_cast<std::uint8_t>(random()));
        const PanelTexts& t = panel.Show(frame);
        check(ReadoutControl::A, t.A);
        check(ReadoutControl::B, t.B);
        check(ReadoutControl::C, t.C);
        check(ReadoutControl::D, t.D);
        check(ReadoutControl::E, t.E);
        check(ReadoutControl::F, t.F);
        check(ReadoutControl::Base, t.Base);
        check(ReadoutControl::Dop, t.Dop);
    }
    panel.model.WatchdogTick();
    check(ReadoutControl::Base, panel.model.Texts().Base);
    check(ReadoutControl::Dop, panel.model.Texts().Dop);
}

}  // namespace
}  // namespace k419
