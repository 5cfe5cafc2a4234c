// Constants and types shared by the serial engine's units, and the root of its components.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

// ---------------------------------------------------------------------------------------------
// Notification messages. The dispatcher sends the four trigger messages to registered handlers;
// lParam carries the dispatcher's table slot in its high 16 bits and the data word in its low
// 16 bits.

inline constexpr uint32_t TriggerAvailMsg = 0x7E01;   // wParam: bytes announced
inline constexpr uint32_t TriggerDataMsg = 0x7E02;    // wParam: handle; data: text length
inline constexpr uint32_t TriggerTimerMsg = 0x7E03;   // wParam: handle
inline constexpr uint32_t TriggerStatusMsg = 0x7E04;  // wParam: handle; data: output count
inline constexpr uint32_t PortOpenedMsg = 0x7E08;
inline constexpr uint32_t PortClosingMsg = 0x7E09;
inline constexpr uint32_t ReleaseDispatcherMsg = 0x7E0A;
// Posted by the dispatcher to its windows when the open port's device went away or hung up.
inline constexpr uint32_t DeviceLostMsg = 0x7E0B;

// ---------------------------------------------------------------------------------------------
// Flow control: the hardware flow options (THWFlowOptions bits) and the software flow bits.

inline constexpr uint32_t hwfUseDTR = 0x1;
inline constexpr uint32_t hwfUseRTS = 0x2;
inline constexpr uint32_t hwfRequireDSR = 0x4;
inline constexpr uint32_t hwfRequireCTS = 0x8;
inline constexpr uint32_t sfTransmitFlow = 0x1;  // the device stops sending on XOFF
inline constexpr uint32_t sfReceiveFlow = 0x2;   // the device sends XOFF and XON

// ---------------------------------------------------------------------------------------------
// Result codes: 0 or a positive count for success, negative for failure. A code from -2 to
// -162 is a negated operating-system or file error number; the others are the engine's own.

inline constexpr int32_t ecOK = 0;
inline constexpr int32_t ecError = -1;
inline constexpr int32_t ecFileNotFound = -2;
inline constexpr int32_t ecPathNotFound = -3;
inline constexpr int32_t ecTooManyFiles = -4;
inline constexpr int32_t ecAccessDenied = -5;
inline constexpr int32_t ecOutOfMemory = -8;
inline constexpr int32_t ecDiskFull = -101;
inline constexpr int32_t ecDeviceWrite = -160;
inline constexpr int32_t ecDeviceRead = -161;
inline constexpr int32_t ecHardwareFailure = -162;
inline constexpr int32_t ecBadArgument = -1002;
inline constexpr int32_t ecBadId = -2001;
inline constexpr int32_t ecMemory = -2006;
inline constexpr int32_t ecNotOpen = -2007;
inline constexpr int32_t ecAlreadyOpen = -2008;
inline constexpr int32_t ecNoHandles = -2009;
inline constexpr int32_t ecNoPortSelected = -2011;
inline constexpr int32_t ecNotOpenedByTapi = -2012;
inline constexpr int32_t ecNullApi = -3001;
inline constexpr int32_t ecPutBlockFail = -3004;
inline constexpr int32_t ecOutputBufferTooSmall = -3006;
inline constexpr int32_t ecBufferIsEmpty = -3007;
inline constexpr int32_t ecBaseAddressNotSet = -3010;
inline constexpr int32_t ecNoMoreTriggers = -5001;
inline constexpr int32_t ecTriggerTooLong = -5002;
inline constexpr int32_t ecBadTriggerHandle = -5003;

// The version text of the serial components; also heads the dispatch log report.
inline constexpr const char* EngineVersionText = "v2.55";

// ---------------------------------------------------------------------------------------------
// The application's exception handler: where a failure ends up that no caller can receive,
// such as one raised by an event handler inside the serial components' notification window, or
// by an open that Loaded() starts. The default writes "Error: <message>" to stderr; a GUI
// installs one that shows the message to the user. The program runs on either way.

using TApplicationExceptionHandler = std::function<void(const std::exception&)>;
// Installs the handler for the whole process; an empty function restores the default.
void SetApplicationExceptionHandler(TApplicationExceptionHandler handler);
// Reports e through the installed handler. Never throws: a failing handler is ignored.
void ApplicationHandleException(const std::exception& e);
// Reports a captured exception the same way; one that is no std::exception is reported with
// the message unknownText.
void ApplicationHandleException(std::exception_ptr failure, const char* unknownText);
// The message of a handler failure that is no std::exception.
inline constexpr const char* UnknownHandlerFailure = "Unknown exception in an event handler";
// Whether the calling thread is the program's main thread (the one that started the program).
bool IsMainThread();

// ---------------------------------------------------------------------------------------------
// State and command type of a component's trace and dispatch log. tlDump, tlAppend and
// tlClear are commands: a stored state never keeps them.

enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

// ---------------------------------------------------------------------------------------------
// A toolkit-free stand-in for the windowing toolkit's object and component classes, so that the
// serial components carry owner, name, tag and loading state without depending on a GUI.

class TObject {
  public:
    virtual ~TObject() = default;
};

class TComponent : public TObject {
  public:
    // The owner is a plain reference: it does not destroy this component.
    explicit TComponent(TComponent* owner = nullptr) : FOwner(owner) {}
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    int32_t Tag() const { return FTag; }
    void SetTag(int32_t tag) { FTag = tag; }

    // True while a stored form description is being read into the component; set by the reader
    // before the first property and cleared by Loaded().
    bool Loading() const { return FLoading; }
    void SetLoading(bool loading) { FLoading = loading; }

    // Copies what the class knows how to copy from source; the base copies nothing.
    virtual void Assign(TObject* source);
    // Called once the form description has been read; ends the loading state.
    virtual void Loaded();

  private:
    TComponent* FOwner;
    std::string FName;
    int32_t FTag = 0;
    bool FLoading = false;
};

class TCustomComPort;

// Root of the serial components.
class TBaseComponent : public TComponent {
  public:
    using TComponent::TComponent;

    // This component as a port, or null; asked for every notification delivered, so a virtual
    // call rather than a cast through the run-time type information.
    virtual TCustomComPort* AsComPort() { return nullptr; }

    // Always "v2.55"; writes are ignored.
    std::string EngineVersion() const { return EngineVersionText; }
    void SetEngineVersion(const std::string&) {}
};
