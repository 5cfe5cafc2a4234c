#include "serial/ComPort.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>

#include "serial/CommErrors.h"
#include "serial/PortSelection.h"
#include "serial/Dispatcher.h"
#include "serial/Win32Dispatcher.h"

namespace {

constexpr const char* ComWindowClassName = "awComWindow";
constexpr uint32_t RS485StrippedFlow = hwfUseRTS | hwfRequireCTS;
constexpr THWFlowOptionSet AllHWFlowOptions = hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS;
// How long a deferred release waits for news before it looks at the worker threads again.
constexpr DWORD ReleaseRetryWaitMs = 10;

// Raises the exception of a negative code whatever the loading state: used where going on
// after a failure would be wrong.
[[noreturn]] void Raise(int32_t code) {
    CheckResult(false, code);
    throw ECommException(code);  // CheckResult raises for every negative code
}

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

// The class is registered once per process and never unregistered.
bool RegisterComWindowClass(WNDPROC procedure) {
    static std::mutex mutex;
    static bool registered = false;
    std::lock_guard hold(mutex);
    if (registered) return true;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.cbWndExtra = 4;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = ComWindowClassName;
    registered = RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

// The component window whose notification, sent from a dispatch thread, is the innermost
// message this thread is handling; null while none is (or while a posted one is the innermost).
thread_local HWND tDeliveryWindow = nullptr;

// Calls a handler through a copy of it: a handler may replace itself, or delete the component
// that holds it, while it runs.
template <class Event, class... Args>
void CallEvent(const Event& event, Args... args) {
    if (!event) return;
    const Event running = event;
    running(args...);
}

void ReportHandlerFailure(const std::exception& e) {
    // Off the main thread nobody could show the message; the notification still counts as
    // handled.
    if (IsMainThread()) ApplicationHandleException(e);
}

}  // namespace

struct TCustomComPort::TEventWindowProcedure {
    static LRESULT CALLBACK Run(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    // Finds the component of the notification's dispatcher and raises its events; true when
    // a deferred release has to be tried again later.
    static bool DeliverToOwner(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
};

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
// Open and close

void TCustomComPort::SetOpen(bool value) {
    if (value == FOpen) return;
    if (Loading()) {
        FOpen = value;
        FOpenAfterLoad = value;
        return;
    }
    if (value) {
        if (FPortState == psClosed)
            StartPort();
        else
            FReopenPending = true;
        return;
    }
    const TLifeWatch life(*this);
    std::exception_ptr failure;
    try {
        ShutPort();
    } catch (...) {
        failure = std::current_exception();
    }
    if (life.Destroyed()) {
        if (failure) std::rethrow_exception(failure);
        return;
    }
    if (FReopenPending) {
        FReopenPending = false;
        StartPort();
    }
    if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::StartPort() {
    if (FPortState != psClosed) return;
    if (FTapiMode != tmOn) ResolvePortNumber();
    FDispatcher = BuildDispatcher();
    if (!FDispatcher) Raise(ecNullApi);
    try {
        if (FTapiMode == tmOn && FDispatcher->DeviceHandle <= 0) Raise(ecNotOpenedByTapi);
        OpenLine();
        FPortState = psOpen;
        RefreshEventInterest();
        FForceApply = true;
        SetTracing(FTracing);
        SetLogging(FLogging);
        SetHWFlowOptions(FHWFlowOptions);
        SetSWFlowOptions(FSWFlowOptions);
        SetXOnChar(FXOnChar);
        SetXOffChar(FXOffChar);
        SetAvailTriggerLevel(FAvailTriggerLevel);
        SetDTR(FDTR);
        SetRTS(FRTS);
        SetUseMSRShadow(FUseMSRShadow);
        SetUseEventWord(FUseEventWord);
        SetCommNotificationLevel(FCommNotificationLevel);
        SetRS485Mode(FRS485Mode);
        FForceApply = false;
        FOpen = true;
        SetEventWindow(true);
        if (FSavedTriggersValid) {
            FSavedTriggersValid = false;
            FDispatcher->ReinstateTriggers(*FSavedTriggerSet);
        }
        NotifyPortOpened();
    } catch (...) {
        DiscardFailedOpen();
        throw;
    }
}

void TCustomComPort::DiscardFailedOpen() {
    FForceApply = false;
    try {
        if (FEventWindow) SetEventWindow(false);
    } catch (...) {
    }
    if (FDispatcher) {
        // The device layer's threads may already run: close before the dispatcher goes.
        FDispatcher->ClosePort();
        FDispatcher.reset();
    }
    FPortState = psClosed;
    FOpen = false;
}

std::unique_ptr<TBaseDispatcher> TCustomComPort::BuildDispatcher() {
    if (FDispatcherFactory) return FDispatcherFactory(*this);
    if (FDeviceLayer != dlWin32) Raise(ecNullApi);
    if (FTapiMode == tmOn)
        return std::make_unique<TTapi32Dispatcher>(
            this, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(FTapiDeviceHandle)));
    return std::make_unique<TWin32Dispatcher>(this);
}

void TCustomComPort::OpenLine() {
    const std::string name =
        FTapiMode == tmOn ? std::string() : "\\\\.\\COM" + std::to_string(FComNumber);
    int32_t rc = FDispatcher->OpenPort(name.c_str(), FBaud, FParity, FDataBits, FStopBits, FInSize,
                                       FOutSize, FDTR, FRTS);
    if (rc >= 0) return;
    if (rc == ecAccessDenied)
        rc = ecAlreadyOpen;
    else if (rc == ecFileNotFound || rc == ecPathNotFound)
        rc = ecBadId;
    Raise(rc);
}

void TCustomComPort::ResolvePortNumber() {
    if (FComNumber != 0) return;
    if (!FPromptForPort) Raise(ecNoPortSelected);
    TComSelectForm form;
    if (form.ShowModal() != mrOk) Raise(ecNoPortSelected);
    const int32_t number = form.SelectedPortNumber();
    if (number <= 0 || number > 0xFFFF) Raise(ecNoPortSelected);
    SetComNumber(static_cast<uint16_t>(number));
}

void TCustomComPort::ShutPort() {
    FOpen = false;
    if (!IsOpen()) return;
    const TLifeWatch life(*this);

    // A trace or log that cannot be written, or a port user that fails, must not leave the
    // port half closed: the close completes and the first failure is raised afterwards.
    std::exception_ptr failure;
    auto guarded = [&failure](auto&& step) {
        try {
            step();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    };
    guarded([this] { SetTracing(tlDump); });
    guarded([this] { SetLogging(tlDump); });
    // Whatever was not written is gone with the dispatcher.
    FTracing = tlOff;
    FLogging = tlOff;
    FPortState = psClosing;
    guarded([this] { NotifyPortClosing(); });
    if (life.Destroyed()) {
        if (failure) std::rethrow_exception(failure);
        return;
    }

    FDispatcher->SnapshotTriggers(*FSavedTriggerSet);
    FSavedTriggersValid = true;
    FDispatcher->ClosePort();
    TBaseDispatcher& dispatcher = *FDispatcher;
    if (dispatcher.InNotification || dispatcher.ClosePending || dispatcher.ThreadsRunning) {
        // A notification is being delivered (this close may run inside its handler): the
        // worker threads end only after it returns, and the dispatcher may not go before.
        // The window releases it once the threads have ended. When this close runs inside
        // the handler of this dispatcher's notification, the dispatch thread waits for that
        // send: answer it now, so it sees the close and ends instead of waiting out its limit.
        // Only that send: the innermost one may belong to another port, whose delivery must
        // go on waiting for its handler.
        if (dispatcher.InNotification && FEventWindow && tDeliveryWindow == FEventWindow)
            ReplyMessage(0);
        const bool posted =
            FEventWindow &&
            PostMessageA(
                FEventWindow, ReleaseDispatcherMsg, 0,
                static_cast<LPARAM>(static_cast<uint32_t>(dispatcher.DispatcherIndex) << 16));
        // Pumped messages may delete this component; its destructor then finishes the release.
        for (;;) {
            if (life.Destroyed()) {
                if (failure) std::rethrow_exception(failure);
                return;
            }
            if (posted ? !FDispatcher : !FDispatcher->ThreadsRunning) break;
            PumpOneMessage();
        }
        if (!posted) ReleaseDispatcher();
    } else {
        ReleaseDispatcher();
    }
    FPortState = psClosed;
    if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::ReleaseDispatcher() {
    if (FEventWindow) SetEventWindow(false);
    FDispatcher.reset();
}

void TCustomComPort::MoveToPort(uint16_t number) {
    FDispatcher->SnapshotTriggers(*FSavedTriggerSet);
    const TTraceLogState tracing = FTracing;
    const TTraceLogState logging = FLogging;
    const TLifeWatch life(*this);
    std::exception_ptr failure;
    try {
        ShutPort();
    } catch (...) {
        failure = std::current_exception();  // the port is closed all the same
    }
    if (life.Destroyed()) {
        if (failure) std::rethrow_exception(failure);
        return;
    }
    // The move opens the port anyway; a reopen requested during the close is part of it.
    FReopenPending = false;
    FComNumber = number;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
    if (life.Destroyed()) return;
    if (FDispatcher) FDispatcher->ReinstateTriggers(*FSavedTriggerSet);
    if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::Loaded() {
    TBaseComponent::Loaded();
    if (FOpenAfterLoad) FOpen = true;
    if (!FOpen) return;
    FOpenAfterLoad = false;
    if (FPortState != psClosed) return;
    try {
        StartPort();
    } catch (const std::exception& e) {
        FOpen = false;
        ApplicationHandleException(e);
    }
}

TBaseDispatcher* TCustomComPort::ActiveDispatcher() {
    if (!FDispatcher && !IsOpen() && !Loading() && FAutoOpen) SetOpen(true);
    return FDispatcher.get();
}

TBaseDispatcher* TCustomComPort::RequireDispatcher() {
    TBaseDispatcher* dispatcher = ActiveDispatcher();
    if (!dispatcher) throw ECommNotOpen(ecNotOpen);
    return dispatcher;
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
// Port users

void TCustomComPort::RegisterUserWindow(HWND window) {
    if (window == nullptr) return;
    FPortUsers.push_back({window, {}, FNextUserId++});
}

void TCustomComPort::DeregisterUserWindow(HWND window) {
    std::erase_if(FPortUsers, [window](const TPortUser& user) { return user.Window == window; });
}

uint32_t TCustomComPort::RegisterUserCallback(TPortCallback callback) {
    if (!callback) return 0;
    const uint32_t id = FNextUserId++;
    FPortUsers.push_back({nullptr, std::move(callback), id});
    return id;
}

void TCustomComPort::DeregisterUserCallback(uint32_t id) {
    std::erase_if(FPortUsers,
                  [id](const TPortUser& user) { return !user.Window && user.Id == id; });
}

void TCustomComPort::NotifyPortOpened() {
    // A copy: a user may register or deregister while it is told.
    const std::vector<TPortUser> users = FPortUsers;
    for (auto user = users.rbegin(); user != users.rend(); ++user) {
        if (user->Window)
            SendMessageA(user->Window, PortOpenedMsg, 0, 0);
        else
            user->Callback(this, true);
    }
    if (FPortOpenedHandler) FPortOpenedHandler(this);
}

void TCustomComPort::NotifyPortClosing() {
    const std::vector<TPortUser> users = FPortUsers;
    for (auto user = users.rbegin(); user != users.rend(); ++user) {
        if (user->Window)
            SendMessageA(user->Window, PortClosingMsg, 0, 0);
        else
            user->Callback(this, false);
    }
    if (FPortClosingHandler) FPortClosingHandler(this);
}

// =============================================================================================
// Notification window and events

void TCustomComPort::SetEventWindow(bool create) {
    if (create) {
        if (FEventWindow) return;
        if (!RegisterComWindowClass(&TEventWindowProcedure::Run)) Raise(ecNoHandles);
        HWND window = CreateWindowExA(0, ComWindowClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
        if (!window) Raise(ecNoHandles);
        FEventWindow = window;
        FDispatcher->AddNotifyWindow(window);
        return;
    }
    if (!FEventWindow) return;
    HWND window = FEventWindow;
    FEventWindow = nullptr;
    if (FDispatcher) FDispatcher->RemoveNotifyWindow(window);
    DestroyWindow(window);
}

LRESULT CALLBACK TCustomComPort::TEventWindowProcedure::Run(HWND window, UINT msg, WPARAM wParam,
                                                            LPARAM lParam) {
    switch (msg) {
        case TriggerAvailMsg:
        case TriggerDataMsg:
        case TriggerTimerMsg:
        case TriggerStatusMsg:
        case ReleaseDispatcherMsg:
        case DeviceLostMsg:
            break;
        default:
            return DefWindowProcA(window, msg, wParam, lParam);
    }
    // The dispatcher sends the trigger messages and waits; the release message is posted.
    struct TDeliveryScope {
        HWND Outer = tDeliveryWindow;
        ~TDeliveryScope() { tDeliveryWindow = Outer; }
    } scope;
    tDeliveryWindow =
        msg != ReleaseDispatcherMsg && msg != DeviceLostMsg && InSendMessage() ? window : nullptr;
    if (DeliverToOwner(window, msg, wParam, lParam)) {
        // The worker threads have not ended yet. Look again later, but give their end (or
        // anything else for this thread) a moment to arrive first, so that a waiting close
        // does not spin; the table lock is not held meanwhile.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ReleaseRetryWaitMs, QS_ALLINPUT);
        PostMessageA(window, ReleaseDispatcherMsg, 0, lParam);
    }
    return 0;
}

bool TCustomComPort::TEventWindowProcedure::DeliverToOwner(HWND window, UINT msg, WPARAM wParam,
                                                           LPARAM lParam) {
    // Held through the handlers, so that no dispatcher in the table can go away meanwhile;
    // it is re-entrant, so handlers may still open and close ports.
    TCriticalSectionHold hold(DispatcherTableLock());
    const auto index = static_cast<int32_t>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
    TBaseDispatcher* dispatcher = DispatcherInSlot(index);
    if (!dispatcher || !dispatcher->Owner) return false;
    TCustomComPort* port = dispatcher->Owner->AsComPort();
    // A message for a window that no longer belongs to the slot's owner (the slot was taken
    // again after a release) is stale.
    if (!port || port->FEventWindow != window) return false;
    bool retryRelease = false;
    try {
        retryRelease = port->HandleNotification(*dispatcher, msg, wParam, lParam);
    } catch (const std::exception& e) {
        ReportHandlerFailure(e);
    } catch (...) {
        ReportHandlerFailure(Exception(UnknownHandlerFailure));
    }
    return retryRelease;
}

bool TCustomComPort::HandleNotification(TBaseDispatcher& dispatcher, uint32_t msg, uintptr_t wParam,
                                        intptr_t lParam) {
    const TLifeWatch life(*this);
    const auto handle = static_cast<uint16_t>(wParam);
    const auto data =
        msg == TriggerAvailMsg ? handle : static_cast<uint16_t>(static_cast<uint32_t>(lParam));
    if (msg == DeviceLostMsg) {
        // Not a trigger: only the owner's handler hears of it, and only for the port's current
        // dispatcher (a message still queued after a close and reopen is stale).
        if (FDispatcher.get() == &dispatcher && FDeviceLostHandler) {
            const TNotifyEvent handler = FDeviceLostHandler;
            handler(this);
        }
        return false;
    }
    if (msg == ReleaseDispatcherMsg) {
        if (FDispatcher.get() != &dispatcher) return false;
        // The worker threads end only after the delivery that started the close has returned.
        // Until then the message goes round again, unseen by the handlers, so that OnTrigger
        // hears of the release once.
        if (dispatcher.ThreadsRunning) return true;
        // The release must happen even when the handler fails, or the waiting close would
        // never return.
        std::exception_ptr failure;
        try {
            FireTrigger(static_cast<uint16_t>(msg), handle, data);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!life.Destroyed()) ReleaseDispatcher();  // else the destructor has released it
        if (failure) std::rethrow_exception(failure);
        return false;
    }
    FireTrigger(static_cast<uint16_t>(msg), handle, data);
    if (life.Destroyed()) return false;
    switch (msg) {
        case TriggerAvailMsg:
            FireTriggerAvail(handle);
            break;
        case TriggerDataMsg:
            FireTriggerData(handle);
            break;
        case TriggerTimerMsg:
            FireTriggerTimer(handle);
            break;
        case TriggerStatusMsg:
            FireTriggerStatus(handle);
            if (life.Destroyed()) return false;
            switch (StatusKindOf(handle)) {
                case stModem:
                    FireTriggerModemStatus();
                    break;
                case stLine: {
                    const bool lineBreak = LineBreakSeen();
                    FireTriggerLineError(LastLineError(), lineBreak);
                    break;
                }
                case stOutBuffFree:
                    FireTriggerOutbuffFree();
                    break;
                case stOutBuffUsed:
                    FireTriggerOutbuffUsed();
                    break;
                case stOutSent:
                    FireTriggerOutSent();
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return false;
}

void TCustomComPort::RefreshEventInterest() {
    if (!IsOpen()) return;
    const bool wanted = FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus ||
                        FOnTriggerTimer || FOnTriggerLineError || FOnTriggerModemStatus ||
                        FOnTriggerOutbuffFree || FOnTriggerOutbuffUsed || FOnTriggerOutSent;
    FDispatcher->SetDeliveryMode(wanted ? 1 : 2);
}

void TCustomComPort::SetOnTrigger(TTriggerEvent handler) {
    FOnTrigger = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler) {
    FOnTriggerAvail = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerData(TTriggerDataEvent handler) {
    FOnTriggerData = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent handler) {
    FOnTriggerStatus = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent handler) {
    FOnTriggerTimer = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler) {
    FOnTriggerLineError = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerModemStatus(TNotifyEvent handler) {
    FOnTriggerModemStatus = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent handler) {
    FOnTriggerOutbuffFree = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent handler) {
    FOnTriggerOutbuffUsed = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerOutSent(TNotifyEvent handler) {
    FOnTriggerOutSent = std::move(handler);
    RefreshEventInterest();
}

void TCustomComPort::FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
    CallEvent(FOnTrigger, static_cast<TObject*>(this), Msg, TriggerHandle, Data);
}
void TCustomComPort::FireTriggerAvail(uint16_t Count) {
    CallEvent(FOnTriggerAvail, static_cast<TObject*>(this), Count);
}
void TCustomComPort::FireTriggerData(uint16_t TriggerHandle) {
    CallEvent(FOnTriggerData, static_cast<TObject*>(this), TriggerHandle);
}
void TCustomComPort::FireTriggerStatus(uint16_t TriggerHandle) {
    CallEvent(FOnTriggerStatus, static_cast<TObject*>(this), TriggerHandle);
}
void TCustomComPort::FireTriggerTimer(uint16_t TriggerHandle) {
    CallEvent(FOnTriggerTimer, static_cast<TObject*>(this), TriggerHandle);
}
void TCustomComPort::FireTriggerLineError(uint16_t Error, bool LineBreak) {
    CallEvent(FOnTriggerLineError, static_cast<TObject*>(this), Error, LineBreak);
}
void TCustomComPort::FireTriggerModemStatus() {
    CallEvent(FOnTriggerModemStatus, static_cast<TObject*>(this));
}
void TCustomComPort::FireTriggerOutbuffFree() {
    CallEvent(FOnTriggerOutbuffFree, static_cast<TObject*>(this));
}
void TCustomComPort::FireTriggerOutbuffUsed() {
    CallEvent(FOnTriggerOutbuffUsed, static_cast<TObject*>(this));
}
void TCustomComPort::FireTriggerOutSent() {
    CallEvent(FOnTriggerOutSent, static_cast<TObject*>(this));
}
void TCustomComPort::FireWaitChar(char C) {
    CallEvent(FOnWaitChar, static_cast<TObject*>(this), C);
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
