// The serial port component: construction, the properties with their checks and repairs, the
// operations on an open port, and the trace and dispatch log controls. Opening and closing
// live in ComPortOpen.cpp, the notification window and the events in ComPortEvents.cpp.
#include "serial/ComPort.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <exception>

#include "serial/CommErrors.h"
#include "serial/ComPortInternal.h"
#include "serial/Dispatcher.h"

using k419::comport::Raise;

namespace {

constexpr uint32_t RS485StrippedFlow = hwfUseRTS | hwfRequireCTS;
constexpr THWFlowOptionSet AllHWFlowOptions = hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS;

uint16_t Fraction(uint32_t base, double fraction) {
    return static_cast<uint16_t>(std::trunc(static_cast<double>(base) * fraction));
}

// A short string holds at most 255 bytes; never cut inside a UTF-8 sequence.
std::string ShortString(const std::string& text) {
    if (text.size() <= MaxShortString) return text;
    size_t end = MaxShortString;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

uint32_t SoftwareFlowWord(TSWFlowOptions options) {
    switch (options) {
        case swfReceive:
            return sfReceiveFlow;
        case swfTransmit:
            return sfTransmitFlow;
        case swfBoth:
            return sfReceiveFlow | sfTransmitFlow;
        default:
            return 0;
    }
}

bool Running(TTraceLogState state) { return state == tlOn || state == tlPause; }

}  // namespace

namespace k419::comport {

void Raise(int32_t code) {
    CheckResult(false, code);
    throw ECommException(code);  // CheckResult raises for every negative code
}

HWND& DeliveryWindow() {
    static thread_local HWND window = nullptr;
    return window;
}

}  // namespace k419::comport

// Sets ForceApply for its lifetime and restores the previous value, also on an exception.
class TCustomComPort::TForceApplyHold {
  public:
    explicit TForceApplyHold(TCustomComPort& port) : FPort(port), FSaved(port.FForceApply) {
        FPort.FForceApply = true;
    }
    ~TForceApplyHold() { FPort.FForceApply = FSaved; }
    TForceApplyHold(const TForceApplyHold&) = delete;
    TForceApplyHold& operator=(const TForceApplyHold&) = delete;

  private:
    TCustomComPort& FPort;
    bool FSaved;
};

// =============================================================================================
// Construction

TCustomComPort::TCustomComPort(TComponent* owner)
    : TBaseComponent(owner), FSavedTriggerSet(std::make_unique<SavedTriggerSet>()) {}

TCustomComPort::~TCustomComPort() {
    // A component being destroyed raises no events: a handler would meet it half gone.
    FOnTrigger = nullptr;
    FOnTriggerAvail = nullptr;
    FOnTriggerData = nullptr;
    FOnTriggerStatus = nullptr;
    FOnTriggerTimer = nullptr;
    FOnTriggerLineError = nullptr;
    FOnTriggerModemStatus = nullptr;
    FOnTriggerOutbuffFree = nullptr;
    FOnTriggerOutbuffUsed = nullptr;
    FOnTriggerOutSent = nullptr;
    try {
        if (IsOpen()) ShutPort();
    } catch (const std::exception& e) {
        // A destructor cannot pass it on; the files that could not be written are reported.
        if (IsMainThread()) ApplicationHandleException(e);
    } catch (...) {
    }
    try {
        if (FEventWindow) SetEventWindow(false);
        FDispatcher.reset();
    } catch (...) {
    }
    FreeSavedTriggers(*FSavedTriggerSet);
    *FAlive = false;
}

int32_t TCustomComPort::Check(int32_t code) const { return CheckResult(Loading(), code); }

// =============================================================================================
// Properties

void TCustomComPort::SetDeviceLayer(TDeviceLayer value) {
    if (FPortState != psClosed || value > dlWinsock) return;
    if (!(FSupportedLayers & (1u << value)) || value == FDeviceLayer) return;
    FDeviceLayer = value;
    LayerChangedHook();
}

void TCustomComPort::SetComNumber(uint16_t value) {
    if (value == FComNumber) return;
    if (IsOpen())
        MoveToPort(value);
    else
        FComNumber = value;
}

void TCustomComPort::SetBaud(int32_t value) {
    if (value == FBaud) return;
    FBaud = value;
    if (IsOpen()) Check(FDispatcher->SetLineSettings(FBaud, FParity, FDataBits, FStopBits));
}

void TCustomComPort::SetParity(TParity value) {
    if (value > pSpace) {
        Check(ecBadArgument);
        return;
    }
    if (value == FParity) return;
    FParity = value;
    if (IsOpen()) Check(FDispatcher->SetLineSettings(FBaud, FParity, FDataBits, FStopBits));
}

void TCustomComPort::SetDataBits(uint16_t value) {
    if (value == FDataBits) return;
    FDataBits = value;
    if (IsOpen()) Check(FDispatcher->SetLineSettings(FBaud, FParity, FDataBits, FStopBits));
}

void TCustomComPort::SetStopBits(uint16_t value) {
    if (value == FStopBits) return;
    FStopBits = value;
    if (IsOpen()) Check(FDispatcher->SetLineSettings(FBaud, FParity, FDataBits, FStopBits));
}

void TCustomComPort::SetInSize(uint16_t value) {
    if (value == FInSize) return;
    FInSize = value;
    // The driver keeps its old queue when it cannot resize; the port works on either way.
    if (IsOpen()) FDispatcher->SetupQueues(FInSize, FOutSize);
}

void TCustomComPort::SetOutSize(uint16_t value) {
    if (value == FOutSize) return;
    FOutSize = value;
    if (IsOpen()) FDispatcher->SetupQueues(FInSize, FOutSize);
}

void TCustomComPort::SetDTR(bool value) {
    if (value == FDTR && !FForceApply) return;
    if (!IsOpen()) {
        FDTR = value;
        return;
    }
    if (Check(FDispatcher->SetDtrLine(value)) == 0) FDTR = value;
}

void TCustomComPort::SetRTS(bool value) {
    if (value == FRTS && !FForceApply) return;
    if (!IsOpen()) {
        FRTS = value;
        return;
    }
    if (Check(FDispatcher->SetRtsLine(value)) == 0) FRTS = value;
}

void TCustomComPort::RepairThresholds(double fullFraction, double resumeFraction) {
    if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = Fraction(FInSize, fullFraction);
    if (FBufferResume == 0 || FBufferResume > FBufferFull)
        FBufferResume = Fraction(FInSize, resumeFraction);
}

void TCustomComPort::SetHWFlowOptions(THWFlowOptionSet value) {
    value &= AllHWFlowOptions;
    if (value == FHWFlowOptions && !FForceApply) return;
    const uint32_t word = value;
    if (word != 0) RepairThresholds(0.9, 0.1);
    if (IsOpen()) Check(FDispatcher->SetHardwareFlow(FBufferFull, FBufferResume, word));
    FHWFlowOptions = value;
    if (value & RS485StrippedFlow) SetRS485Mode(false);
}

void TCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
    if (value > swfBoth) {
        Check(ecBadArgument);
        return;
    }
    if (value == FSWFlowOptions && !FForceApply) return;
    const uint32_t word = SoftwareFlowWord(value);
    if (word != 0) RepairThresholds(0.75, 0.25);
    if (IsOpen()) {
        if (word != 0) {
            // The dispatcher only adds directions: one the line has and the new value drops is
            // cleared first, or the far end's XOFF would still stop our output under
            // "receive only" (and ours stop the far end's under "transmit only").
            uint32_t hw = 0, onLine = 0;
            uint8_t xon = 0, xoff = 0;
            if (FDispatcher->GetFlowSettings(hw, onLine, xon, xoff) == ecOK &&
                (onLine & ~word & (sfReceiveFlow | sfTransmitFlow)) != 0)
                Check(FDispatcher->ClearSoftwareFlow());
            Check(FDispatcher->SetSoftwareFlow(FBufferFull, FBufferResume, word));
            // The dispatcher resets the flow characters to 17 and 19; the line must keep the
            // characters the properties show. (The open sequence applies them right after.)
            if (!FForceApply && (FXOnChar != 17 || FXOffChar != 19))
                Check(FDispatcher->SetFlowChars(static_cast<uint8_t>(FXOnChar),
                                                static_cast<uint8_t>(FXOffChar)));
        } else {
            Check(FDispatcher->ClearSoftwareFlow());
        }
    }
    FSWFlowOptions = value;
}

void TCustomComPort::SetXOnChar(char value) {
    if (value == FXOnChar && !FForceApply) return;
    FXOnChar = value;
    if (IsOpen())
        Check(FDispatcher->SetFlowChars(static_cast<uint8_t>(FXOnChar),
                                        static_cast<uint8_t>(FXOffChar)));
}

void TCustomComPort::SetXOffChar(char value) {
    if (value == FXOffChar && !FForceApply) return;
    FXOffChar = value;
    if (IsOpen())
        Check(FDispatcher->SetFlowChars(static_cast<uint8_t>(FXOnChar),
                                        static_cast<uint8_t>(FXOffChar)));
}

void TCustomComPort::ReapplyFlow() {
    TForceApplyHold hold(*this);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
    // The software flow resets the line's flow characters to 17 and 19, as in the open.
    SetXOnChar(FXOnChar);
    SetXOffChar(FXOffChar);
}

void TCustomComPort::SetBufferFull(uint16_t value) {
    if (value == FBufferFull && !FForceApply) return;
    FBufferFull = value > FInSize ? Fraction(FInSize, 0.9) : value;
    ReapplyFlow();
}

void TCustomComPort::SetBufferResume(uint16_t value) {
    if (value == FBufferResume && !FForceApply) return;
    FBufferResume = value > FBufferFull ? Fraction(FBufferFull, 0.1) : value;
    ReapplyFlow();
}

void TCustomComPort::SetUseMSRShadow(bool) {}

void TCustomComPort::SetUseEventWord(bool value) {
    if (value == FUseEventWord && !FForceApply) return;
    FUseEventWord = value;
    if (!IsOpen()) return;
    if (value)
        FDispatcher->SetOptionBits(UseEventWordBit);
    else
        FDispatcher->ClearOptionBits(UseEventWordBit);
}

void TCustomComPort::SetCommNotificationLevel(uint16_t value) {
    if (value == FCommNotificationLevel && !FForceApply) return;
    FCommNotificationLevel = value;
}

void TCustomComPort::SetTapiMode(TTapiMode value) {
    if (value > tmOff) {
        Check(ecBadArgument);
        return;
    }
    FTapiMode = value;
}

void TCustomComPort::SetRS485Mode(bool value) {
    if (value == FRS485Mode && !FForceApply) return;
    FRS485Mode = value;
    if (IsOpen()) FDispatcher->SetRs485(value);
    if (value) {
        // RTS now turns the line driver around; it cannot also be a flow control line.
        SetHWFlowOptions(FHWFlowOptions & ~RS485StrippedFlow);
        SetRTS(false);
    }
}

void TCustomComPort::SetAvailTriggerLevel(uint16_t value) {
    if (value == FAvailTriggerLevel && !FForceApply) return;
    if (IsOpen()) FDispatcher->SetAvailLevel(value);
    FAvailTriggerLevel = value;
}

// =============================================================================================
// Operations

bool TCustomComPort::DeviceLost() const {
    return IsOpen() && FDispatcher != nullptr && FDispatcher->DeviceLost;
}

uint16_t TCustomComPort::InputCount() {
    if (!IsOpen()) return 0;
    return static_cast<uint16_t>(std::min<uint32_t>(FDispatcher->InputUsed(), 0xFFFF));
}

void TCustomComPort::ReadBlock(void* Buffer, uint16_t Count) {
    if (IsClosing() || Count == 0) return;
    if (Buffer == nullptr) {
        Check(ecBadArgument);
        return;
    }
    Check(RequireDispatcher()->TakeInput(static_cast<uint8_t*>(Buffer), Count));
}

void TCustomComPort::DiscardInput() {
    if (IsClosing()) return;
    Check(RequireDispatcher()->FlushInput());
}

void TCustomComPort::SendByte(char Ch) {
    if (IsClosing()) return;
    Check(RequireDispatcher()->PutOutputByte(static_cast<uint8_t>(Ch)));
}

uint16_t TCustomComPort::LastLineError() {
    if (!IsOpen()) return 0;
    return static_cast<uint16_t>(Check(FDispatcher->TakeLineError()));
}

bool TCustomComPort::LineBreakSeen() { return IsOpen() && FDispatcher->TakeLineBreak(); }

void TCustomComPort::YieldToDevice() {
    if (IsClosing()) return;
    Check(RequireDispatcher()->YieldTime());
}

void TCustomComPort::Assign(TObject* source) {
    auto* other = dynamic_cast<TCustomComPort*>(source);
    if (other == nullptr || other == this) return;
    FPortUsers = other->FPortUsers;
    FNextUserId = std::max(FNextUserId, other->FNextUserId);
    if (other->IsOpen() && other->FDispatcher) {
        other->FDispatcher->SnapshotTriggers(*FSavedTriggerSet);
        FSavedTriggersValid = true;
    }
    FDeviceLayer = other->FDeviceLayer;
    FComNumber = other->FComNumber;
    FBaud = other->FBaud;
    FParity = other->FParity;
    FDataBits = other->FDataBits;
    FStopBits = other->FStopBits;
    FInSize = other->FInSize;
    FOutSize = other->FOutSize;
    FDTR = other->FDTR;
    FRTS = other->FRTS;
    FBufferFull = other->FBufferFull;
    FBufferResume = other->FBufferResume;
    FHWFlowOptions = other->FHWFlowOptions;
    FSWFlowOptions = other->FSWFlowOptions;
    FXOnChar = other->FXOnChar;
    FXOffChar = other->FXOffChar;
    FTracing = other->FTracing;
    FTraceSize = other->FTraceSize;
    FTraceName = other->FTraceName;
    FTraceHex = other->FTraceHex;
    FLogging = other->FLogging;
    FLogSize = other->FLogSize;
    FLogName = other->FLogName;
    FLogHex = other->FLogHex;
    FAvailTriggerLevel = other->FAvailTriggerLevel;
    FTapiMode = other->FTapiMode;
    FPortOpenedHandler = other->FPortOpenedHandler;
    FPortClosingHandler = other->FPortClosingHandler;
    FDeviceLostHandler = other->FDeviceLostHandler;
    FOpen = false;
    SetOnTrigger(other->FOnTrigger);
    SetOnTriggerAvail(other->FOnTriggerAvail);
    SetOnTriggerData(other->FOnTriggerData);
    SetOnTriggerStatus(other->FOnTriggerStatus);
    SetOnTriggerTimer(other->FOnTriggerTimer);
}

// =============================================================================================
// Trace and log

// The trace and the dispatch log follow one state machine, written once: a channel names the
// properties and commands of one of them.
struct TCustomComPort::TTraceLogChannel {
    TTraceLogState TCustomComPort::*State;
    uint32_t TCustomComPort::*Size;
    uint32_t MaxSize;
    std::string TCustomComPort::*Name;
    bool TCustomComPort::*Hex;
    void (TCustomComPort::*Begin)(uint32_t);
    void (TCustomComPort::*Write)(const std::string&, bool);
    void (TCustomComPort::*Append)(const std::string&, bool);
    void (TCustomComPort::*Empty)();
    void (TCustomComPort::*End)();
    void (TCustomComPort::*Continue)();
    void (TCustomComPort::*Hold)();
};

const TCustomComPort::TTraceLogChannel TCustomComPort::TraceChannel = {
    &TCustomComPort::FTracing,       &TCustomComPort::FTraceSize,      MaxTraceSize,
    &TCustomComPort::FTraceName,     &TCustomComPort::FTraceHex,       &TCustomComPort::BeginTrace,
    &TCustomComPort::WriteTraceFile, &TCustomComPort::AppendTraceFile, &TCustomComPort::EmptyTrace,
    &TCustomComPort::EndTrace,       &TCustomComPort::ContinueTrace,   &TCustomComPort::HoldTrace,
};

const TCustomComPort::TTraceLogChannel TCustomComPort::LogChannel = {
    &TCustomComPort::FLogging,     &TCustomComPort::FLogSize,      MaxLogSize,
    &TCustomComPort::FLogName,     &TCustomComPort::FLogHex,       &TCustomComPort::BeginLog,
    &TCustomComPort::WriteLogFile, &TCustomComPort::AppendLogFile, &TCustomComPort::EmptyLog,
    &TCustomComPort::EndLog,       &TCustomComPort::ContinueLog,   &TCustomComPort::HoldLog,
};

void TCustomComPort::SetTraceLogState(const TTraceLogChannel& channel, TTraceLogState value) {
    if (value > tlPause) {
        Check(ecBadArgument);
        return;
    }
    const TTraceLogState old = this->*channel.State;
    if (value == old && !FForceApply) return;
    if (!IsOpen()) {
        this->*channel.State = value == tlOn ? tlOn : tlOff;
        return;
    }
    switch (value) {
        case tlOff:
            if (Running(old)) (this->*channel.End)();
            break;
        case tlOn:
            if (old == tlPause)
                (this->*channel.Continue)();
            else
                (this->*channel.Begin)(this->*channel.Size);
            break;
        case tlDump:
        case tlAppend:
            if (Running(old)) {
                (this->*channel.Continue)();
                (this->*(value == tlDump ? channel.Write : channel.Append))(this->*channel.Name,
                                                                            this->*channel.Hex);
            }
            break;
        case tlClear:
            if (Running(old)) (this->*channel.Empty)();
            break;
        case tlPause:
            if (old == tlOn) (this->*channel.Hold)();
            break;
    }
}

void TCustomComPort::SetTraceLogSize(const TTraceLogChannel& channel, uint32_t value) {
    value = std::min(value, channel.MaxSize);
    if (value == this->*channel.Size) return;
    const TTraceLogState previous = this->*channel.State;
    this->*channel.Size = value;
    // A running trace or log restarts empty with the new size; a paused one ends.
    if (IsOpen() && Running(previous)) {
        (this->*channel.End)();
        SetTraceLogState(channel, previous);
    }
}

void TCustomComPort::SetTracing(TTraceLogState value) { SetTraceLogState(TraceChannel, value); }

void TCustomComPort::SetTraceSize(uint32_t value) { SetTraceLogSize(TraceChannel, value); }

void TCustomComPort::SetTraceName(const std::string& value) { FTraceName = ShortString(value); }

void TCustomComPort::SetLogging(TTraceLogState value) { SetTraceLogState(LogChannel, value); }

void TCustomComPort::SetLogSize(uint32_t value) { SetTraceLogSize(LogChannel, value); }

void TCustomComPort::SetLogName(const std::string& value) { FLogName = ShortString(value); }

void TCustomComPort::BeginTrace(uint32_t Size) {
    if (IsClosing()) return;
    TBaseDispatcher* dispatcher = RequireDispatcher();
    if (Size != 0) FTraceSize = std::min(Size, MaxTraceSize);
    Check(dispatcher->OpenTraceBuffer(FTraceSize));
    FTracing = tlOn;
}

void TCustomComPort::WriteTraceFile(const std::string& Name, bool Hex) {
    if (IsClosing()) return;
    Check(RequireDispatcher()->WriteTraceReport(ShortString(Name).c_str(), false, Hex));
    FTracing = tlOff;
}

void TCustomComPort::AppendTraceFile(const std::string& Name, bool Hex) {
    if (IsClosing()) return;
    Check(RequireDispatcher()->WriteTraceReport(ShortString(Name).c_str(), true, Hex));
    FTracing = tlOff;
}

void TCustomComPort::EmptyTrace() {
    if (IsClosing()) return;
    Check(RequireDispatcher()->ClearTrace());
}

void TCustomComPort::EndTrace() {
    if (IsClosing()) return;
    RequireDispatcher()->AbortTrace();
    FTracing = tlOff;
}

void TCustomComPort::ContinueTrace() {
    if (IsClosing()) return;
    RequireDispatcher()->ResumeTrace();
    FTracing = tlOn;
}

void TCustomComPort::HoldTrace() {
    if (IsClosing()) return;
    RequireDispatcher()->PauseTrace();
    FTracing = tlPause;
}

void TCustomComPort::BeginLog(uint32_t Size) {
    if (IsClosing()) return;
    TBaseDispatcher* dispatcher = RequireDispatcher();
    if (Size != 0) FLogSize = std::min(Size, MaxLogSize);
    // A log buffer that cannot be allocated must not read as a running log.
    Check(dispatcher->OpenLogBuffer(FLogSize));
    FLogging = tlOn;
}

void TCustomComPort::WriteLogFile(const std::string& Name, bool Hex) {
    if (IsClosing()) return;
    Check(RequireDispatcher()->WriteLogReport(ShortString(Name).c_str(), false, Hex));
    FLogging = tlOff;
}

void TCustomComPort::AppendLogFile(const std::string& Name, bool Hex) {
    if (IsClosing()) return;
    Check(RequireDispatcher()->WriteLogReport(ShortString(Name).c_str(), true, Hex));
    FLogging = tlOff;
}

void TCustomComPort::EmptyLog() {
    if (IsClosing()) return;
    RequireDispatcher()->ClearLog();
}

void TCustomComPort::EndLog() {
    if (IsClosing()) return;
    RequireDispatcher()->AbortLog();
    FLogging = tlOff;
}

void TCustomComPort::ContinueLog() {
    if (IsClosing()) return;
    RequireDispatcher()->ResumeLog();
    FLogging = tlOn;
}

void TCustomComPort::HoldLog() {
    if (IsClosing()) return;
    RequireDispatcher()->PauseLog();
    FLogging = tlPause;
}
