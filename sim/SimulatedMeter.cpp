#include "sim/SimulatedMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "meter/ReadoutTables.h"

namespace k419::sim {

namespace {

// The front panel's frequency factor, 2π/10 as a double. Using the same constant for the
// meter's ω makes the panel's formulas the exact inverse of the physics, up to the 24-bit
// mantissa of the number format.
constexpr double W = 0.6283185307179586;
constexpr double OverloadLimit = 10000.0;
// Headroom for the rounding of the number format (2^-24 relative), so that a reading
// which fits on paper does not overload on the panel.
constexpr double FormatHeadroom = 1e-6;
constexpr double LowLevelNoiseFactor = 10.0;
// Auto-ranging keeps to the equivalent circuit's ranges while they show this many digits.
constexpr int CircuitMinimumDigits = 4;

constexpr std::uint8_t FirstAdmittanceRange = 1;
constexpr std::uint8_t FirstImpedanceRange = 5;
constexpr std::uint8_t LastRange = 8;

ReadoutScale ScaleOf(Quantity q, std::uint8_t range, bool frequencyIs1kHz) {
    switch (q) {
        case Quantity::R:
            return ResistanceScale(range);
        case Quantity::G:
            return ConductanceScale(range);
        case Quantity::C:
            return CapacitanceScale(range, frequencyIs1kHz);
        case Quantity::L:
            break;
    }
    return InductanceScale(range, frequencyIs1kHz);
}

const char* QuantityName(Quantity q) {
    switch (q) {
        case Quantity::L:
            return "L";
        case Quantity::C:
            return "C";
        case Quantity::R:
            return "R";
        case Quantity::G:
            break;
    }
    return "G";
}

}  // namespace

Part DefaultPart(Component component) {
    switch (component) {
        case Component::Resistor:
            return {Component::Resistor, 1e3, 0.0};
        case Component::Inductor:
            return {Component::Inductor, 10e-3, 0.02};
        case Component::Capacitor:
            break;
    }
    return {Component::Capacitor, 100e-9, 0.001};
}

Settings DefaultSettings(Component component) {
    Settings s;
    switch (component) {
        case Component::Resistor:
            s.main = Quantity::R;
            s.auxIsD = false;
            break;
        case Component::Inductor:
            s.main = Quantity::L;
            s.auxIsD = false;
            s.series = true;
            break;
        case Component::Capacitor:
            s.main = Quantity::C;
            s.auxIsD = true;
            break;
    }
    return s;
}

double AngularFrequency(bool frequencyIs1kHz) { return W * (frequencyIs1kHz ? 1e4 : 1e3); }

std::complex<double> Admittance(const Part& part, bool frequencyIs1kHz) {
    const double omega = AngularFrequency(frequencyIs1kHz);
    const double omega1k = AngularFrequency(true);
    switch (part.component) {
        case Component::Capacitor:
            return {omega * part.value * part.loss, omega * part.value};
        case Component::Inductor: {
            const double winding = part.loss * omega1k * part.value;
            return 1.0 / std::complex<double>(winding, omega * part.value);
        }
        case Component::Resistor:
            break;
    }
    const double parasitic = part.loss * part.value / omega1k;
    return 1.0 / std::complex<double>(part.value, omega * parasitic);
}

std::pair<double, double> RangeReading(const Part& part, std::uint8_t range, bool frequencyIs1kHz) {
    const std::complex<double> y = Admittance(part, frequencyIs1kHz);
    if (range < FirstImpedanceRange) {
        const double scale = std::pow(10.0, 7 - int{range});
        return {y.real() * scale, y.imag() * scale};
    }
    const std::complex<double> z = 1.0 / y;
    const double scale = std::pow(10.0, int{range} - 8);
    return {z.real() * scale, z.imag() * scale};
}

double DisplayedNumber(Quantity q, double first, double second, std::uint8_t range,
                       bool frequencyIs1kHz) {
    const bool admittance = range < FirstImpedanceRange;
    const double frequencyFactor = frequencyIs1kHz ? 1.0 : 10.0;
    double value = 0.0;
    switch (q) {
        case Quantity::R:
            value = admittance ? 1.0 / first : first;
            break;
        case Quantity::G:
            value = admittance ? first : 1.0 / first;
            break;
        case Quantity::C:
            value = (admittance ? second / W : -1.0 / (second * W * 10)) * frequencyFactor;
            break;
        case Quantity::L:
            value = (admittance ? -1.0 / (second * W * 10) : second / W) * frequencyFactor;
            break;
    }
    return value * ScaleOf(q, range, frequencyIs1kHz).multiplier;
}

int SignificantDigits(double displayed, int decimals) {
    if (!std::isfinite(displayed)) {
        return 0;
    }
    char text[400];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::fabs(displayed));
    int digits = 0;
    bool leading = true;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            continue;
        }
        if (leading && *p == '0') {
            continue;
        }
        leading = false;
        ++digits;
    }
    return digits;
}

std::uint8_t ChooseRange(const Part& part, const Settings& settings, double noise) {
    struct Candidate {
        std::uint8_t range = 0;
        int digits = -1;
        double size = 0.0;

        bool BeatenBy(int d, double s) const { return d > digits || (d == digits && s < size); }
    };
    const double headroom = 1.0 + noise + FormatHeadroom;
    Candidate inCircuit;
    Candidate overall;
    std::uint8_t leastOverload = settings.series ? FirstImpedanceRange : FirstAdmittanceRange;
    double leastOverloadSize = std::numeric_limits<double>::infinity();
    for (std::uint8_t range = FirstAdmittanceRange; range <= LastRange; ++range) {
        // Judge the numbers as the panel receives them, after the format's rounding and
        // limits: a loss-free part's zero arrives as the smallest number, not as zero.
        const auto [rawFirst, rawSecond] = RangeReading(part, range, settings.frequencyIs1kHz);
        const auto a = EncodeClamped(rawFirst);
        const auto b = EncodeClamped(rawSecond);
        const double first = DecodeMeterNumber(a[0], a[1], a[2], a[3]);
        const double second = DecodeMeterNumber(b[0], b[1], b[2], b[3]);
        const double shown =
            DisplayedNumber(settings.main, first, second, range, settings.frequencyIs1kHz);
        const double magnitude =
            std::isfinite(shown) ? std::fabs(shown) : std::numeric_limits<double>::infinity();
        if (magnitude * headroom > OverloadLimit) {
            if (magnitude < leastOverloadSize) {
                leastOverloadSize = magnitude;
                leastOverload = range;
            }
            continue;
        }
        const int digits = SignificantDigits(
            shown, ScaleOf(settings.main, range, settings.frequencyIs1kHz).decimals);
        const double size = std::max(std::fabs(first), std::fabs(second));
        const bool circuitRange = (range >= FirstImpedanceRange) == settings.series;
        if (circuitRange && inCircuit.BeatenBy(digits, size)) {
            inCircuit = {range, digits, size};
        }
        if (overall.BeatenBy(digits, size)) {
            overall = {range, digits, size};
        }
    }
    if (inCircuit.range != 0 && inCircuit.digits >= CircuitMinimumDigits) {
        return inCircuit.range;
    }
    return overall.range != 0 ? overall.range : leastOverload;
}

std::uint8_t StatusByte1(const Settings& s) {
    std::uint8_t b = 0;
    b |= s.bias ? 0x01 : 0x00;
    b |= s.frequencyIs1kHz ? 0x02 : 0x00;
    b |= s.levelIsLow ? 0x04 : 0x00;
    b |= s.autoRange ? 0x08 : 0x00;
    switch (s.main) {
        case Quantity::R:
            b |= 0x10;
            break;
        case Quantity::L:
            b |= 0x20;
            break;
        case Quantity::C:
            b |= 0x40;
            break;
        case Quantity::G:
            break;
    }
    b |= s.auxIsD ? 0x80 : 0x00;
    return b;
}

std::uint8_t StatusByte2(const Settings& s) {
    return static_cast<std::uint8_t>((s.series ? 0x01 : 0x00) | (s.averaging ? 0x02 : 0x00));
}

double SmallestMeterNumber() { return std::ldexp(1.0, -127); }

double LargestMeterNumber() { return std::ldexp(16777215.0, 105); }

std::array<std::uint8_t, 4> EncodeClamped(double v) {
    if (std::isnan(v) || v == 0.0) {
        v = SmallestMeterNumber();
    }
    if (const auto bytes = EncodeMeterNumber(v)) {
        return *bytes;
    }
    // Out of range (infinities included): the nearer end of the format.
    const double end = std::fabs(v) > 1.0 ? LargestMeterNumber() : SmallestMeterNumber();
    return *EncodeMeterNumber(std::copysign(end, v));
}

MeterFrame BuildFrame(double first, double second, std::uint8_t range, std::uint8_t status1,
                      std::uint8_t status2) {
    MeterFrame frame{};
    frame[0] = FrameHeader;
    const auto a = EncodeClamped(first);
    const auto b = EncodeClamped(second);
    std::copy(a.begin(), a.end(), frame.begin() + 1);
    std::copy(b.begin(), b.end(), frame.begin() + 5);
    frame[9] = range;
    frame[10] = status1;
    frame[11] = status2;
    return frame;
}

SimulatedMeter::SimulatedMeter(const Part& part, const Settings& settings, double noise,
                               std::uint64_t seed)
    : part_(part), settings_(settings), noise_(noise), random_(seed) {
    if (!std::isfinite(part.value) || part.value <= 0.0) {
        throw std::invalid_argument("the part's value must be finite and positive");
    }
    if (!std::isfinite(part.loss) || part.loss < 0.0) {
        throw std::invalid_argument("the loss must be finite and not negative");
    }
    if (!std::isfinite(noise) || noise < 0.0) {
        throw std::invalid_argument("the noise must be finite and not negative");
    }
    settings_.range = std::clamp<std::uint8_t>(settings_.range, 1, LastRange);
    if (settings_.autoRange) {
        Rerange();
    }
}

double SimulatedMeter::EffectiveNoise() const {
    return settings_.levelIsLow ? noise_ * LowLevelNoiseFactor : noise_;
}

void SimulatedMeter::Rerange() {
    settings_.range = ChooseRange(part_, settings_, EffectiveNoise());
}

KeyReaction SimulatedMeter::PressKey(std::uint8_t code) {
    KeyReaction r;
    const KeyDef* key = FindKey(code);
    if (key == nullptr) {
        return r;
    }
    r.known = true;
    r.name = std::string(key->caption);
    Settings& s = settings_;
    switch (key->code) {
        case KeyCode::L:
            s.main = Quantity::L;
            break;
        case KeyCode::C:
            s.main = Quantity::C;
            break;
        case KeyCode::RG:
            s.main = s.main == Quantity::R ? Quantity::G : Quantity::R;
            break;
        case KeyCode::DQ:
            s.auxIsD = !s.auxIsD;
            r.effect = s.auxIsD ? "auxiliary D" : "auxiliary Q";
            break;
        case KeyCode::PS:
            s.series = !s.series;
            r.effect = s.series ? "circuit series" : "circuit parallel";
            break;
        case KeyCode::Frequency:
            s.frequencyIs1kHz = !s.frequencyIs1kHz;
            r.effect = s.frequencyIs1kHz ? "frequency 1 kHz" : "frequency 100 Hz";
            break;
        case KeyCode::Level:
            s.levelIsLow = !s.levelIsLow;
            r.effect = s.levelIsLow ? "level 0.1 V" : "level 1 V";
            break;
        case KeyCode::Bias:
            s.bias = !s.bias;
            r.effect = s.bias ? "bias on" : "bias off";
            break;
        case KeyCode::Averaging:
            s.averaging = !s.averaging;
            r.effect = s.averaging ? "averaging on" : "averaging off";
            break;
        case KeyCode::AutoRange:
            s.autoRange = !s.autoRange;
            break;
        case KeyCode::RangeUp:
            r.name = "range up";
            s.autoRange = false;
            s.range = static_cast<std::uint8_t>(std::min<int>(s.range + 1, LastRange));
            break;
        case KeyCode::RangeDown:
            r.name = "range down";
            s.autoRange = false;
            s.range = static_cast<std::uint8_t>(std::max<int>(s.range - 1, 1));
            break;
    }
    if (s.autoRange) {
        Rerange();
    }
    switch (key->code) {
        case KeyCode::L:
        case KeyCode::C:
        case KeyCode::RG:
            r.effect = std::string("main ") + QuantityName(s.main);
            break;
        case KeyCode::AutoRange:
        case KeyCode::RangeUp:
        case KeyCode::RangeDown:
            r.effect = std::string(s.autoRange ? "auto-ranging" : "manual ranging");
            break;
        default:
            break;
    }
    r.effect += ", range " + std::to_string(s.range);
    return r;
}

MeterFrame SimulatedMeter::Measure() {
    auto [first, second] = RangeReading(part_, settings_.range, settings_.frequencyIs1kHz);
    const double noise = EffectiveNoise();
    if (noise > 0.0) {
        // Noise of the measuring bridge: proportional to the size of the whole reading,
        // so a loss-free part still shows a small, flickering loss figure.
        const double spread = noise * std::hypot(first, second);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        first += spread * u(random_);
        second += spread * u(random_);
    }
    return BuildFrame(first, second, settings_.range, StatusByte1(settings_),
                      StatusByte2(settings_));
}

FrameStream::FrameStream(SimulatedMeter& meter, const FaultPlan& faults, std::uint64_t seed)
    : meter_(meter), faults_(faults), random_(seed) {}

std::uint64_t FrameStream::AppendNext(std::vector<std::uint8_t>& out) {
    MeterFrame frame = meter_.Measure();
    const std::uint64_t n = ++framesSent_;
    if (faults_.badHeaderEvery != 0 && n % faults_.badHeaderEvery == 0) {
        frame[0] = 0x55;
    }
    if (faults_.badRangeEvery != 0 && n % faults_.badRangeEvery == 0) {
        frame[9] = faults_.badRangeValue;
    }
    out.insert(out.end(), frame.begin(), frame.end());
    if (faults_.garbageEvery != 0 && n % faults_.garbageEvery == 0) {
        std::uniform_int_distribution<int> byte(0, 255);
        for (unsigned i = 0; i < faults_.garbageBytes; ++i) {
            out.push_back(static_cast<std::uint8_t>(byte(random_)));
        }
    }
    return n;
}

bool FrameStream::SilenceFollows(std::uint64_t frameNumber) const {
    return faults_.silenceAfter != 0 && frameNumber == faults_.silenceAfter;
}

}  // namespace k419::sim
