// The front panel model: owns the state of the meter display (state flags, the two values,
// the averaging rings) and the texts of every control the readout and the state display
// write. The window copies these texts and forwards clicks and ticks; nothing here knows
// about a toolkit or a serial port.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "meter/MeterFrame.h"

namespace k419 {

// Where the receive handler takes its bytes from (the serial component in the program,
// a byte queue in the decoder and the tests). Operations may throw; an exception ends the
// receive handler at that point, as the window's failure rule says.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual std::uint16_t InputCount() = 0;
    // Removes exactly `count` bytes in arrival order; called only with enough waiting.
    virtual void ReadBlock(std::uint8_t* buffer, std::uint16_t count) = 0;
    virtual void DiscardInput() = 0;
};

// The 2000 ms watchdog timer as the receive handler sees it.
class Watchdog {
  public:
    virtual ~Watchdog() = default;
    virtual void Disable() = 0;
    // Enabling an enabled timer does not restart its period.
    virtual void Enable() = 0;
};

// Texts of the panel's controls, UTF-8.
struct PanelTexts {
    std::string LA, LD, Base, Dop;
    std::string A, B, C, D, E, F;
    std::string Label1, Label2, Label3, Label4, Label5, Label7;

    bool operator==(const PanelTexts&) const = default;
};

// "Перегрузка": the whole text of a field whose scaled value exceeds 10000 in magnitude.
extern const char* const OverloadText;
// Watchdog texts for Base and Dop.
extern const char* const NoDataText;    // "Нет данных"
extern const char* const LinkLostText;  // "разрыв связи"

// One readout field's value for the last frame, as the readout computed it before formatting.
struct FieldValue {
    double scaled = 0.0;    // the number the field shows (times its range's multiplier), unrounded
    int decimals = 0;       // digits the field shows after the separator
    std::string_view unit;  // the field's unit label; empty for E and F and outside ranges 1-8
    bool overload = false;  // the field shows OverloadText

    bool operator==(const FieldValue&) const = default;
};

// The six fields' values of the last frame shown.
struct ReadoutValues {
    FieldValue A, B, C, D, E, F;

    bool operator==(const ReadoutValues&) const = default;
};

// The controls that show readings: the six readout fields and the two displays.
enum class ReadoutControl { A, B, C, D, E, F, Base, Dop };

class FrontPanelModel {
  public:
    // `decimalSeparator`: the locale's separator, UTF-8 (a comma on a Russian system).
    explicit FrontPanelModel(std::string decimalSeparator);

    // --- Receive handler (steps 1-6), for every trigger event whatever its kind.
    // Takes at most one frame: returns true when a frame was taken and shown.
    bool ReceiveTrigger(FrameSource& source, Watchdog& watchdog);

    // --- Pieces of the frame's processing, in the order ReceiveTrigger runs them.
    void ShowMeterState();
    void ShowReadings(Watchdog& watchdog);
    void ShowResistanceConductance();
    void ShowCapacitanceInductance();
    void ShowQualityLoss();
    void AverageReadings();

    // --- Window events.
    // FormCreate steps 5-6, after the port opened: A := "-256", reset request, RingIndex 0.
    void FormCreated();
    // After the УСРЕДН key's code was sent.
    void RequestAveragingReset() { AveragingReset = true; }
    // Watchdog tick: Base and Dop only.
    void WatchdogTick();

    const PanelTexts& Texts() const { return texts_; }
    // The numbers behind fields A to F for the last frame shown (zeros before the first).
    const ReadoutValues& Values() const { return values_; }
    const std::string& DecimalSeparator() const { return decimalSeparator_; }

    // Formats `value` the way fields A-F show it ("%*.*f", width 8, the injected
    // separator), then two spaces and `unit`; OverloadText above 10000 in magnitude and
    // for a value with no finite magnitude (a reciprocal or ratio of an average that
    // cancelled to exactly zero), so a field never shows "inf" or "nan".
    std::string ReadoutFormat(double value, int precision, std::string_view unit) const;

    // Texts at least as wide as any text `control` can ever show: for every unit and
    // precision the control can carry (all ranges, both frequencies, averaging on and off),
    // the limit 10000 and four integer digits of each digit, negative where the quantity can
    // be, formatted as the readout formats them; "Перегрузка"; and for Base and Dop the
    // watchdog's text. In a font whose digits are equally wide (tabular figures) the widest
    // of them is the widest text the control shows.
    std::vector<std::string> WidestTexts(ReadoutControl control) const;

    // State, public for the tests and the window; written only by the operations above.
    MeterFrame Frame{};
    std::uint8_t CurrentRange = 0;
    bool FrequencyIs1kHz = false;
    bool MainIsL = false, MainIsC = false, MainIsR = false, MainIsG = false;
    bool AuxIsQ = false;
    std::uint8_t AveragingOn = 0;
    bool AveragingReset = true;
    double FirstValue = 0.0;
    double SecondValue = 0.0;
    std::array<double, 10> FirstHistory{};
    std::array<double, 10> SecondHistory{};
    std::uint8_t RingIndex = 0;

  private:
    // Formats a field's value and keeps what it formatted.
    std::string ShowField(FieldValue& field, double scaled, int decimals, std::string_view unit);

    std::string decimalSeparator_;
    PanelTexts texts_;
    ReadoutValues values_;
};

}  // namespace k419
