#include "meter/FrontPanel.h"

#include <charconv>
#include <cmath>
#include <set>
#include <utility>

#include "meter/ReadoutTables.h"

namespace k419 {

const char* const OverloadText = "Перегрузка";
const char* const NoDataText = "Нет данных";
const char* const LinkLostText = "разрыв связи";

namespace {

// 2 pi / 10: the meter's numbers are reactances scaled for 1 kHz.
constexpr double W = 0.6283185307179586;
constexpr double OverloadLimit = 10000.0;
constexpr int FieldWidth = 8;
constexpr int RatioDecimals = 3;

}  // namespace

FrontPanelModel::FrontPanelModel(std::string decimalSeparator)
    : decimalSeparator_(std::move(decimalSeparator)) {
    // The design captions of the window's form, shown until the first frame.
    texts_.A = " ";
    texts_.Label1 = "1";
    texts_.Label2 = "AUTO";
    texts_.Label3 = "1кГц";
    texts_.Label4 = "ВКЛ";
    texts_.Label5 = "MAX";
    texts_.Label7 = "ПАР";
}

bool FrontPanelModel::ReceiveTrigger(FrameSource& source, Watchdog& watchdog) {
    // One byte more than a frame must be waiting, so a frame is taken only once the first
    // byte after it has arrived.
    if (source.InputCount() <= FrameSize) {
        return false;
    }
    source.ReadBlock(Frame.data(), static_cast<std::uint16_t>(FrameSize));
    watchdog.Disable();
    if (Frame[0] != FrameHeader) {
        // No search for the header: realignment relies on bytes that arrive from now on.
        source.DiscardInput();
    }
    ShowMeterState();
    ShowReadings(watchdog);
    return true;
}

void FrontPanelModel::ShowMeterState() {
    const std::uint8_t status1 = Frame[10];
    const std::uint8_t status2 = Frame[11];

    CurrentRange = Frame[9];
    texts_.Label1 = std::to_string(CurrentRange);

    texts_.Label4 = (status1 & 0x01) != 0 ? "ВКЛ" : "ВЫКЛ";
    FrequencyIs1kHz = (status1 & 0x02) != 0;
    texts_.Label3 = FrequencyIs1kHz ? "1кГц" : "100Гц";
    texts_.Label5 = (status1 & 0x04) != 0 ? "0,1V" : "1 V";
    texts_.Label2 = (status1 & 0x08) != 0 ? "АВП" : "Ручной";

    // A fixed priority, not a bit field: L beats C beats R; none of the three means G.
    MainIsL = (status1 & 0x20) != 0;
    MainIsC = !MainIsL && (status1 & 0x40) != 0;
    MainIsR = !MainIsL && !MainIsC && (status1 & 0x10) != 0;
    MainIsG = !MainIsL && !MainIsC && !MainIsR;
    texts_.LA = MainIsL ? "L" : MainIsC ? "C" : MainIsR ? "R" : "G";

    AuxIsQ = (status1 & 0x80) == 0;
    texts_.LD = AuxIsQ ? "Q" : "D";

    texts_.Label7 = (status2 & 0x01) != 0 ? "ПОСЛ" : "ПАР";
    if ((status2 & 0x02) != 0) {
        AveragingOn = 1;
    } else {
        AveragingOn = 0;
        AveragingReset = true;
    }
}

void FrontPanelModel::ShowReadings(Watchdog& watchdog) {
    texts_.A.clear();
    texts_.B.clear();
    texts_.C.clear();
    texts_.D.clear();
    texts_.E.clear();
    texts_.F.clear();
    texts_.Base.clear();
    texts_.Dop.clear();

    FirstValue = DecodeMeterNumber(Frame[1], Frame[2], Frame[3], Frame[4]);
    SecondValue = DecodeMeterNumber(Frame[5], Frame[6], Frame[7], Frame[8]);
    if (AveragingOn == 1) {
        AverageReadings();
    }
    ShowResistanceConductance();
    ShowCapacitanceInductance();
    ShowQualityLoss();
    watchdog.Enable();
}

void FrontPanelModel::ShowResistanceConductance() {
    double r;
    double g;
    if (CurrentRange < 5) {
        r = 1.0 / FirstValue;
        g = FirstValue;
    } else {
        r = FirstValue;
        g = 1.0 / FirstValue;
    }

    const ReadoutScale rs = ResistanceScale(CurrentRange);
    texts_.A = ShowField(values_.A, r * rs.multiplier, rs.decimals + AveragingOn, rs.unit);
    if (MainIsR) {
        texts_.Base = texts_.A;
    }
    const ReadoutScale gs = ConductanceScale(CurrentRange);
    texts_.B = ShowField(values_.B, g * gs.multiplier, gs.decimals + AveragingOn, gs.unit);
    if (MainIsG) {
        texts_.Base = texts_.B;
    }
}

void FrontPanelModel::ShowCapacitanceInductance() {
    double c;
    double l;
    if (CurrentRange < 5) {
        c = SecondValue / W;
        l = -1.0 / (SecondValue * W * 10.0);
    } else {
        l = SecondValue / W;
        c = -1.0 / (SecondValue * W * 10.0);
    }
    if (!FrequencyIs1kHz) {
        // The meter's reactance is scaled for 1 kHz; at 100 Hz both quantities are ten
        // times larger, before the range's own scaling.
        c *= 10.0;
        l *= 10.0;
    }

    const ReadoutScale cs = CapacitanceScale(CurrentRange, FrequencyIs1kHz);
    texts_.C = ShowField(values_.C, c * cs.multiplier, cs.decimals + AveragingOn, cs.unit);
    if (MainIsC) {
        texts_.Base = texts_.C;
    }
    const ReadoutScale ls = InductanceScale(CurrentRange, FrequencyIs1kHz);
    texts_.D = ShowField(values_.D, l * ls.multiplier, ls.decimals + AveragingOn, ls.unit);
    if (MainIsL) {
        texts_.Base = texts_.D;
    }
}

void FrontPanelModel::ShowQualityLoss() {
    const double first = std::fabs(FirstValue);
    const double second = std::fabs(SecondValue);
    texts_.E = ShowField(values_.E, second / first, RatioDecimals, {});
    texts_.F = ShowField(values_.F, first / second, RatioDecimals, {});
    texts_.Dop = AuxIsQ ? texts_.E : texts_.F;
}

void FrontPanelModel::AverageReadings() {
    if (AveragingReset) {
        FirstHistory.fill(0.0);
        SecondHistory.fill(0.0);
    }
    AveragingReset = false;
    RingIndex = RingIndex >= 9 ? 0 : static_cast<std::uint8_t>(RingIndex + 1);
    FirstHistory[RingIndex] = FirstValue;
    SecondHistory[RingIndex] = SecondValue;

    // The newest reading counts twice (as the current value and in its slot), hence the
    // divisor 11; the order of the additions is fixed so results are reproducible bit for
    // bit.
    double firstSum = FirstValue;
    double secondSum = SecondValue;
    for (std::size_t slot = 0; slot < FirstHistory.size(); ++slot) {
        firstSum += FirstHistory[slot];
        secondSum += SecondHistory[slot];
    }
    FirstValue = firstSum / 11.0;
    SecondValue = secondSum / 11.0;
}

std::string FrontPanelModel::ShowField(FieldValue& field, double scaled, int decimals,
                                       std::string_view unit) {
    std::string text = ReadoutFormat(scaled, decimals, unit);
    field = {scaled, decimals, unit, text == OverloadText};
    return text;
}

std::vector<std::string> FrontPanelModel::WidestTexts(ReadoutControl control) const {
    // One shape per unit and precision; a range byte outside 1 to 8 (0 and 9 stand for all
    // of them) carries no unit.
    std::set<std::pair<std::string_view, int>> shapes;
    const auto scales = [&](auto scaleOf) {
        for (std::uint8_t range = 0; range <= 9; ++range) {
            for (const bool kHz : {false, true}) {
                const ReadoutScale s = scaleOf(range, kHz);
                shapes.emplace(s.unit, s.decimals);
                shapes.emplace(s.unit, s.decimals + 1);
            }
        }
    };
    const auto resistance = [](std::uint8_t r, bool) { return ResistanceScale(r); };
    const auto conductance = [](std::uint8_t r, bool) { return ConductanceScale(r); };
    const bool ratio = control == ReadoutControl::E || control == ReadoutControl::F ||
                       control == ReadoutControl::Dop;
    if (control == ReadoutControl::A || control == ReadoutControl::Base) scales(resistance);
    if (control == ReadoutControl::B || control == ReadoutControl::Base) scales(conductance);
    if (control == ReadoutControl::C || control == ReadoutControl::Base) scales(CapacitanceScale);
    if (control == ReadoutControl::D || control == ReadoutControl::Base) scales(InductanceScale);
    if (ratio) shapes.emplace(std::string_view{}, RatioDecimals);

    // Ratios are magnitudes; the other quantities keep their sign.
    const double sign = ratio ? 1.0 : -1.0;
    std::vector<std::string> texts{OverloadText};
    if (control == ReadoutControl::Base) texts.emplace_back(NoDataText);
    if (control == ReadoutControl::Dop) texts.emplace_back(LinkLostText);
    for (const auto& [unit, decimals] : shapes) {
        texts.push_back(ReadoutFormat(sign * OverloadLimit, decimals, unit));
        for (int digit = 1; digit <= 9; ++digit) {
            // dddd.ddd...: the digit in every place the precision shows.
            const double fraction = (1.0 - std::pow(10.0, -decimals)) / 9.0;
            texts.push_back(ReadoutFormat(sign * digit * (1111.0 + fraction), decimals, unit));
        }
    }
    return texts;
}

void FrontPanelModel::FormCreated() {
    texts_.A = "-256";
    AveragingReset = true;
    RingIndex = 0;
}

void FrontPanelModel::WatchdogTick() {
    texts_.Base = NoDataText;
    texts_.Dop = LinkLostText;
}

std::string FrontPanelModel::ReadoutFormat(double value, int precision,
                                           std::string_view unit) const {
    // Also catches NaN and infinities: averaged readings that cancel to exactly zero have
    // no finite reciprocal or ratio, and an unbounded quantity is the limit of an overload.
    if (!(std::fabs(value) <= OverloadLimit)) {
        return OverloadText;
    }
    // to_chars in fixed notation with a precision produces exactly what printf's "%.*f"
    // produces in the C locale (same rounding, same sign of zero), but it never consults
    // the process locale, which a GUI toolkit may have switched to the user's at start-up.
    char digits[32];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    const std::string_view number(digits, static_cast<std::size_t>(result.ptr - digits));

    // The width counts the point as one character, as "%*.*f" does, before the point is
    // replaced by a separator that may take several bytes.
    std::string text;
    if (number.size() < FieldWidth) {
        text.assign(FieldWidth - number.size(), ' ');
    }
    const std::size_t point = number.find('.');
    if (point == std::string_view::npos) {
        text += number;
    } else {
        text += number.substr(0, point);
        text += decimalSeparator_;
        text += number.substr(point + 1);
    }
    text += "  ";
    text += unit;
    return text;
}

}  // namespace k419
