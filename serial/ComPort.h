// The serial port component: the application's handle on one serial port.
//
// TCustomComPort holds the port's configuration as properties whether or not the port is
// open. Opening builds a dispatcher (TWin32Dispatcher unless a factory supplies another),
// passes the configuration down and creates a hidden notification window, through which the
// dispatcher's notifications come back as the OnTrigger family of events on the thread that
// opened the port. While the port is open most property changes go straight to the
// dispatcher; closing writes out a running trace and dispatch log, keeps a copy of the
// dispatcher's triggers for the next open and destroys the dispatcher. Every failure reaches
// the caller as an exception of the serial engine's tree (CommErrors.h).
//
// Threads. The component has no lock of its own: every property and operation must be used
// on the thread that opened the port (the main thread), and that thread must retrieve
// platform messages (PumpPendingMessages, or its own message loop), because the events are
// delivered there as window messages while the dispatch thread waits for them.
//
// The header keeps the platform's names to itself: it declares only what it hands out (the
// dispatcher class and window handles), so that code using the component, a GUI toolkit's
// included, never sees <windows.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/Common.h"

class TBaseDispatcher;  // serial/Dispatcher.h
struct SavedTriggerSet;
struct HWND__;  // a window handle, as <windows.h> declares it
typedef HWND__* HWND;

enum TDeviceLayer : uint8_t { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
// A set of the hardware flow bits of Common.h: hwfUseDTR, hwfUseRTS, hwfRequireDSR and
// hwfRequireCTS. Other bits are ignored.
using THWFlowOptionSet = uint32_t;
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortState : uint8_t { psClosed, psClosing, psOpen };

inline constexpr uint32_t MaxTraceSize = 4000000;
inline constexpr uint32_t MaxLogSize = 16000000;
inline constexpr size_t MaxShortString = 255;
// The OptionBits bit that mirrors UseEventWord.
inline constexpr uint32_t UseEventWordBit = 0x10;

// Events; the component is always the first argument.
using TTriggerEvent =
    std::function<void(TObject* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TObject* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TObject* CP, uint16_t Error, bool LineBreak)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TWaitCharEvent = std::function<void(TObject* CP, char C)>;

class TCustomComPort;

// A port user's callback: told of every open (Opening true) and close (false) of the port.
using TPortCallback = std::function<void(TObject* CP, bool Opening)>;
// Supplies the dispatcher for an open instead of the built-in choice; must not return null.
using TDispatcherFactory = std::function<std::unique_ptr<TBaseDispatcher>(TCustomComPort&)>;

class TCustomComPort : public TBaseComponent {
  public:
    // Sets every property to its default; touches no device.
    explicit TCustomComPort(TComponent* owner = nullptr);
    // Closes an open port first (writing a running trace and log); never throws. It may run
    // inside one of the component's own event handlers, or while a close waits; a component
    // being destroyed raises no more events.
    ~TCustomComPort() override;
    TCustomComPort* AsComPort() override { return this; }

    // ---- Published properties. A setter does nothing for an unchanged value (unless
    // ForceApply is set, for the setters that honour it). While the port is open a change is
    // passed to the dispatcher at once; while it is closed it takes effect at the next open.

    // Only dlWin32 is accepted, and only while the port is closed; anything else is ignored.
    TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
    void SetDeviceLayer(TDeviceLayer value);
    // 0: no port chosen. Setting another number on an open port moves the port there,
    // keeping its triggers, avail level and a running trace or log (restarted empty after the
    // old contents were written to their files).
    uint16_t ComNumber() const { return FComNumber; }
    void SetComNumber(uint16_t value);
    // Line format. The value is stored even when passing it down fails.
    int32_t Baud() const { return FBaud; }
    void SetBaud(int32_t value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity value);  // EBadArgument for a value outside pNone..pSpace
    uint16_t DataBits() const { return FDataBits; }
    void SetDataBits(uint16_t value);
    uint16_t StopBits() const { return FStopBits; }
    void SetStopBits(uint16_t value);
    // Whether an open with ComNumber 0 asks the user for a port (else ENoPortSelected).
    bool PromptForPort() const { return FPromptForPort; }
    void SetPromptForPort(bool value) { FPromptForPort = value; }
    // Driver queue sizes; BufferFull and BufferResume are not recomputed on a change.
    uint16_t InSize() const { return FInSize; }
    void SetInSize(uint16_t value);
    uint16_t OutSize() const { return FOutSize; }
    void SetOutSize(uint16_t value);
    // Whether an operation that needs the dispatcher opens a closed port first.
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool value) { FAutoOpen = value; }
    // True from the end of a successful open until a close starts. Setting True while the
    // port is closing only arranges a reopen once the close has finished; while the
    // component is loading, the value is only stored and Loaded() acts on it.
    bool Open() const { return FOpen; }
    void SetOpen(bool value);
    // Line levels. On an open port the new value is kept only when the dispatcher applied it
    // (not while flow control owns the line).
    bool DTR() const { return FDTR; }
    void SetDTR(bool value);
    bool RTS() const { return FRTS; }
    void SetRTS(bool value);
    // Flow control. A non-empty set, or a software mode other than swfNone, first repairs
    // unusable thresholds from InSize (0.9/0.1 of it for hardware, 0.75/0.25 for software).
    // A set with hwfUseRTS or hwfRequireCTS switches RS485Mode off. A refused change keeps the
    // old set or mode (the threshold repair stays).
    THWFlowOptionSet HWFlowOptions() const { return FHWFlowOptions; }
    void SetHWFlowOptions(THWFlowOptionSet value);
    TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
    void SetSWFlowOptions(TSWFlowOptions value);  // EBadArgument outside swfNone..swfBoth
    char XOnChar() const { return FXOnChar; }
    void SetXOnChar(char value);
    char XOffChar() const { return FXOffChar; }
    void SetXOffChar(char value);
    // Flow thresholds: BufferFull above InSize stores 0.9 of InSize, BufferResume above
    // BufferFull stores 0.1 of BufferFull. Both re-apply the current flow options.
    uint16_t BufferFull() const { return FBufferFull; }
    void SetBufferFull(uint16_t value);
    uint16_t BufferResume() const { return FBufferResume; }
    void SetBufferResume(uint16_t value);
    // Trace and dispatch log control. On a closed port only tlOff and tlOn are kept (tlOn
    // starts at the next open); any other value stores tlOff. On an open port tlDump,
    // tlAppend and tlClear are commands and never stay stored.
    TTraceLogState Tracing() const { return FTracing; }
    void SetTracing(TTraceLogState value);
    uint32_t TraceSize() const { return FTraceSize; }
    void SetTraceSize(uint32_t value);  // at most MaxTraceSize; restarts a running trace
    const std::string& TraceName() const { return FTraceName; }
    void SetTraceName(const std::string& value);  // cut to 255 bytes
    bool TraceHex() const { return FTraceHex; }
    void SetTraceHex(bool value) { FTraceHex = value; }
    TTraceLogState Logging() const { return FLogging; }
    void SetLogging(TTraceLogState value);
    uint32_t LogSize() const { return FLogSize; }
    void SetLogSize(uint32_t value);  // at most MaxLogSize; restarts a running log
    const std::string& LogName() const { return FLogName; }
    void SetLogName(const std::string& value);  // cut to 255 bytes
    bool LogHex() const { return FLogHex; }
    void SetLogHex(bool value) { FLogHex = value; }
    // Always reads True.
    bool UseMSRShadow() const { return FUseMSRShadow; }
    virtual void SetUseMSRShadow(bool value);
    bool UseEventWord() const { return FUseEventWord; }
    void SetUseEventWord(bool value);
    uint16_t CommNotificationLevel() const { return FCommNotificationLevel; }
    void SetCommNotificationLevel(uint16_t value);
    // tmOn uses a device handle handed over by the telephony layer; none is ever handed over
    // here, so an open in that mode fails with ENotOpenedByTapi.
    TTapiMode TapiMode() const { return FTapiMode; }
    void SetTapiMode(TTapiMode value);  // EBadArgument outside tmNone..tmOff
    // RS-485 direction control. Switching it on removes hwfUseRTS and hwfRequireCTS from
    // HWFlowOptions and drops RTS.
    bool RS485Mode() const { return FRS485Mode; }
    void SetRS485Mode(bool value);

    // ---- Events. Each setter stores the handler and then tells an open dispatcher whether
    // the component still wants notifications (RefreshEventInterest).
    const TTriggerEvent& OnTrigger() const { return FOnTrigger; }
    void SetOnTrigger(TTriggerEvent handler);
    const TTriggerAvailEvent& OnTriggerAvail() const { return FOnTriggerAvail; }
    void SetOnTriggerAvail(TTriggerAvailEvent handler);
    const TTriggerDataEvent& OnTriggerData() const { return FOnTriggerData; }
    void SetOnTriggerData(TTriggerDataEvent handler);
    const TTriggerStatusEvent& OnTriggerStatus() const { return FOnTriggerStatus; }
    void SetOnTriggerStatus(TTriggerStatusEvent handler);
    const TTriggerTimerEvent& OnTriggerTimer() const { return FOnTriggerTimer; }
    void SetOnTriggerTimer(TTriggerTimerEvent handler);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return FOnTriggerLineError; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent handler);
    const TNotifyEvent& OnTriggerModemStatus() const { return FOnTriggerModemStatus; }
    void SetOnTriggerModemStatus(TNotifyEvent handler);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
    void SetOnTriggerOutbuffFree(TNotifyEvent handler);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent handler);
    const TNotifyEvent& OnTriggerOutSent() const { return FOnTriggerOutSent; }
    void SetOnTriggerOutSent(TNotifyEvent handler);
    // Stored only; nothing raises it.
    const TWaitCharEvent& OnWaitChar() const { return FOnWaitChar; }
    void SetOnWaitChar(TWaitCharEvent handler) { FOnWaitChar = std::move(handler); }

    // ---- Operations the front panel uses.
    // Received bytes waiting; 0 unless the port is open (it never opens the port). Inside an
    // avail or data event, bytes this handler already read are not counted.
    uint16_t InputCount();
    // Takes exactly Count bytes into Buffer, or raises EBufferIsEmpty and takes nothing when
    // fewer are waiting. Count 0 does nothing. Does nothing while the port is closing.
    void ReadBlock(void* Buffer, uint16_t Count);
    // Empties the device's input queue and the input buffer. Does nothing while closing.
    void DiscardInput();
    // Queues one byte for sending and returns without waiting for it to be sent. Does nothing
    // while closing.
    void SendByte(char Ch);
    // Whether the open port's device went away or hung up (a pulled USB adapter, a far end
    // that closed): nothing more arrives until the port is closed and opened again. False
    // while the port is not open.
    bool DeviceLost() const;

    // ---- Other operations.
    // The dispatcher; opens a closed port first when AutoOpen is set and the component is not
    // loading. May return null.
    TBaseDispatcher* ActiveDispatcher();
    // As ActiveDispatcher, but raises ECommNotOpen instead of returning null.
    TBaseDispatcher* RequireDispatcher();
    // The pending line error (1 input overflow, 2 overrun, 3 parity, 4 framing, 9 break), which
    // is cleared; 0 unless open.
    uint16_t LastLineError();
    // Whether a break was received since the last call; False unless open.
    bool LineBreakSeen();
    // Gives up the rest of the time slice to the device layer. Does nothing while closing.
    virtual void YieldToDevice();
    // Copies another port component's configuration, port users and (when it is open) its
    // triggers, as stored values: nothing is passed down, and Open is stored False.
    void Assign(TObject* source) override;
    // Ends loading; opens the port when Open was set True while loading. An open failure is
    // reported through ApplicationHandleException and leaves Open False.
    void Loaded() override;

    // Trace and log commands. Each does nothing while the port is closing and otherwise needs
    // the dispatcher (opening the port when AutoOpen is set). A command that raises leaves
    // Tracing or Logging unchanged.
    void BeginTrace(uint32_t Size = 0);  // Size 0 keeps TraceSize
    void WriteTraceFile(const std::string& Name, bool Hex);
    void AppendTraceFile(const std::string& Name, bool Hex);
    void EmptyTrace();
    void EndTrace();
    void ContinueTrace();
    void HoldTrace();
    void BeginLog(uint32_t Size = 0);  // Size 0 keeps LogSize
    void WriteLogFile(const std::string& Name, bool Hex);
    void AppendLogFile(const std::string& Name, bool Hex);
    void EmptyLog();
    void EndLog();
    void ContinueLog();
    void HoldLog();

    // ---- Port users: told of every open (PortOpenedMsg, or the callback with True, after
    // the open) and close (PortClosingMsg, or False, before the device closes), last
    // registered first; then PortOpenedHandler or PortClosingHandler.
    void RegisterUserWindow(HWND window);
    void DeregisterUserWindow(HWND window);  // every entry of that window
    // Returns an id for DeregisterUserCallback (never 0).
    uint32_t RegisterUserCallback(TPortCallback callback);
    void DeregisterUserCallback(uint32_t id);
    size_t PortUserCount() const { return FPortUsers.size(); }
    const TNotifyEvent& PortOpenedHandler() const { return FPortOpenedHandler; }
    void SetPortOpenedHandler(TNotifyEvent handler) { FPortOpenedHandler = std::move(handler); }
    const TNotifyEvent& PortClosingHandler() const { return FPortClosingHandler; }
    void SetPortClosingHandler(TNotifyEvent handler) { FPortClosingHandler = std::move(handler); }
    // Called on the thread that opened the port, soon after the open port's device went away
    // or hung up (DeviceLost() then reads true); the handler may close the port.
    const TNotifyEvent& DeviceLostHandler() const { return FDeviceLostHandler; }
    void SetDeviceLostHandler(TNotifyEvent handler) { FDeviceLostHandler = std::move(handler); }
    // Replaces the built-in choice of dispatcher at the next open (an empty function restores
    // it).
    void SetDispatcherFactory(TDispatcherFactory factory) {
        FDispatcherFactory = std::move(factory);
    }

    // ---- State.
    TPortState PortState() const { return FPortState; }
    bool ForceApply() const { return FForceApply; }
    uint16_t AvailTriggerLevel() const { return FAvailTriggerLevel; }
    void SetAvailTriggerLevel(uint16_t value);
    uint16_t TapiDeviceHandle() const { return FTapiDeviceHandle; }
    // The dispatcher while the port is open (or a deferred close is finishing); never opens.
    TBaseDispatcher* Dispatcher() const { return FDispatcher.get(); }
    // The hidden notification window while the port is open; null otherwise.
    HWND EventWindow() const { return FEventWindow; }

    // ---- Overridable steps of the open and close sequences and the event raisers.
    virtual std::unique_ptr<TBaseDispatcher> BuildDispatcher();
    virtual void LayerChangedHook() {}
    virtual void OpenLine();
    // True: creates the notification window and registers it with the dispatcher. False:
    // unregisters and destroys it.
    virtual void SetEventWindow(bool create);
    // Makes sure ComNumber names a port, asking the user when allowed; ENoPortSelected else.
    virtual void ResolvePortNumber();
    virtual void FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
    virtual void FireTriggerAvail(uint16_t Count);
    virtual void FireTriggerData(uint16_t TriggerHandle);
    virtual void FireTriggerStatus(uint16_t TriggerHandle);
    virtual void FireTriggerTimer(uint16_t TriggerHandle);
    // Tells an open dispatcher whether any of the ten trigger events is assigned.
    virtual void RefreshEventInterest();
    virtual void FireTriggerLineError(uint16_t Error, bool LineBreak);
    virtual void FireTriggerModemStatus();
    virtual void FireTriggerOutbuffFree();
    virtual void FireTriggerOutbuffUsed();
    virtual void FireTriggerOutSent();
    virtual void FireWaitChar(char C);
    // The close sequence. Closing completes even when writing the trace or log, or a port
    // user, fails; the first such failure is raised afterwards.
    virtual void ShutPort();
    virtual void NotifyPortOpened();
    virtual void NotifyPortClosing();
    // The open sequence; a failure leaves the port closed, Open False and no dispatcher.
    virtual void StartPort();

  private:
    struct TPortUser {
        HWND Window = nullptr;  // not null: a window user
        TPortCallback Callback;
        uint32_t Id = 0;
    };
    class TForceApplyHold;
    // Tells a call that runs the application's code (event handlers, or messages pumped while
    // a close waits) whether this component still exists afterwards: that code may delete it.
    class TLifeWatch {
      public:
        explicit TLifeWatch(const TCustomComPort& port) : FAlive(port.FAlive) {}
        bool Destroyed() const { return !*FAlive; }

      private:
        std::shared_ptr<const bool> FAlive;
    };

    // The notification window's procedure and what it needs of the component.
    struct TEventWindowProcedure;
    // Raises the events of a notification for this component; true when a deferred release
    // has to be tried again later.
    bool HandleNotification(TBaseDispatcher& dispatcher, uint32_t msg, uintptr_t wParam,
                            intptr_t lParam);
    int32_t Check(int32_t code) const;
    bool IsOpen() const { return FPortState == psOpen; }
    bool IsClosing() const { return FPortState == psClosing; }
    void RepairThresholds(double fullFraction, double resumeFraction);
    void ReapplyFlow();
    void MoveToPort(uint16_t number);
    void ReleaseDispatcher();
    void DiscardFailedOpen();
    struct TTraceLogChannel;
    static const TTraceLogChannel TraceChannel;
    static const TTraceLogChannel LogChannel;
    void SetTraceLogState(const TTraceLogChannel& channel, TTraceLogState value);
    void SetTraceLogSize(const TTraceLogChannel& channel, uint32_t value);

    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
    TDeviceLayer FDeviceLayer = dlWin32;
    uint16_t FComNumber = 0;
    int32_t FBaud = 19200;
    bool FPromptForPort = true;
    TParity FParity = pNone;
    uint16_t FDataBits = 8;
    uint16_t FStopBits = 1;
    uint16_t FInSize = 4096;
    uint16_t FOutSize = 4096;
    bool FAutoOpen = true;
    bool FOpen = false;
    bool FDTR = true;
    bool FRTS = true;
    THWFlowOptionSet FHWFlowOptions = 0;
    TSWFlowOptions FSWFlowOptions = swfNone;
    char FXOnChar = 17;
    char FXOffChar = 19;
    uint16_t FBufferFull = 0;
    uint16_t FBufferResume = 0;
    TTraceLogState FTracing = tlOff;
    uint32_t FTraceSize = 10000;
    std::string FTraceName = "K419.TRC";
    bool FTraceHex = true;
    TTraceLogState FLogging = tlOff;
    uint32_t FLogSize = 10000;
    std::string FLogName = "K419.LOG";
    bool FLogHex = true;
    bool FUseMSRShadow = true;
    bool FUseEventWord = true;
    uint16_t FCommNotificationLevel = 10;
    TTapiMode FTapiMode = tmAuto;
    bool FRS485Mode = false;

    TTriggerEvent FOnTrigger;
    TTriggerAvailEvent FOnTriggerAvail;
    TTriggerDataEvent FOnTriggerData;
    TTriggerStatusEvent FOnTriggerStatus;
    TTriggerTimerEvent FOnTriggerTimer;
    TTriggerLineErrorEvent FOnTriggerLineError;
    TNotifyEvent FOnTriggerModemStatus;
    TNotifyEvent FOnTriggerOutbuffFree;
    TNotifyEvent FOnTriggerOutbuffUsed;
    TNotifyEvent FOnTriggerOutSent;
    TWaitCharEvent FOnWaitChar;

    TPortState FPortState = psClosed;
    bool FForceApply = false;
    bool FReopenPending = false;
    bool FOpenAfterLoad = false;
    std::unique_ptr<TBaseDispatcher> FDispatcher;
    HWND FEventWindow = nullptr;
    std::unique_ptr<SavedTriggerSet> FSavedTriggerSet;
    bool FSavedTriggersValid = false;
    std::vector<TPortUser> FPortUsers;
    uint32_t FNextUserId = 1;
    TNotifyEvent FPortOpenedHandler;
    TNotifyEvent FPortClosingHandler;
    TNotifyEvent FDeviceLostHandler;
    TDispatcherFactory FDispatcherFactory;
    uint32_t FSupportedLayers = 1u << dlWin32;
    uint16_t FTapiDeviceHandle = 0;
    uint16_t FAvailTriggerLevel = 1;
};

// The published component: TCustomComPort with nothing added.
class TComPort : public TCustomComPort {
  public:
    using TCustomComPort::TCustomComPort;
};
