// The simulated meter against the front panel model: what the simulator sends must make
// the panel show the simulated part's value in every range, and the meter must react to
// its keys and inject its faults as documented.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "meter/FrontPanel.h"
#include "sim/SimulatedMeter.h"

namespace k419::sim {
namespace {

class NullWatchdog final : public Watchdog {
  public:
    void Disable() override {}
    void Enable() override {}
};

// A field's number in SI units and its resolution, or nothing when it overloads.
struct Reading {
    double value;
    double resolution;
};

std::optional<Reading> ParseField(const std::string& text) {
    static const std::map<std::string, double> Units = {
        {"", 1.0},
        {"M"
         "Ом",
         1e6},
        {"кОм", 1e3},
        {"Ом", 1.0},
        {"O"
         "м",
         1.0},
        {"нСм", 1e-9},
        {"мкСм", 1e-6},
        {"мСм", 1e-3},
        {"пФ", 1e-12},
        {"нФ", 1e-9},
        {"мкФ", 1e-6},
        {"мФ", 1e-3},
        {"кГн", 1e3},
        {"Гн", 1.0},
        {"мГн", 1e-3},
        {"мкГн", 1e-6},
    };
    if (text == OverloadText) {
        return std::nullopt;
    }
    const std::size_t gap = text.rfind("  ");
    EXPECT_NE(gap, std::string::npos) << text;
    const std::string number = text.substr(0, gap);
    const std::string unit = text.substr(gap + 2);
    const auto scale = Units.find(unit);
    EXPECT_NE(scale, Units.end()) << "unit of " << text;
    if (scale == Units.end()) {
        return std::nullopt;
    }
    const std::size_t point = number.find('.');
    const int decimals =
        point == std::string::npos ? 0 : static_cast<int>(number.size() - point - 1);
    return Reading{std::stod(number) * scale->second, std::pow(10.0, -decimals) * scale->second};
}

PanelTexts Show(const MeterFrame& frame) {
    FrontPanelModel panel(".");
    NullWatchdog watchdog;
    panel.Frame = frame;
    panel.ShowMeterState();
    panel.ShowReadings(watchdog);
    return panel.Texts();
}

const std::string& Field(const PanelTexts& t, char field) {
    switch (field) {
        case 'A':
            return t.A;
        case 'B':
            return t.B;
        case 'C':
            return t.C;
        case 'D':
            return t.D;
        case 'E':
            return t.E;
        default:
            return t.F;
    }
}

MeterFrame ExactFrame(const Part& part, std::uint8_t range, bool frequencyIs1kHz) {
    const auto [first, second] = RangeReading(part, range, frequencyIs1kHz);
    return BuildFrame(first, second, range, frequencyIs1kHz ? 0x02 : 0x00, 0x00);
}

struct InversionCase {
    const char* name;
    Part part;
    bool frequencyIs1kHz;
    char field;
    double parallel;  // what the field must show in ranges 1-4
    double series;    // and in ranges 5-8
};

void PrintTo(const InversionCase& c, std::ostream* os) { *os << c.name; }

class PanelShowsThePart : public ::testing::TestWithParam<InversionCase> {};

// Every range, fed through the panel's own readout: each field that does not overload
// shows the expected value to within its last digit (plus the number format's rounding).
TEST_P(PanelShowsThePart, InEveryRangeThatFits) {
    const InversionCase& c = GetParam();
    int checked = 0;
    for (std::uint8_t range = 1; range <= 8; ++range) {
        const std::string text = Field(Show(ExactFrame(c.part, range, c.frequencyIs1kHz)), c.field);
        const std::optional<Reading> shown = ParseField(text);
        if (!shown) {
            continue;
        }
        const double expected = range < 5 ? c.parallel : c.series;
        EXPECT_NEAR(shown->value, expected, shown->resolution / 2 + 1e-6 * std::fabs(expected))
            << c.name << ", range " << int{range} << ": \"" << text << "\"";
        ++checked;
    }
    EXPECT_GE(checked, 2) << c.name << ": too few ranges show the field";
}

constexpr double Omega1k = 0.6283185307179586e4;

INSTANTIATE_TEST_SUITE_P(
    Sim, PanelShowsThePart,
    ::testing::Values(
        InversionCase{"1 kOhm", {Component::Resistor, 1e3, 0}, true, 'A', 1e3, 1e3},
        InversionCase{"1 kOhm conductance", {Component::Resistor, 1e3, 0}, true, 'B', 1e-3, 1e-3},
        InversionCase{"47 Ohm at 100 Hz", {Component::Resistor, 47, 0}, false, 'A', 47, 47},
        InversionCase{"2.2 MOhm", {Component::Resistor, 2.2e6, 0}, true, 'A', 2.2e6, 2.2e6},
        InversionCase{"100 nF", {Component::Capacitor, 100e-9, 0}, true, 'C', 100e-9, 100e-9},
        InversionCase{
            "4.7 uF at 100 Hz", {Component::Capacitor, 4.7e-6, 0}, false, 'C', 4.7e-6, 4.7e-6},
        InversionCase{"22 pF", {Component::Capacitor, 22e-12, 0}, true, 'C', 22e-12, 22e-12},
        InversionCase{"10 mH", {Component::Inductor, 10e-3, 0}, true, 'D', 10e-3, 10e-3},
        InversionCase{"1 H at 100 Hz", {Component::Inductor, 1.0, 0}, false, 'D', 1.0, 1.0},
        InversionCase{"100 uH", {Component::Inductor, 100e-6, 0}, true, 'D', 100e-6, 100e-6},
        // Lossy parts: the panel shows the parallel equivalent in ranges 1-4 and the series
        // one in 5-8, and the same loss factor in both.
        InversionCase{
            "100 nF, D 0.2", {Component::Capacitor, 100e-9, 0.2}, true, 'C', 100e-9, 104e-9},
        InversionCase{"100 nF, D 0.2: D", {Component::Capacitor, 100e-9, 0.2}, true, 'F', 0.2, 0.2},
        InversionCase{"100 nF, D 0.2 at 100 Hz: D",
                      {Component::Capacitor, 100e-9, 0.2},
                      false,
                      'F',
                      0.2,
                      0.2},
        InversionCase{"100 nF, D 0.2: Rp",
                      {Component::Capacitor, 100e-9, 0.2},
                      true,
                      'A',
                      1 / (Omega1k * 100e-9 * 0.2),
                      0.2 / (Omega1k * 104e-9)},
        InversionCase{"10 mH, D 0.2", {Component::Inductor, 10e-3, 0.2}, true, 'D', 10.4e-3, 10e-3},
        InversionCase{"10 mH, D 0.2: Rs",
                      {Component::Inductor, 10e-3, 0.2},
                      true,
                      'A',
                      0.2 * Omega1k * 10e-3 * 26,
                      0.2 * Omega1k * 10e-3},
        // The winding resistance stays, so D grows tenfold at 100 Hz: Lp = L (1 + D^2).
        InversionCase{
            "10 mH, D 0.2 at 100 Hz", {Component::Inductor, 10e-3, 0.2}, false, 'D', 50e-3, 10e-3},
        InversionCase{
            "10 mH, D 0.2 at 100 Hz: D", {Component::Inductor, 10e-3, 0.2}, false, 'F', 2.0, 2.0},
        InversionCase{"1 kOhm, Q 0.05", {Component::Resistor, 1e3, 0.05}, true, 'A', 1002.5, 1e3},
        InversionCase{"1 kOhm, Q 0.05: Q", {Component::Resistor, 1e3, 0.05}, true, 'E', 0.05, 0.05},
        InversionCase{"1 kOhm, Q 0.05 at 100 Hz: Q",
                      {Component::Resistor, 1e3, 0.05},
                      false,
                      'E',
                      0.005,
                      0.005}));

struct RangingCase {
    const char* name;
    Part part;
    bool frequencyIs1kHz;
    bool series;
    Quantity main;
    std::uint8_t range;
};

void PrintTo(const RangingCase& c, std::ostream* os) { *os << c.name; }

class AutoRanging : public ::testing::TestWithParam<RangingCase> {};

TEST_P(AutoRanging, PicksTheRangeWithTheMostDigits) {
    const RangingCase& c = GetParam();
    Settings s;
    s.frequencyIs1kHz = c.frequencyIs1kHz;
    s.series = c.series;
    s.main = c.main;
    EXPECT_EQ(ChooseRange(c.part, s, 0.0), c.range) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, AutoRanging,
    ::testing::Values(
        // 100.000 nF in range 3 beats 100.00 in 4 and 100.0 in 5.
        RangingCase{
            "100 nF parallel", {Component::Capacitor, 100e-9, 0}, true, false, Quantity::C, 3},
        RangingCase{"100 nF series", {Component::Capacitor, 100e-9, 0}, true, true, Quantity::C, 5},
        RangingCase{
            "100 nF at 100 Hz", {Component::Capacitor, 100e-9, 0}, false, false, Quantity::C, 2},
        // The main quantity decides: Rp = 1.59 MOhm reads 1591.549 kOhm in range 4.
        RangingCase{
            "100 nF, main R", {Component::Capacitor, 100e-9, 0.001}, true, false, Quantity::R, 4},
        RangingCase{"1 kOhm parallel", {Component::Resistor, 1e3, 0}, true, false, Quantity::R, 4},
        // 1000.000 in ranges 7 and 8: the tie goes to the smaller frame numbers.
        RangingCase{"1 kOhm series", {Component::Resistor, 1e3, 0}, true, true, Quantity::R, 7},
        // 10000.0 uH in range 7 would sit on the overload limit.
        RangingCase{"10 mH series", {Component::Inductor, 10e-3, 0}, true, true, Quantity::L, 6},
        // Too few digits in the circuit's ranges: 0.003 kOhm in range 4, 3.300 Ohm in 7.
        RangingCase{"3.3 Ohm parallel", {Component::Resistor, 3.3, 0}, true, false, Quantity::R, 7},
        RangingCase{"10 mH parallel", {Component::Inductor, 10e-3, 0}, true, false, Quantity::L, 6},
        // Nothing fits: the range that overloads least.
        RangingCase{
            "20 GOhm parallel", {Component::Resistor, 20e9, 0}, true, false, Quantity::R, 1}));

TEST(AutoRanging, TheChosenRangeShowsTheMainQuantity) {
    const Part parts[] = {{Component::Resistor, 3.3, 0},       {Component::Resistor, 68e3, 0},
                          {Component::Capacitor, 1e-6, 0.01},  {Component::Capacitor, 470e-12, 0},
                          {Component::Inductor, 220e-6, 0.05}, {Component::Inductor, 2.5, 0.01}};
    for (const Part& part : parts) {
        for (const bool oneKilohertz : {true, false}) {
            Settings s = DefaultSettings(part.component);
            s.frequencyIs1kHz = oneKilohertz;
            SimulatedMeter meter(part, s, 0.0, 1);
            const PanelTexts t = Show(meter.Measure());
            EXPECT_NE(t.Base, OverloadText) << part.value << (oneKilohertz ? " 1 kHz" : " 100 Hz");
            const std::optional<Reading> shown = ParseField(t.Base);
            ASSERT_TRUE(shown.has_value());
            // Three significant digits at least (470 pF at 100 Hz reads "470").
            EXPECT_LE(shown->resolution, std::fabs(shown->value) * 1e-2)
                << part.value << ": \"" << t.Base << "\"";
        }
    }
}

struct KeyCase {
    const char* name;
    std::vector<std::uint8_t> keys;
    std::uint8_t status1;
    std::uint8_t status2;
    std::uint8_t range;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class MeterKeys : public ::testing::TestWithParam<KeyCase> {};

// From a 100 nF capacitor's defaults: 1 kHz, auto-ranging, main C, D, parallel, range 3,
// which is status byte 1 0xCA and status byte 2 0x00.
TEST_P(MeterKeys, ChangeTheStatusOfTheFollowingFrames) {
    const KeyCase& c = GetParam();
    SimulatedMeter meter({Component::Capacitor, 100e-9, 0}, DefaultSettings(Component::Capacitor),
                         0.0, 1);
    for (const std::uint8_t key : c.keys) {
        meter.PressKey(key);
    }
    const MeterFrame f = meter.Measure();
    EXPECT_EQ(f[10], c.status1) << c.name;
    EXPECT_EQ(f[11], c.status2) << c.name;
    EXPECT_EQ(f[9], c.range) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, MeterKeys,
    ::testing::Values(
        KeyCase{"no key", {}, 0xCA, 0x00, 3}, KeyCase{"L", {0}, 0xAA, 0x00, 4},
        KeyCase{"C after L", {0, 1}, 0xCA, 0x00, 3},
        // R/G: C -> R -> G -> R. A loss-free capacitor's Rp overloads every
        // parallel range, its Rs of zero fits every series range.
        KeyCase{"R/G once", {2}, 0x9A, 0x00, 5}, KeyCase{"R/G twice", {2, 2}, 0x8A, 0x00, 4},
        KeyCase{"R/G thrice", {2, 2, 2}, 0x9A, 0x00, 5}, KeyCase{"D/Q", {4}, 0x4A, 0x00, 3},
        KeyCase{"D/Q twice", {4, 4}, 0xCA, 0x00, 3},
        KeyCase{"P/S moves to the series ranges", {5}, 0xCA, 0x01, 5},
        KeyCase{"F", {6}, 0xC8, 0x00, 2}, KeyCase{"F twice", {6, 6}, 0xCA, 0x00, 3},
        KeyCase{"level", {8}, 0xCE, 0x00, 3}, KeyCase{"bias", {9}, 0xCB, 0x00, 3},
        KeyCase{"averaging", {10}, 0xCA, 0x02, 3},
        KeyCase{"auto-ranging off keeps the range", {12}, 0xC2, 0x00, 3},
        KeyCase{"range up", {13}, 0xC2, 0x00, 4}, KeyCase{"range down", {14}, 0xC2, 0x00, 2},
        KeyCase{"range up stops at 8", {13, 13, 13, 13, 13, 13}, 0xC2, 0x00, 8},
        KeyCase{"range down stops at 1", {14, 14, 14}, 0xC2, 0x00, 1},
        KeyCase{"auto-ranging back on ranges again", {13, 13, 12}, 0xCA, 0x00, 3},
        KeyCase{"F in manual ranging keeps the range", {12, 6}, 0xC0, 0x00, 3},
        KeyCase{"ignored codes", {3, 7, 11, 15, 0x55, 0xAA, 0xFF}, 0xCA, 0x00, 3}));

TEST(MeterKeys, ReportWhichBytesTheyIgnore) {
    SimulatedMeter meter({Component::Capacitor, 100e-9, 0}, DefaultSettings(Component::Capacitor),
                         0.0, 1);
    for (int code = 0; code <= 255; ++code) {
        const bool isKey = code <= 14 && code != 3 && code != 7 && code != 11;
        const KeyReaction r = meter.PressKey(static_cast<std::uint8_t>(code));
        EXPECT_EQ(r.known, isKey) << code;
        EXPECT_EQ(r.effect.empty(), !isKey) << code;
    }
}

TEST(EncodeClamped, CarriesEveryDoubleToTheNearestEndOfTheFormat) {
    const double inf = std::numeric_limits<double>::infinity();
    const double smallest = SmallestMeterNumber();
    const double largest = LargestMeterNumber();
    const std::pair<double, double> cases[] = {
        {0.0, smallest},          {-0.0, smallest},   {1e-300, smallest}, {-1e-300, -smallest},
        {1e300, largest},         {-1e300, -largest}, {inf, largest},     {-inf, -largest},
        {std::nan(""), smallest}, {12.5, 12.5},       {-0.375, -0.375},
    };
    for (const auto& [in, out] : cases) {
        const auto b = EncodeClamped(in);
        EXPECT_EQ(DecodeMeterNumber(b[0], b[1], b[2], b[3]), out) << in;
    }
}

TEST(MeterNoise, StaysWithinItsBoundsAndRepeatsWithTheSeed) {
    const Part part{Component::Capacitor, 100e-9, 0};
    const double noise = 1e-3;
    SimulatedMeter meter(part, DefaultSettings(part.component), noise, 7);
    SimulatedMeter twin(part, DefaultSettings(part.component), noise, 7);
    SimulatedMeter other(part, DefaultSettings(part.component), noise, 8);
    double low = 1.0;
    double high = 0.0;
    bool differs = false;
    for (int i = 0; i < 200; ++i) {
        const MeterFrame f = meter.Measure();
        EXPECT_EQ(f, twin.Measure());
        differs = differs || f != other.Measure();
        const auto [first, second] = RangeReading(part, f[9], true);
        const double shown = DecodeMeterNumber(f[5], f[6], f[7], f[8]) / second;
        low = std::min(low, shown);
        high = std::max(high, shown);
    }
    EXPECT_TRUE(differs);
    EXPECT_GE(low, 1 - noise * 1.0001);
    EXPECT_LE(high, 1 + noise * 1.0001);
    EXPECT_LT(low, 1 - noise / 2);  // it does move
    EXPECT_GT(high, 1 + noise / 2);

    SimulatedMeter quiet(part, DefaultSettings(part.component), 0.0, 7);
    EXPECT_EQ(quiet.Measure(), quiet.Measure());
    meter.PressKey(static_cast<std::uint8_t>(KeyCode::Level));
    EXPECT_DOUBLE_EQ(meter.EffectiveNoise(), 10 * noise);
}

TEST(SimulatedMeter, RejectsAnImpossiblePart) {
    const Settings s = DefaultSettings(Component::Resistor);
    const double nan = std::nan("");
    const Part bad[] = {{Component::Resistor, 0, 0},
                        {Component::Resistor, -1, 0},
                        {Component::Resistor, nan, 0},
                        {Component::Resistor, 1, -0.1},
                        {Component::Resistor, 1, nan}};
    for (const Part& p : bad) {
        EXPECT_THROW(SimulatedMeter(p, s, 0.0, 1), std::invalid_argument) << p.value << p.loss;
    }
    EXPECT_THROW(SimulatedMeter({Component::Resistor, 1, 0}, s, -1.0, 1), std::invalid_argument);
}

struct FaultCase {
    const char* name;
    FaultPlan plan;
    std::vector<std::size_t> badHeaders;  // frame numbers
    std::vector<std::size_t> badRanges;
    std::vector<std::size_t> garbageAfter;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class StreamFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(StreamFaults, LandWhereThePlanSays) {
    const FaultCase& c = GetParam();
    SimulatedMeter meter({Component::Resistor, 1e3, 0}, DefaultSettings(Component::Resistor), 0.0,
                         1);
    FrameStream stream(meter, c.plan, 3);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 6; ++i) {
        stream.AppendNext(bytes);
    }
    const auto listed = [](const std::vector<std::size_t>& list, std::size_t n) {
        return std::find(list.begin(), list.end(), n) != list.end();
    };
    std::size_t at = 0;
    for (std::size_t n = 1; n <= 6; ++n) {
        ASSERT_LE(at + 12, bytes.size()) << c.name;
        EXPECT_EQ(bytes[at], listed(c.badHeaders, n) ? 0x55 : 0xAA) << c.name << " frame " << n;
        EXPECT_EQ(bytes[at + 9],
                  listed(c.badRanges, n) ? c.plan.badRangeValue : meter.CurrentSettings().range)
            << c.name << " frame " << n;
        at += 12 + (listed(c.garbageAfter, n) ? c.plan.garbageBytes : 0);
    }
    EXPECT_EQ(at, bytes.size()) << c.name;
    EXPECT_EQ(stream.FramesSent(), 6u);
}

FaultPlan Plan(unsigned header, unsigned range, std::uint8_t rangeValue, unsigned garbage,
               unsigned garbageBytes) {
    FaultPlan p;
    p.badHeaderEvery = header;
    p.badRangeEvery = range;
    p.badRangeValue = rangeValue;
    p.garbageEvery = garbage;
    p.garbageBytes = garbageBytes;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, StreamFaults,
    ::testing::Values(
        FaultCase{"none", Plan(0, 0, 0, 0, 5), {}, {}, {}},
        FaultCase{"header every 3rd", Plan(3, 0, 0, 0, 5), {3, 6}, {}, {}},
        FaultCase{"range 0 every 2nd", Plan(0, 2, 0, 0, 5), {}, {2, 4, 6}, {}},
        FaultCase{"range 200 every 5th", Plan(0, 5, 200, 0, 5), {}, {5}, {}},
        FaultCase{"garbage every 4th", Plan(0, 0, 0, 4, 7), {}, {}, {4}},
        FaultCase{"all at once", Plan(1, 2, 9, 3, 1), {1, 2, 3, 4, 5, 6}, {2, 4, 6}, {3, 6}}));

TEST(StreamFaults, SilenceFollowsOnlyItsFrame) {
    SimulatedMeter meter({Component::Resistor, 1e3, 0}, DefaultSettings(Component::Resistor), 0.0,
                         1);
    FaultPlan plan;
    plan.silenceAfter = 4;
    FrameStream stream(meter, plan, 1);
    for (std::uint64_t n = 1; n <= 8; ++n) {
        EXPECT_EQ(stream.SilenceFollows(n), n == 4) << n;
    }
    FrameStream never(meter, FaultPlan{}, 1);
    EXPECT_FALSE(never.SilenceFollows(0));
    EXPECT_FALSE(never.SilenceFollows(1));
}

}  // namespace
}  // namespace k419::sim
