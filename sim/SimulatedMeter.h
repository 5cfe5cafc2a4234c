// The simulated K4-19: a part on the meter's terminals, the meter's settings as its status
// bytes report them, its reaction to the front-panel key codes, its ranging, and the byte
// stream it sends (with optional faults). No I/O and no clock: the k419-sim program, the
// tests and the front panel's demo mode drive it.
#pragma once

#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "meter/MeterFrame.h"

namespace k419::sim {

enum class Component { Resistor, Capacitor, Inductor };

// The quantity of the main display, as status byte 1 bits 4 to 6 select it.
enum class Quantity { L, C, R, G };

// The part under test. `loss` is fixed at 1 kHz and follows the part's physics at 100 Hz:
// - capacitor: dissipation factor D of a dielectric loss (a conductance ωCD in parallel
//   with C), the same at both frequencies;
// - inductor: dissipation factor D = Rw/(ωL) of a winding resistance Rw in series with L,
//   so D is ten times larger at 100 Hz;
// - resistor: phase tangent ωLp/R of a parasitic inductance Lp in series with R.
struct Part {
    Component component = Component::Capacitor;
    double value = 100e-9;  // ohm, farad or henry; finite and positive
    double loss = 0.0;      // finite and not negative
};

// The defaults of a part: capacitor 100 nF with D 0.001, inductor 10 mH with D 0.02,
// resistor 1 kOhm without parasitics.
Part DefaultPart(Component component);

// The meter's own settings: exactly what its status bytes report.
struct Settings {
    bool bias = false;
    bool frequencyIs1kHz = true;
    bool levelIsLow = false;  // test level 0.1 V instead of 1 V
    bool autoRange = true;
    Quantity main = Quantity::C;
    bool auxIsD = true;
    bool series = false;  // equivalent circuit
    bool averaging = false;
    std::uint8_t range = 4;  // 1 to 8; in auto-ranging the range last chosen
};

// Settings a meter would start with for this part: the main quantity of its kind, D for
// a capacitor and Q otherwise, parallel circuit except for an inductor, 1 kHz, auto-ranging.
Settings DefaultSettings(Component component);

// The angular frequency of the meter, expressed through the front panel's own constant w
// (2π/10) so that the panel's formulas invert exactly: w·10^4 at 1 kHz, w·10^3 at 100 Hz.
double AngularFrequency(bool frequencyIs1kHz);

// The part's admittance in siemens at the meter's frequency.
std::complex<double> Admittance(const Part& part, bool frequencyIs1kHz);

// The two numbers of a frame, noise-free, for `range` (1 to 8). Ranges 1 to 4 measure the
// admittance Y = G + jB and send (G, B)·10^(7 − range); ranges 5 to 8 measure the impedance
// Z = R + jX and send (R, X)·10^(range − 8). The panel then shows the parallel equivalent
// of the part in ranges 1 to 4 and the series equivalent in 5 to 8, each in its range's
// unit; for a part without loss both equal the part's value.
std::pair<double, double> RangeReading(const Part& part, std::uint8_t range, bool frequencyIs1kHz);

// The number the panel shows for quantity `q` from the frame numbers `first`, `second` in
// `range` (1 to 8), before formatting: the panel's formulas and its range multiplier.
double DisplayedNumber(Quantity q, double first, double second, std::uint8_t range,
                       bool frequencyIs1kHz);

// Significant digits the panel shows for `displayed` with `decimals` places (0.100 has 3,
// 0.000 has none).
int SignificantDigits(double displayed, int decimals);

// The range auto-ranging picks. A range fits when the main quantity's reading stays within
// the field (10000) even when `noise` moves it; a better range shows more significant
// digits, or on a tie sends smaller numbers. The equivalent circuit's ranges (parallel 1 to
// 4, series 5 to 8) come first: their best range is taken when it shows at least four
// digits, otherwise the best of all eight (a 3.3 ohm resistor in parallel would read
// 0.003 kOhm). When no range fits, the one that overloads least.
std::uint8_t ChooseRange(const Part& part, const Settings& settings, double noise);

std::uint8_t StatusByte1(const Settings& settings);
std::uint8_t StatusByte2(const Settings& settings);

// Smallest and largest magnitudes of the meter's number format.
double SmallestMeterNumber();
double LargestMeterNumber();

// Encodes any finite double, as a meter with a limited number format would send it: a
// magnitude below the format's smallest (zero included) becomes the smallest with the
// value's sign (plus for zero), one above its largest the largest.
std::array<std::uint8_t, 4> EncodeClamped(double v);

MeterFrame BuildFrame(double first, double second, std::uint8_t range, std::uint8_t status1,
                      std::uint8_t status2);

// What a key code did to the meter.
struct KeyReaction {
    bool known = false;  // false for 3, 7, 11 and bytes above 14: the meter ignores them
    std::string name;    // the key's caption, or its role for the two glyph keys
    std::string effect;  // the setting after the key, e.g. "frequency 100 Hz"
};

class SimulatedMeter {
  public:
    // `noise`: relative measurement noise at the 1 V level (uniform, ±noise of the
    // immittance's magnitude on each of the two numbers); ten times as much at 0.1 V.
    SimulatedMeter(const Part& part, const Settings& settings, double noise, std::uint64_t seed);

    // Reacts to one key code the way the meter would: the code changes the settings that
    // the following frames report. Range keys switch to manual ranging and step one range
    // (1 to 8, no wrap); turning auto-ranging on ranges again, P/S in auto-ranging moves to
    // the other circuit's ranges.
    KeyReaction PressKey(std::uint8_t code);

    // One measurement in the current settings.
    MeterFrame Measure();

    const Settings& CurrentSettings() const { return settings_; }
    const Part& CurrentPart() const { return part_; }
    // The relative noise in effect at the current test level.
    double EffectiveNoise() const;

  private:
    void Rerange();

    Part part_;
    Settings settings_;
    double noise_;
    std::mt19937_64 random_;
};

// Faults the stream can carry, every one off when its period is 0. Frames are numbered
// from 1 in the order they are sent.
struct FaultPlan {
    unsigned badHeaderEvery = 0;     // header 0x55 instead of 0xAA in frames N, 2N, ...
    unsigned badRangeEvery = 0;      // range byte `badRangeValue` in frames N, 2N, ...
    std::uint8_t badRangeValue = 0;  // 0 or 9 to 255
    unsigned garbageEvery = 0;       // `garbageBytes` random bytes after frames N, 2N, ...
    unsigned garbageBytes = 5;
    unsigned silenceAfter = 0;  // after frame N the meter falls silent for `silenceMs`
    unsigned silenceMs = 3000;
};

// The meter's byte stream: frames from a SimulatedMeter with the faults of a FaultPlan.
class FrameStream {
  public:
    FrameStream(SimulatedMeter& meter, const FaultPlan& faults, std::uint64_t seed);

    // Appends the next frame, and any garbage that follows it, to `out`; returns the
    // number of that frame.
    std::uint64_t AppendNext(std::vector<std::uint8_t>& out);

    // True when the meter falls silent after frame `frameNumber`.
    bool SilenceFollows(std::uint64_t frameNumber) const;

    std::uint64_t FramesSent() const { return framesSent_; }

  private:
    SimulatedMeter& meter_;
    FaultPlan faults_;
    std::mt19937_64 random_;
    std::uint64_t framesSent_ = 0;
};

}  // namespace k419::sim
