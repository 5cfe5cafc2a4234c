// The dispatcher: the per-port engine between the serial port component and a device layer.
//
// A TBaseDispatcher owns the 8192-byte dispatch buffer that received bytes wait in, the
// storage of the output ring, the line settings and status shadows, the notification handler
// lists and trigger tables, the byte trace and the dispatch log. It never touches the device
// itself: every device access goes through the seventeen virtual operations, which a device
// layer (TWin32Dispatcher) implements, together with its event, dispatch and output threads.
//
// Threads. The component calls in on the main thread; the device layer's dispatch thread runs
// FillDispatchBuffer and the checks (ProcessDeviceEvent, PeriodicCheck) and delivers
// notifications; its output thread drains the output ring. Three re-entrant locks guard the
// state: InputLock (dispatch buffer), OutputLock (output ring, line status record) and
// DispatcherLock (everything else). A thread holding InputLock may take OutputLock or
// DispatcherLock, and one holding DispatcherLock may take OutputLock; never the other way
// round. No lock is held while a notification handler runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteRing.h"
#include "serial/Common.h"

// ---------------------------------------------------------------------------------------------
// The line settings record's flag word and baud rate codes, as the dispatcher's line settings
// and flow control use them.

// The DCB flag word: the bits of the record's flag fields, in Win32 order.
inline constexpr uint32_t dcbOutxCtsFlow = 0x0004;
inline constexpr uint32_t dcbOutxDsrFlow = 0x0008;
inline constexpr uint32_t dcbDtrEnable = 0x0010;
inline constexpr uint32_t dcbDtrHandshake = 0x0020;
inline constexpr uint32_t dcbOutX = 0x0100;
inline constexpr uint32_t dcbInX = 0x0200;
inline constexpr uint32_t dcbRtsEnable = 0x1000;
inline constexpr uint32_t dcbRtsHandshake = 0x2000;
inline constexpr uint32_t dcbRtsToggle = 0x3000;
uint32_t DcbFlags(const DCB& dcb);
void SetDcbFlags(DCB& dcb, uint32_t flags);

// 0xFEFF gives 115200; 0xFF10..0xFF27 give the rate of the classic baud rate codes where one is
// defined; any other value is returned unchanged.
int32_t BaudValue(int32_t code);

// The communications escape function with which the serial driver of the systems before NT
// hands over the UART's I/O base address (RS-485 direction control); no other system has it.
inline constexpr DWORD EscapeGetBaseAddress = 10;

// ---------------------------------------------------------------------------------------------
// Notification handlers and trigger records of the dispatcher, and the matching of received
// characters against a data trigger's text.

inline constexpr uint32_t MaxTriggerLength = 22;

// Status trigger kinds; a status trigger's handle carries its kind in its low three bits.
enum : int32_t {
    stNotActive = 0,
    stModem = 1,
    stLine = 2,
    stOutBuffFree = 3,
    stOutBuffUsed = 4,
    stOutSent = 5,
};
inline int32_t StatusKindOf(int32_t handle) { return handle & 7; }

// A procedure handler: called with the message number, wParam and lParam.
using TNotifyProc = void (*)(uint32_t Msg, uint32_t wParam, int32_t lParam);

// A method handler: code plus the object it is called with. Two methods are the same handler
// when both parts are equal. MakeNotifyMethod<&T::Member>(object) builds one from a member
// function void T::Member(uint32_t Msg, uint32_t wParam, int32_t lParam).
struct TNotifyMethod {
    void (*Code)(void* Object, uint32_t Msg, uint32_t wParam, int32_t lParam) = nullptr;
    void* Object = nullptr;

    explicit operator bool() const { return Code != nullptr; }
    bool operator==(const TNotifyMethod&) const = default;
    void operator()(uint32_t Msg, uint32_t wParam, int32_t lParam) const {
        Code(Object, Msg, wParam, lParam);
    }
};

template <auto Member, class T>
TNotifyMethod MakeNotifyMethod(T* object) {
    return {
        [](void* o, uint32_t m, uint32_t w, int32_t l) { (static_cast<T*>(o)->*Member)(m, w, l); },
        object};
}

struct TNotifyWindowRecord {
    HWND Window = nullptr;
    bool Deleted = false;
};
struct TNotifyProcRecord {
    TNotifyProc Proc = nullptr;
    bool Deleted = false;
};
struct TNotifyMethodRecord {
    TNotifyMethod Method;
    bool Deleted = false;
    bool Synchronised = false;  // run on the main thread through SyncCall
};

// ---------------------------------------------------------------------------------------------
// Trigger records. They are copied whole when the component saves and restores its triggers.
// A handle of 0 marks a record removed during a delivery; it is freed when the delivery ends.

struct TTimerTrigger {
    int32_t Handle = 0;
    int32_t StartTicks = 0;   // clock / 55 ms when armed
    int32_t ExpireTicks = 0;  // StartTicks + Ticks
    int32_t Ticks = 0;        // the interval last set
    int32_t Reserved = 0;
    int32_t Armed = 0;
};
static_assert(sizeof(TTimerTrigger) == 24);

struct TDataTrigger {
    int32_t Handle = 0;
    uint32_t Length = 0;  // of Text; 0: idle
    uint32_t Matches[MaxTriggerLength] = {};
    uint32_t Matched = 0;  // all ones once the text has arrived, until it is notified
    int32_t IgnoreCase = 0;
    char Text[24] = {};  // upper case when IgnoreCase is set
};
static_assert(sizeof(TDataTrigger) == 128);

struct TStatusTrigger {
    int32_t Handle = 0;
    int32_t Kind = stNotActive;
    // stModem: high byte selects modem status bits, low byte holds the levels that do not fire;
    // stLine: line error bits; stOutBuffFree / stOutBuffUsed: the byte count threshold.
    uint16_t Value = 0;
    uint8_t Armed = 0;
    uint8_t Fired = 0;  // fired in the current sweep
};
static_assert(sizeof(TStatusTrigger) == 12);

// What the component keeps of a dispatcher's triggers between a close and the next open.
struct SavedTriggerSet {
    uint32_t AvailLevel = 0;
    std::unique_ptr<std::vector<TTimerTrigger>> Timers;
    std::unique_ptr<std::vector<TDataTrigger>> Data;
    std::unique_ptr<std::vector<TStatusTrigger>> Status;
};

// Feeds one received character to a data trigger's match state (one partial-match position
// per slot, 0 = idle). Returns true when text (length bytes, upper case when ignoreCase) has
// just been completed; then every position is reset. Overlapping occurrences are found.
bool AdvanceMatch(uint32_t (&state)[MaxTriggerLength], uint8_t ch, uint32_t length, bool ignoreCase,
                  const char* text);

// Frees the set's three lists and marks them absent.
void FreeSavedTriggers(SavedTriggerSet& set);

// ---------------------------------------------------------------------------------------------
// The dispatcher's byte trace: a circular buffer of (tag, byte) pairs written on request as a
// readable report, plus the text file and byte formatting that the dispatch log shares.

// The text of one traced or logged data byte; its length is the column width it takes.
// Printable bytes 0x20..0x7E stand for themselves, except that the hexadecimal form shows a
// space as "[20]"; any other byte is "[" + two upper-case hex digits + "]" in hexadecimal
// form, or "[" + its decimal value + "]" in decimal form.
std::string FormatTraceByte(uint8_t byte, bool hex);

// The negated file error number (2..162, the numbering of the message table) for an errno value
// of the C++ library seen while opening (creating is true when the file is being created) or
// writing a file.
int32_t FileErrorCode(int error, bool creating);

// A text file written through a 512-byte buffer, with CR LF line ends. Errors of any write
// are remembered and returned by Close().
class TTextFile {
  public:
    TTextFile() = default;
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;
    ~TTextFile();  // closes a file still open, dropping its error

    // Opens for appending when append is set and the file exists, else creates or truncates.
    // Returns 0 or a negated file error number.
    int32_t Open(const char* fileName, bool append);
    void Write(std::string_view text);
    void EndLine();
    // Hands what the buffer holds to the file at once.
    void Flush();
    // Flushes and closes; 0, or the negated error number of the first failed write or of the
    // close.
    int32_t Close();

  private:
    std::FILE* FFile = nullptr;
    int FWriteError = 0;
    char FBuffer[512];
};

// The trace buffer. Not synchronised: the dispatcher calls every operation under its
// DispatcherLock; TraceOn() may be read without it as a hint.
class TTraceBuffer {
  public:
    static constexpr uint32_t MaxTraceEntries = 4000000;

    // Starts tracing. An existing buffer is emptied and size is ignored; otherwise a buffer of
    // size entries is allocated (size 0: tracing is on but records nothing). A size above
    // MaxTraceEntries returns -1002 and changes nothing; a failed allocation returns -8.
    int32_t OpenTraceBuffer(uint32_t size);
    // Empties the buffer; tracing state unchanged. Returns 0.
    int32_t ClearTrace();
    // Stops tracing and frees the buffer.
    void AbortTrace();
    // Restarts recording if a buffer exists.
    void ResumeTrace();
    // Stops recording and keeps the buffer.
    void PauseTrace();
    // Stores one pair when a buffer exists, overwriting the oldest once the buffer has filled.
    // Does not look at TraceOn(): callers record only while it is set.
    void RecordTracePair(char tag, uint8_t byte);
    // Writes the report (see the implementation for the layout) and, whenever a buffer exists,
    // ends tracing and frees it. An empty trace writes no file. Returns 0 or a negated file
    // error number.
    int32_t WriteTraceReport(const char* fileName, bool append, bool hex);

    bool TraceOn() const { return FTraceOn.load(std::memory_order_relaxed); }
    bool HasBuffer() const { return FBuffer != nullptr; }
    uint32_t TraceCapacity() const { return FCapacity; }
    uint32_t TraceIndex() const { return FIndex; }
    bool TraceWrapped() const { return FWrapped; }

  private:
    std::atomic<bool> FTraceOn{false};
    std::unique_ptr<uint8_t[]> FBuffer;  // FCapacity pairs of tag, byte
    uint32_t FIndex = 0;
    uint32_t FCapacity = 0;
    bool FWrapped = false;
};

// ---------------------------------------------------------------------------------------------
// The dispatch log: time-stamped entries of what a dispatcher did, kept in a circular byte
// buffer that discards its oldest whole entries when full, and written on request as a
// fixed-column text report.

// Kinds and sub-kinds of the entries a dispatcher makes (the message table has their texts).
enum : uint8_t {
    lkDispatch = 1,
    lkTrigger = 2,
    lkTrgHdAlc = 7,
    lkTrgHdDsp = 8,
    lkTrDatChg = 9,
};
enum : uint8_t {
    lsReadCom = 1,
    lsWriteCom = 2,
    lsAvail = 5,
    lsTimer = 6,
    lsData = 7,
    lsStatus = 8,
    lsAvailLevel = 16,
    lsWindow = 17,
    lsProcedure = 18,
    lsMethod = 19,
};

// The fixed part of an entry as stored in the buffer (16 bytes, host byte order).
struct TLogEntryHeader {
    uint8_t Kind = 0;
    uint8_t SubKind = 0;
    uint16_t Reserved = 0;
    uint32_t Time = 0;  // milliseconds since the port was opened
    uint32_t Value = 0;
    uint32_t Length = 0;  // data bytes that follow the header
};
static_assert(sizeof(TLogEntryHeader) == 16);

// "0001.234" for 1234 ms: at least seven digits, a point before the last three.
std::string LogTimeText(uint32_t ms);

// The report's "Operating system" text (at most 80 characters): the platform named from the
// version record, major "." minor, a space and the service pack text.
std::string LogPlatformText();

// The report's "Compiler" text: the compiler's name and major version.
std::string LogCompilerText();

// The log buffer. Not synchronised: the dispatcher calls every operation under its
// DispatcherLock; LogOn() may be read without it as a hint.
class TDispatchLog {
  public:
    // Starts logging with a buffer of size bytes. An existing buffer is only emptied; size is
    // ignored and the on/paused state kept. Returns 0, or -8 when the buffer cannot be
    // allocated.
    int32_t OpenLogBuffer(uint32_t size);
    void ClearLog();
    // Stops logging and frees the buffer.
    void AbortLog();
    void ResumeLog();  // restarts recording if a buffer exists
    void PauseLog();

    // Stores the entry whole, discarding the oldest entries to make room, or not at all when
    // it is larger than the whole buffer. Callers add entries only while LogOn() is set.
    void AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data,
                     uint32_t length, uint32_t timeMs);
    // Takes the oldest entry out of the log. Returns true (and takes nothing) when the log is
    // empty.
    bool TakeLogEntry(TLogEntryHeader& header, std::vector<uint8_t>& data);

    // Writes the report and discards the log. An absent or empty log writes no file and
    // returns 0. A file that cannot be opened returns its negated error number and keeps the
    // log (logging stays off); otherwise the result is that of closing the file.
    int32_t WriteLogReport(const char* fileName, bool append, bool hex);

    bool LogOn() const { return FLogOn.load(std::memory_order_relaxed); }
    bool HasBuffer() const { return FRing.Allocated(); }
    bool Empty() const { return FRing.Empty(); }
    uint32_t LogCapacity() const { return static_cast<uint32_t>(FRing.Capacity()); }
    uint32_t LogFree() const { return static_cast<uint32_t>(FRing.Free()); }

  private:
    bool PutLogBytes(const void* source, uint32_t length);

    std::atomic<bool> FLogOn{false};
    TByteRing FRing;                // entries, oldest at the tail
    std::vector<uint8_t> FScratch;  // receives the data of discarded entries
};

// ---------------------------------------------------------------------------------------------
// The dispatcher.

class TBaseDispatcher;
class TDispatcherThread;  // a worker thread of the device layer

inline constexpr uint32_t DispatchBufferSize = 8192;
// Reads of the device one receive event may run back to back while handlers keep taking bytes.
inline constexpr uint32_t ReceiveRounds = 8;

// Device event mask bits, as the device layer's event thread reports them.
inline constexpr uint32_t ModemEventBits = 0x2138;  // CTS, DSR, RLSD, ring, ring trailing edge
inline constexpr uint32_t LineEventBits = 0x00C0;   // break, error
inline constexpr uint32_t ReceiveEventBit = 0x0001;

// The line error bits the dispatcher accumulates (CE_ bits up to break).
inline constexpr uint32_t LineErrorBits = 0x1F;
// How long a delivery waits for a window to handle a notification, in milliseconds.
inline constexpr uint32_t NotificationSendLimit = 3000;

// ---------------------------------------------------------------------------------------------
// The process-wide table of live dispatchers. A dispatcher takes the first empty slot when it is
// built and frees it when it is destroyed; its slot (DispatcherIndex) never changes while it
// lives and travels in the high 16 bits of every notification. The table and its lock are
// created on first use and live until the end of the program, after every dispatcher.

// Re-entrant; hold it while reading the table or using a dispatcher found there.
CRITICAL_SECTION& DispatcherTableLock();
// The slots; an empty slot holds nullptr. Hold DispatcherTableLock while reading it.
std::vector<TBaseDispatcher*>& DispatcherTable();
// The dispatcher in slot index, or nullptr when there is none. Hold DispatcherTableLock.
TBaseDispatcher* DispatcherInSlot(int32_t index);

// A scoped hold of a CRITICAL_SECTION.
class TCriticalSectionHold {
  public:
    explicit TCriticalSectionHold(CRITICAL_SECTION& section) : FSection(section) {
        EnterCriticalSection(&FSection);
    }
    ~TCriticalSectionHold() { LeaveCriticalSection(&FSection); }
    TCriticalSectionHold(const TCriticalSectionHold&) = delete;
    TCriticalSectionHold& operator=(const TCriticalSectionHold&) = delete;

  private:
    CRITICAL_SECTION& FSection;
};

// ---------------------------------------------------------------------------------------------

class TBaseDispatcher {
  public:
    // Enters the dispatcher table; touches no device. owner may be null (a port probe).
    explicit TBaseDispatcher(TBaseComponent* owner);
    // Leaves the table and frees the buffers and records. It can no longer reach the device
    // operations, so a device layer's destructor must call ClosePort() itself.
    virtual ~TBaseDispatcher();
    TBaseDispatcher(const TBaseDispatcher&) = delete;
    TBaseDispatcher& operator=(const TBaseDispatcher&) = delete;

    // ---- Device operations, in slot order. Results are 0 or a count, or a negative code.
    // Performs a line control code: 3 set RTS, 4 clear RTS, 5 set DTR, 6 clear DTR.
    virtual int32_t LineFunction(int32_t code) = 0;
    // Discards the driver's output (0) or input (any other value) queue.
    virtual int32_t PurgeQueue(int32_t which) = 0;
    // Reads and clears the device's error bits and fills status; its output count is the
    // number of bytes in the output ring. Returns the error bits.
    virtual uint32_t ReadLineStatus(COMSTAT& status) = 0;
    // Told (with -1) that a device read returned a negative count.
    virtual int32_t NoteReadError(int32_t code) = 0;
    virtual int32_t FetchLineSettings(DCB& dcb) = 0;
    // Reads at most count received bytes without waiting; returns the count read.
    virtual int32_t ReadDevice(uint8_t* dest, uint32_t count) = 0;
    virtual int32_t ApplyLineSettings(DCB& dcb) = 0;
    // Copies count bytes into the output ring (the caller has made room, under OutputLock) and
    // wakes the output thread. Returns count, or 0 or a negative count on failure.
    virtual int32_t QueueOutput(const uint8_t* data, uint32_t count) = 0;
    virtual bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) = 0;
    virtual bool SizeDeviceQueues(uint32_t inSize, uint32_t outSize) = 0;
    // Stops the threads if they run and frees the output ring and dispatch buffer.
    virtual void ReleasePort();
    virtual void StartThreads() = 0;
    // Stops the threads and closes the six signals.
    virtual void StopThreads() = 0;
    // Opens the device; returns its handle (positive), -8 when it cannot create its own signals,
    // or another negative value on failure (the reason in GetLastError()).
    virtual intptr_t OpenDevice(const char* name, uint32_t inSize, uint32_t outSize) = 0;
    virtual int32_t CloseDevice() = 0;
    virtual int32_t YieldTime() = 0;
    // 0 recomputes delivery from the handler lists and the component's interest; 1: the
    // component has trigger events; 2: it has none. Other values change nothing.
    virtual void SetDeliveryMode(int32_t mode);

    // ---- Open and close.
    // Opens the device and prepares the dispatcher: queues, buffers, lines (dtr, rts), line
    // settings (parity codes 0..4, dataBits 5..8, stopBits 1 or 2), empty triggers, tracing and
    // logging off; starts the threads last. Returns 0, or a negative code after closing again.
    int32_t OpenPort(const char* name, int32_t baud, uint16_t parity, uint16_t dataBits,
                     uint16_t stopBits, uint32_t inSize, uint32_t outSize, bool dtr, bool rts);
    // Discards pending output and input and closes the device. During a delivery the release
    // of threads and buffers waits for the dispatch thread's end (ClosePending).
    void ClosePort();
    // Sizes the driver queues: 0, or the negated operating-system error.
    int32_t SetupQueues(uint32_t inSize, uint32_t outSize);
    // Run on the main thread when a worker thread has ended: forgets it, finishes a deferred
    // release, and clears ThreadsRunning when it was the last one.
    void ThreadEnded(TDispatcherThread* thread);

    // ---- Input.
    // Bytes waiting; while a data or avail notification is delivered, less what the running
    // handler has already taken.
    uint32_t InputUsed();
    // Takes exactly count bytes into dest, or returns -3007 and takes nothing. During a data
    // or avail notification the bytes are read from where the running handler left off and
    // stay in the buffer until the delivery ends.
    int32_t TakeInput(uint8_t* dest, uint32_t count);
    // Discards the driver's input queue and everything waiting (during a notification, once
    // it ends). Returns PurgeQueue's result.
    int32_t FlushInput();
    // Moves bytes from the device into the dispatch buffer without ever overwriting a waiting
    // byte; what does not fit stays in the driver. True when the device reported bytes or the
    // buffer is full. Dispatch thread.
    bool FillDispatchBuffer();

    // ---- Output.
    // Queues count bytes whole: 0, -3006 when the ring lacks room, -3010 when RS-485 on a
    // platform without direct UART access has no UART address, -3004 when queuing failed.
    int32_t PutOutput(const uint8_t* data, uint32_t count);
    int32_t PutOutputByte(uint8_t byte);
    uint32_t OutputUsed();
    uint32_t OutputFree();
    int32_t FlushOutput();

    // ---- Status.
    void RefreshLineStatus();
    // The modem status byte before masking (lines 0xF0, deltas 0x0F); then keeps only mask.
    uint8_t ReadModemStatus(uint8_t mask);
    // Sets the delta bit of every modem line that changed since the last read.
    void RefreshModemDeltas();
    // The most important pending line error (1 overrun of the input queue, 2 overrun, 3 parity,
    // 4 framing, 9 break, 0 none); clears the four error bits when one is returned.
    int32_t TakeLineError();
    // Whether a break was received; clears the flag.
    bool TakeLineBreak();
    void SetOptionBits(uint32_t bits);
    void ClearOptionBits(uint32_t bits);

    // ---- Line settings and flow control.
    // Changes the line format; 0 baud, parity 5, dataBits 9 and stopBits 3 keep a value. An
    // unchanged format touches nothing; a change first lets pending output drain. -1002 for a
    // parity above 5 or dataBits outside 5..9.
    int32_t SetLineSettings(int32_t baud, uint16_t parity, uint16_t dataBits, uint16_t stopBits);
    int32_t GetLineSettings(int32_t& baud, uint16_t& parity, uint16_t& dataBits,
                            uint16_t& stopBits);
    // Waits until the output has drained (at most about 10 s), then for 18 character times.
    void DrainBeforeLineChange();
    // Writes dcb and re-applies the requested DTR and RTS levels.
    int32_t CommitLineSettings(DCB& dcb);
    // 1 while flow control owns the line; -1002 when the line function failed.
    int32_t SetDtrLine(bool on);
    int32_t SetRtsLine(bool on);
    int32_t SetHardwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int32_t SetSoftwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int32_t ClearSoftwareFlow();
    int32_t SetFlowChars(uint8_t xon, uint8_t xoff);
    int32_t GetFlowSettings(uint32_t& hwOptions, uint32_t& swOptions, uint8_t& xon, uint8_t& xoff);
    void SetRs485(bool on);

    // ---- Handlers and triggers.
    void AddNotifyWindow(HWND window);
    void RemoveNotifyWindow(HWND window);
    void AddNotifyProc(TNotifyProc proc);
    // 0, or -1002 when proc is not registered.
    int32_t RemoveNotifyProc(TNotifyProc proc);
    void AddNotifyMethod(TNotifyMethod method, bool synchronised = false);
    int32_t RemoveNotifyMethod(TNotifyMethod method);

    void SetAvailLevel(uint32_t level);
    uint32_t AvailLevel();
    // A new data trigger for text (1..22 bytes; matched without regard to ASCII case when
    // ignoreCase is set). Returns its handle, -1002 for an empty text, -5002 for a longer one
    // or -5001 when no handle is left.
    int32_t AddDataTrigger(const char* text, bool ignoreCase);
    // A new, disarmed timer trigger; its handle or -5001.
    int32_t AddTimerTrigger();
    // Arms (activate) or disarms the timer to expire ticks 55 ms ticks from now.
    int32_t SetTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    // A new, disarmed status trigger of kind 1..5; its handle (kind in the low three bits),
    // -1002 for another kind or -5001.
    int32_t AddStatusTrigger(int32_t kind);
    int32_t SetStatusTrigger(int32_t handle, uint16_t value, bool activate);
    // 0, or -5003 for an unknown handle. During a delivery the record is only marked.
    int32_t RemoveTrigger(int32_t handle);
    void ClearAllTriggers();
    void SnapshotTriggers(SavedTriggerSet& set);
    void ReinstateTriggers(const SavedTriggerSet& set);

    // ---- Checks and delivery (dispatch thread).
    // Runs the checks that follow a device event with this mask, then signals EventDoneSignal.
    // Returns false, without signalling, when a close during a delivery stopped the checks.
    bool ProcessDeviceEvent(uint32_t mask);
    // The receive part of it: fills the buffer from the device and runs the status and data
    // checks, again while handlers take bytes and the device holds more. False when a close
    // during a delivery stopped the checks.
    bool ProcessReceivedData();
    // Asks the dispatch thread to fill and check again without a device event: room was made
    // outside a delivery, or a recipient was added (reannounce: waiting bytes are announced
    // again, since an announcement made while nobody was registered reached nobody).
    void RequestDataRecheck(bool reannounce);
    // The dispatch thread's side of it, after each of its waits.
    void RecheckReceivedData();
    // The checks after every wait of the dispatch thread: status and timer triggers.
    void PeriodicCheck();
    // Whether PeriodicCheck has anything to look at: an armed timer or status trigger. Without
    // one the dispatch thread need not wake up between device events.
    bool PeriodicCheckNeeded();
    // The data and avail checks: feeds the bytes from the scan position on to the data
    // triggers and delivers the first match (an avail notification for the bytes ahead of it
    // first), or, having reached the head, an avail notification for what is waiting.
    bool CheckDataTriggers();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    // Delivers one notification to every handler; false when a close stopped it, or for an
    // avail notification when the handlers did not take exactly the bytes announced.
    bool DeliverNotification(uint32_t message, uint32_t wParam, uint16_t data);

    // ---- Trace and log.
    int32_t OpenTraceBuffer(uint32_t size);
    int32_t ClearTrace();
    void AbortTrace();
    void ResumeTrace();
    void PauseTrace();
    void RecordTracePair(char tag, uint8_t byte);
    int32_t WriteTraceReport(const char* fileName, bool append, bool hex);
    int32_t OpenLogBuffer(uint32_t size);
    void ClearLog();
    void AbortLog();
    void ResumeLog();
    void PauseLog();
    void AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data = nullptr,
                     uint32_t length = 0);
    int32_t WriteLogReport(const char* fileName, bool append, bool hex);
    bool TraceOn() const { return Trace.TraceOn(); }
    bool LogOn() const { return Log.LogOn(); }

    // ---- Seams.
    // The millisecond clock for timer triggers, log time stamps and OpenTime; timeGetTime by
    // default.
    void SetClock(std::function<uint32_t()> clock);
    // The sleep used while waiting for a line change; Sleep by default.
    void SetSleeper(std::function<void(uint32_t ms)> sleeper);
    // The modem line bits (0xF0) of the device; GetCommModemStatus by default.
    void SetModemStatusReader(std::function<uint8_t()> reader);

    // Runs a synchronised method handler on the main thread and waits for it; set by the device
    // layer. Without it such handlers run directly on the delivering thread.
    std::function<void(uint32_t Msg, uint32_t wParam, int32_t lParam, const TNotifyMethod&)>
        SyncCall;
    // Hands an exception that a method or procedure handler raised to the application's
    // exception handler on the thread that opened the port, without waiting for it; set by the
    // device layer. Without it the failure is reported at once, on the delivering thread.
    std::function<void(std::exception_ptr failure)> ReportHandlerFailure;
    // Sets the output thread's priority when RS-485 direction control changes (true: highest);
    // set by the device layer.
    std::function<void(bool highest)> SetOutputThreadPriority;
    // Called when a timer or status trigger has been armed (also by ReinstateTriggers), so that
    // a dispatch thread asleep for want of periodic work resumes the periodic checks; set by
    // the device layer.
    std::function<void()> WakeForPeriodicCheck;

    // ---- State the component, its window and the device layer read.
    TBaseComponent* const Owner;
    int32_t DispatcherIndex = -1;
    intptr_t DeviceHandle = -1;  // negative: not open
    std::atomic<bool> InNotification{false};
    std::atomic<bool> ClosePending{false};
    std::atomic<bool> ThreadsRunning{false};
    // The device went away or hung up while open: its event wait failed and no further events
    // will come. Set by the device layer; the port must be closed and opened again. When the
    // event thread has ended for this reason, the registered windows are posted DeviceLostMsg.
    std::atomic<bool> DeviceLost{false};

    HANDLE DeviceHandleValue() const { return reinterpret_cast<HANDLE>(DeviceHandle); }
    uint32_t InQueueSize = 0;
    uint32_t OutQueueSize = 0;

  protected:
    uint32_t RingCount() const { return static_cast<uint32_t>(DispatchBuffer.Count()); }
    uint32_t CurrentMillis() const { return FClock ? FClock() : timeGetTime(); }
    // Whether the platform keeps programs from the UART's registers (NT and later, and POSIX);
    // read from the version record at construction.
    bool PlatformIsNT() const { return FPlatformIsNT; }
    void SetPlatformIsNT(bool nt) { FPlatformIsNT = nt; }

    std::atomic<uint32_t> LineErrors{0};
    uint32_t ModemStatusShadow = 0;  // under DispatcherLock
    COMSTAT LineStatus{};            // under OutputLock
    DCB LineSettings{};              // under DispatcherLock
    int32_t CurrentBaud = 0;
    uint32_t OptionBits = 0;
    // Requested DTR and RTS levels, and whether hardware flow control owns the line.
    std::atomic<bool> DtrState{false}, DtrByFlow{false}, RtsState{false}, RtsByFlow{false};
    std::atomic<bool> Rs485{false};
    uint16_t UartBaseAddress = 0;
    bool EventsAssigned = false;  // under DispatcherLock
    bool DeliveryOn = false;      // under DispatcherLock

    std::vector<TNotifyWindowRecord> NotifyWindows;  // lists and triggers under DispatcherLock
    std::vector<TNotifyProcRecord> NotifyProcs;
    std::vector<TNotifyMethodRecord> NotifyMethods;
    std::vector<TTimerTrigger> TimerTriggers;
    std::vector<TDataTrigger> DataTriggers;
    std::vector<TStatusTrigger> StatusTriggers;

    // Bookkeeping of the dispatch thread's checks. Positions are counts of bytes since the
    // open rather than buffer indices, so that a position reached again after exactly 8192
    // bytes is still told apart; a count modulo 8192 is the buffer index.
    uint32_t AvailLevelValue = 0;  // under DispatcherLock
    bool StatusFired = false;
    uint64_t ArrivedCount = 0;      // bytes ever stored (written under InputLock)
    uint64_t ScannedCount = 0;      // the scan position: bytes examined for data triggers
    uint64_t AvailPostedCount = 0;  // ScannedCount of the last avail notification
    bool ScanCharFed = false;       // the byte at the scan position went through the matchers
    bool AvailUnheard = false;      // the last avail notification had no recipient
    bool RelativeReads = false;     // under InputLock
    uint32_t TakenByHandler = 0;    // under InputLock
    uint32_t MostTaken = 0;         // under InputLock

    std::atomic<bool> ThreadsMustStop{false};
    TDispatcherThread* ComThread = nullptr;
    TDispatcherThread* DispThread = nullptr;
    TDispatcherThread* OutThread = nullptr;

    CRITICAL_SECTION DispatcherLock;
    CRITICAL_SECTION OutputLock;
    CRITICAL_SECTION InputLock;

    // The six signals (INVALID_HANDLE_VALUE when closed) and the two pairs the output thread
    // waits on.
    HANDLE DeviceEventSignal = INVALID_HANDLE_VALUE;
    HANDLE EventDoneSignal = INVALID_HANDLE_VALUE;
    HANDLE ThreadAckSignal = INVALID_HANDLE_VALUE;
    HANDLE OutputPendingSignal = INVALID_HANDLE_VALUE;
    HANDLE WriteDoneSignal = INVALID_HANDLE_VALUE;
    HANDLE OutputFlushSignal = INVALID_HANDLE_VALUE;
    HANDLE OutputWaitSignals[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};  // pending, flush
    HANDLE WriteWaitSignals[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};   // done, flush
    DWORD LastEventMask = 0;
    std::atomic<bool> RingEdgeSeen{false};

    TByteRing OutRing;  // OutQueueSize bytes, under OutputLock

    // DispatchBufferSize bytes, under InputLock. Only the dispatch thread stores into it, and
    // it reads the stored bytes for the data triggers without the lock.
    TByteRing DispatchBuffer;

    bool PurgePending = false;  // under DispatcherLock
    std::atomic<bool> OutputSent{false};

    TTraceBuffer Trace;  // under DispatcherLock
    TDispatchLog Log;    // under DispatcherLock
    uint32_t OpenTime = 0;

    std::atomic<bool> ReleaseOnThreadEnd{false};
    std::atomic<bool> DataRecheckPending{false};
    std::atomic<bool> AvailReannounce{false};
    LONG volatile LiveThreadCount = 0;  // interlocked operations only

  private:
    // Creates the six signals; false, with none left open, when one cannot be made.
    bool CreateSignals();
    void CloseSignals();
    // The steps of OpenPort.
    void ForgetEarlierOpen();
    int32_t OpenDeviceNamed(const char* name, uint32_t inSize, uint32_t outSize);
    int32_t AllocateBuffers(uint32_t outSize);
    void ResetLineState(uint32_t inSize, bool dtr, bool rts);
    // Empty triggers, scan and avail bookkeeping and status shadows, as at every open.
    void ResetTriggerState();
    int32_t AllocateHandle(int32_t kind);  // under DispatcherLock
    bool HandleInUse(int32_t handle) const;
    void PurgeDeletedRecords();  // under DispatcherLock
    // Whether a notification would reach anybody now. Under DispatcherLock.
    bool AnyoneListens() const;
    void ResetStatusMarks();
    void ResetDataMatches();
    bool RunStatusLoop();  // false when ClosePending stopped it

    // What the data checks read of the dispatch buffer, taken under InputLock.
    struct TInputView {
        const uint8_t* Buffer = nullptr;
        uint32_t Tail = 0, Head = 0, Waiting = 0, Taken = 0;
        bool Relative = false;
        uint64_t Arrived = 0;
    };
    struct TMatchFound {
        enum { Nothing, Avail, Data } Action = Nothing;
        int64_t Before = 0;  // for Avail: the bytes ahead of the match
    };
    TInputView ViewInput();
    // Feeds bytes up to the arrival count limit to the data triggers until one completes.
    TMatchFound FindNextMatch(const TInputView& view, uint64_t limit);
    // Notifies the triggers that completed on the byte at the scan position, last first.
    bool NotifyDataMatches();
    // Announces everything waiting once per arrival position.
    bool AnnounceWaiting(const TInputView& view);
    // CheckDataTriggers with the scan stopping at the arrival count limit.
    bool CheckDataTriggersUpTo(uint64_t limit);
    // Runs the data checks over the bytes that handlers took before the matchers saw them, so
    // that no match is lost when a fill reuses their room. False when a close stopped it.
    bool ScanTakenBytes();
    // The delivery of one notification, in its steps. The counts are the list lengths when
    // it began (0 windows when the windows are not to hear it).
    struct TDeliveryCounts {
        size_t Methods = 0, Procs = 0, Windows = 0;
    };
    // False, delivering nothing, while delivery is off.
    bool BeginDelivery(uint32_t message, TDeliveryCounts& counts);
    // Calls call(record) for the first count records that are not marked deleted; false when
    // a close ended the delivery.
    template <class Record, class Call>
    bool DeliverToList(const std::vector<Record>& list, size_t count, Call&& call);
    // Runs one handler, reporting what it raises; false when a close ended the delivery.
    template <class Call>
    bool RunHandler(Call&& call);
    // Advances the buffer by the most any handler took and purges the records removed
    // meanwhile; returns DeliverNotification's result.
    bool EndDelivery(uint32_t message, uint32_t wParam, bool complete);
    uint32_t Ticks() const { return CurrentMillis() / 55; }
    uint32_t ElapsedMs() const { return CurrentMillis() - OpenTime; }
    uint8_t ReadModemLines();
    // Reads at most count bytes into the free run at the head. Under InputLock.
    uint32_t ReadIntoBuffer(uint32_t count);

    std::function<uint32_t()> FClock;
    std::function<void(uint32_t)> FSleeper;
    std::function<uint8_t()> FModemStatusReader;
    bool FPlatformIsNT = true;
};
