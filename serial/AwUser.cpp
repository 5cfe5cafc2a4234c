#include "serial/AwUser.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t RingMask = DispatchBufferSize - 1;
static_assert((DispatchBufferSize & RingMask) == 0, "index arithmetic relies on a power of two");

// The line error bits the dispatcher accumulates (CE_ bits up to break).
constexpr uint32_t LineErrorBits = 0x1F;

// Tick values of the millisecond clock divided by 55: the tick count runs from 0 to
// 78,090,314 and then starts again at 0.
constexpr int64_t TicksPerClockWrap = 78090315;

// Rates of the baud rate codes 0xFF10..0xFF27; 0 where the code names no rate.
constexpr int32_t BaudCodeRates[24] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                       19200, 0,   0,   38400,  0,    0,    0,    56000,
                                       0,     0,   0,   128000, 0,    0,    0,    256000};

struct TDispatcherTableModule {
    CRITICAL_SECTION Lock;
    std::vector<TApdBaseDispatcher*> Slots;
    TDispatcherTableModule() { InitializeCriticalSection(&Lock); }
    ~TDispatcherTableModule() { DeleteCriticalSection(&Lock); }
};

// Built on first use, which is the construction of the first dispatcher (or the first lookup),
// so it is destroyed after every dispatcher that was built after it.
TDispatcherTableModule& TableModule() {
    static TDispatcherTableModule module;
    return module;
}

// Handler records not marked deleted.
template <class List>
size_t LiveCount(const List& list) {
    return static_cast<size_t>(
        std::count_if(list.begin(), list.end(), [](const auto& r) { return !r.Deleted; }));
}

uint32_t LogValueOf(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

}  // namespace

CRITICAL_SECTION& DispatcherTableLock() { return TableModule().Lock; }

std::vector<TApdBaseDispatcher*>& DispatcherTable() { return TableModule().Slots; }

TApdBaseDispatcher* DispatcherInSlot(int32_t index) {
    auto& slots = DispatcherTable();
    if (index < 0 || static_cast<size_t>(index) >= slots.size()) return nullptr;
    return slots[static_cast<size_t>(index)];
}

uint32_t DcbFlags(const DCB& d) {
    return d.fBinary | d.fParity << 1 | d.fOutxCtsFlow << 2 | d.fOutxDsrFlow << 3 |
           d.fDtrControl << 4 | d.fDsrSensitivity << 6 | d.fTXContinueOnXoff << 7 | d.fOutX << 8 |
           d.fInX << 9 | d.fErrorChar << 10 | d.fNull << 11 | d.fRtsControl << 12 |
           d.fAbortOnError << 14 | d.fDummy2 << 15;
}

void SetDcbFlags(DCB& d, uint32_t f) {
    d.fBinary = f & 1;
    d.fParity = (f >> 1) & 1;
    d.fOutxCtsFlow = (f >> 2) & 1;
    d.fOutxDsrFlow = (f >> 3) & 1;
    d.fDtrControl = (f >> 4) & 3;
    d.fDsrSensitivity = (f >> 6) & 1;
    d.fTXContinueOnXoff = (f >> 7) & 1;
    d.fOutX = (f >> 8) & 1;
    d.fInX = (f >> 9) & 1;
    d.fErrorChar = (f >> 10) & 1;
    d.fNull = (f >> 11) & 1;
    d.fRtsControl = (f >> 12) & 3;
    d.fAbortOnError = (f >> 14) & 1;
    d.fDummy2 = f >> 15;
}

int32_t BaudValue(int32_t code) {
    if (code == 0xFEFF) return 115200;
    if (code >= 0xFF10 && code <= 0xFF27 && BaudCodeRates[code - 0xFF10] != 0)
        return BaudCodeRates[code - 0xFF10];
    return code;
}

bool AdvanceMatch(uint32_t (&state)[MaxTriggerLength], uint8_t ch, uint32_t length, bool ignoreCase,
                  const char* text) {
    if (ignoreCase) {
        char c = static_cast<char>(ch);
        CharUpperBuffA(&c, 1);
        ch = static_cast<uint8_t>(c);
    }
    length = std::min(length, MaxTriggerLength);
    const uint8_t first = static_cast<uint8_t>(text[0]);
    bool matched = false;
    bool started = false;
    bool examine = true;
    for (uint32_t i = 0; i < length; ++i) {
        if (examine) {
            uint32_t p = state[i];
            if (static_cast<uint8_t>(text[p]) == ch) {
                if (p == length - 1) {
                    matched = true;
                    std::fill(std::begin(state), std::end(state), 0u);
                } else {
                    state[i] = p + 1;
                }
            } else if (first == ch) {
                state[i] = 1;
                started = true;
            } else {
                state[i] = 0;
            }
        }
        if (state[i] == 1) started = true;
        // At most one new partial match starts per character: once one has, only slots with a
        // match in progress are looked at.
        if (i + 1 < length) examine = state[i + 1] != 0 || (!started && first == ch);
    }
    return matched;
}

void FreeSavedTriggers(SavedTriggerSet& set) {
    set.Timers.reset();
    set.Data.reset();
    set.Status.reset();
}

// =============================================================================================
// Construction and the dispatcher table

TApdBaseDispatcher::TApdBaseDispatcher(TApdBaseComponent* owner) : Owner(owner) {
    InitializeCriticalSection(&DispatcherLock);
    InitializeCriticalSection(&OutputLock);
    InitializeCriticalSection(&InputLock);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    // Only the old consumer systems give programs direct access to the UART.
    if (GetVersionExA(&info))
        FPlatformIsNT = info.dwPlatformId != VER_PLATFORM_WIN32s &&
                        info.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS;

    TCriticalSectionHold hold(DispatcherTableLock());
    auto& slots = DispatcherTable();
    auto empty = std::find(slots.begin(), slots.end(), nullptr);
    if (empty != slots.end()) {
        *empty = this;
        DispatcherIndex = static_cast<int32_t>(empty - slots.begin());
    } else {
        slots.push_back(this);
        DispatcherIndex = static_cast<int32_t>(slots.size() - 1);
    }
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
    {
        TCriticalSectionHold hold(DispatcherTableLock());
        auto& slots = DispatcherTable();
        if (DispatcherIndex >= 0 && static_cast<size_t>(DispatcherIndex) < slots.size() &&
            slots[static_cast<size_t>(DispatcherIndex)] == this)
            slots[static_cast<size_t>(DispatcherIndex)] = nullptr;
        while (!slots.empty() && slots.back() == nullptr) slots.pop_back();
    }
    CloseSignals();
    DeleteCriticalSection(&InputLock);
    DeleteCriticalSection(&OutputLock);
    DeleteCriticalSection(&DispatcherLock);
}

void TApdBaseDispatcher::SetClock(std::function<uint32_t()> clock) { FClock = std::move(clock); }

void TApdBaseDispatcher::SetSleeper(std::function<void(uint32_t)> sleeper) {
    FSleeper = std::move(sleeper);
}

void TApdBaseDispatcher::SetModemStatusReader(std::function<uint8_t()> reader) {
    FModemStatusReader = std::move(reader);
}

// =============================================================================================
// Open and close

void TApdBaseDispatcher::CreateSignals() {
    DeviceEventSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EventDoneSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ThreadAckSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OutputPendingSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WriteDoneSignal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OutputFlushSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE* signal : {&DeviceEventSignal, &EventDoneSignal, &ThreadAckSignal,
                           &OutputPendingSignal, &WriteDoneSignal, &OutputFlushSignal})
        if (*signal == nullptr) *signal = INVALID_HANDLE_VALUE;
    OutputWaitSignals[0] = OutputPendingSignal;
    OutputWaitSignals[1] = OutputFlushSignal;
    WriteWaitSignals[0] = WriteDoneSignal;
    WriteWaitSignals[1] = OutputFlushSignal;
}

void TApdBaseDispatcher::CloseSignals() {
    for (HANDLE* signal : {&DeviceEventSignal, &EventDoneSignal, &ThreadAckSignal,
                           &OutputPendingSignal, &WriteDoneSignal, &OutputFlushSignal}) {
        if (*signal != INVALID_HANDLE_VALUE && CloseHandle(*signal)) *signal = INVALID_HANDLE_VALUE;
    }
}

int32_t TApdBaseDispatcher::OpenPort(const char* name, int32_t baud, uint16_t parity,
                                     uint16_t dataBits, uint16_t stopBits, uint32_t inSize,
                                     uint32_t outSize, bool dtr, bool rts) {
    if (DeviceHandle >= 0) return ecAlreadyOpen;
    RingEdgeSeen = false;
    InNotification = false;
    {
        TCriticalSectionHold hold(DispatcherLock);
        PurgePending = false;
    }
    {
        TCriticalSectionHold hold(OutputLock);
        OutRing.reset();
    }
    {
        TCriticalSectionHold hold(InputLock);
        DispatchBuffer.reset();
    }

    CloseSignals();  // left open by a device layer that did not stop its threads
    CreateSignals();
    for (HANDLE signal : {DeviceEventSignal, EventDoneSignal, ThreadAckSignal, OutputPendingSignal,
                          WriteDoneSignal, OutputFlushSignal}) {
        if (signal == INVALID_HANDLE_VALUE) {
            CloseSignals();
            return ecOutOfMemory;
        }
    }
    // A failed open closes the port again and, since no thread will ever close them, the
    // signals too.
    auto fail = [this](int32_t code) {
        ClosePort();
        CloseSignals();
        return code;
    };

    SetLastError(0);
    intptr_t handle = OpenDevice(name, inSize, outSize);
    if (handle < 0) {
        DWORD error = GetLastError();
        DeviceHandle = -1;
        if (handle == ecOutOfMemory) return fail(ecOutOfMemory);
        // A layer that reports no reason still has failed: keep its own negative code.
        if (error == 0 || error > 0x7FFFFFFF) return fail(static_cast<int32_t>(handle));
        return fail(-static_cast<int32_t>(error));
    }
    DeviceHandle = handle;

    int32_t rc = SetupQueues(inSize, outSize);
    if (rc != ecOK) return fail(rc);

    uint8_t* dispatchBuffer = new (std::nothrow) uint8_t[DispatchBufferSize]();
    uint8_t* outRing = new (std::nothrow) uint8_t[std::max<uint32_t>(outSize, 1)]();
    if (!dispatchBuffer || !outRing) {
        delete[] dispatchBuffer;
        delete[] outRing;
        return fail(ecOutOfMemory);
    }
    {
        TCriticalSectionHold hold(OutputLock);
        OutRing.reset(outRing);
        OutHead = OutTail = 0;
        OutFull = false;
        OutQueueSize = outSize;
    }
    {
        TCriticalSectionHold hold(InputLock);
        DispatchBuffer.reset(dispatchBuffer);
        DispatchHead = DispatchTail = 0;
        DispatchFull = false;
        TakenByHandler = 0;
        MostTaken = 0;
        RelativeReads = false;
        ArrivedCount = 0;
    }
    InQueueSize = inSize;
    LineErrors = 0;
    OutputSent = false;
    ClosePending = false;
    Rs485 = false;
    UartBaseAddress = 0;

    {
        TCriticalSectionHold hold(DispatcherLock);
        FetchLineSettings(LineSettings);
    }
    SetDtrLine(dtr);
    SetRtsLine(rts);

    ScanPosition = 0;
    ScannedCount = 0;
    ScanCharFed = false;
    ClearAllTriggers();
    AvailPostedAt = 0;
    AvailPostedCount = 0;
    AvailUnheard = false;
    ResetStatusMarks();

    {
        TCriticalSectionHold hold(DispatcherLock);
        ModemStatusShadow = 0;
    }
    ReadModemStatus(0xF0);
    {
        TCriticalSectionHold hold(DispatcherLock);
        CurrentBaud = 115200;
    }
    rc = SetLineSettings(baud, parity, dataBits, stopBits);
    if (rc != ecOK) return fail(rc);
    RefreshLineStatus();

    {
        TCriticalSectionHold hold(DispatcherLock);
        Trace.AbortTrace();
        Log.AbortLog();
    }
    OpenTime = CurrentMillis();
    StartThreads();
    return ecOK;
}

void TApdBaseDispatcher::ClosePort() {
    if (DeviceHandle >= 0) {
        FlushOutput();
        FlushInput();
        CloseDevice();
    }
    if (InNotification)
        ClosePending = true;
    else
        ReleasePort();
}

void TApdBaseDispatcher::ReleasePort() {
    if (ThreadsRunning) StopThreads();
    {
        TCriticalSectionHold hold(OutputLock);
        OutRing.reset();
        OutHead = OutTail = 0;
        OutFull = false;
    }
    // The indices go with the buffer, so that no count can point into freed memory.
    TCriticalSectionHold hold(InputLock);
    DispatchBuffer.reset();
    DispatchHead = DispatchTail = 0;
    DispatchFull = false;
    RelativeReads = false;
    TakenByHandler = 0;
    MostTaken = 0;
}

int32_t TApdBaseDispatcher::SetupQueues(uint32_t inSize, uint32_t outSize) {
    SetLastError(0);
    if (SizeDeviceQueues(inSize, outSize)) return ecOK;
    DWORD error = GetLastError();
    // A failure without a reason must not read as success.
    if (error == 0 || error > 0x7FFFFFFF) return ecMemory;
    return -static_cast<int32_t>(error);
}

void TApdBaseDispatcher::ThreadEnded(TApdDispatcherThread* thread) {
    if (ComThread == thread) ComThread = nullptr;
    if (DispThread == thread) DispThread = nullptr;
    if (OutThread == thread) OutThread = nullptr;
    if (ReleaseOnThreadEnd.exchange(false)) ReleasePort();
    if (InterlockedDecrement(&LiveThreadCount) <= 0) ThreadsRunning = false;
}

// =============================================================================================
// Input

uint32_t TApdBaseDispatcher::RingCount() const {
    if (DispatchHead == DispatchTail) return DispatchFull ? DispatchBufferSize : 0;
    return (DispatchHead - DispatchTail) & RingMask;
}

uint32_t TApdBaseDispatcher::InputUsed() {
    TCriticalSectionHold hold(InputLock);
    uint32_t waiting = RingCount();
    if (RelativeReads) waiting = waiting > TakenByHandler ? waiting - TakenByHandler : 0;
    return waiting;
}

int32_t TApdBaseDispatcher::CopyInput(uint8_t* dest, uint32_t offset, uint32_t count,
                                      uint32_t& newTail) {
    TCriticalSectionHold hold(InputLock);
    uint32_t waiting = RingCount();
    uint32_t readable = waiting > offset ? waiting - offset : 0;
    if (count > readable || (count != 0 && !DispatchBuffer)) return ecBufferIsEmpty;
    uint32_t start = (DispatchTail + offset) & RingMask;
    uint32_t first = std::min(count, DispatchBufferSize - start);
    std::memcpy(dest, DispatchBuffer.get() + start, first);
    std::memcpy(dest + first, DispatchBuffer.get(), count - first);
    newTail = (start + count) & RingMask;
    return static_cast<int32_t>(count);
}

int32_t TApdBaseDispatcher::TakeInput(uint8_t* dest, uint32_t count) {
    if (count == 0) return 0;
    if (!dest) return ecBadArgument;
    int32_t rc;
    bool freedFullBuffer = false;
    {
        TCriticalSectionHold hold(InputLock);
        uint32_t newTail = 0;
        if (RelativeReads) {
            rc = CopyInput(dest, TakenByHandler, count, newTail);
            if (rc > 0) TakenByHandler += static_cast<uint32_t>(rc);
        } else {
            rc = CopyInput(dest, 0, count, newTail);
            if (rc > 0) {
                DispatchTail = newTail;
                // Room made outside an avail or data delivery (whose end makes room the
                // dispatch thread fills at once): bytes the device holds back for want of it
                // are fetched now, not at the device's next receive event, which flow control
                // may keep from ever coming.
                freedFullBuffer = DispatchFull;
                DispatchFull = false;
            }
        }
    }
    if (freedFullBuffer) RequestDataRecheck(false);
    if (rc > 0 && Trace.TraceOn()) {
        TCriticalSectionHold hold(DispatcherLock);
        if (Trace.TraceOn())
            for (int32_t i = 0; i < rc; ++i) Trace.RecordTracePair('R', dest[i]);
    }
    return rc;
}

int32_t TApdBaseDispatcher::FlushInput() {
    TCriticalSectionHold hold(InputLock);
    int32_t rc = PurgeQueue(1);
    if (RelativeReads) {
        // Everything counts as taken when the delivery ends; the handler that flushed sees
        // nothing left from now on.
        MostTaken = RingCount();
        TakenByHandler = MostTaken;
    } else {
        DispatchTail = DispatchHead;
        TakenByHandler = 0;
    }
    DispatchFull = false;
    ResetDataMatches();
    return rc;
}

int32_t TApdBaseDispatcher::ReadIntoBuffer(uint32_t index, uint32_t count) {
    int32_t n = ReadDevice(DispatchBuffer.get() + index, count);
    // A device that claims more than it was offered cannot have stored it here: what the
    // buffer holds there is not what arrived.
    if (n < 0 || static_cast<uint32_t>(n) > count) {
        NoteReadError(-1);
        if (Log.LogOn()) AddLogEntry(lkDispatch, lsReadCom, static_cast<uint32_t>(n));
        return 0;
    }
    if (Log.LogOn())
        AddLogEntry(lkDispatch, lsReadCom, static_cast<uint32_t>(n), DispatchBuffer.get() + index,
                    static_cast<uint32_t>(n));
    ArrivedCount += static_cast<uint32_t>(n);
    return n;
}

bool TApdBaseDispatcher::FillDispatchBuffer() {
    TCriticalSectionHold hold(InputLock);
    if (!DispatchBuffer) return false;
    if (DispatchFull) return true;
    uint32_t inQueue;
    {
        TCriticalSectionHold outputHold(OutputLock);
        RefreshLineStatus();
        inQueue = LineStatus.cbInQue;
    }
    if (inQueue == 0) return false;

    const uint32_t head = DispatchHead;
    const uint32_t tail = DispatchTail;
    uint32_t free = head == tail  ? DispatchBufferSize
                    : tail < head ? tail + DispatchBufferSize - head
                                  : tail - head;
    uint32_t run = tail <= head ? DispatchBufferSize - head : tail - head;
    uint32_t want = std::min(inQueue, free);
    uint32_t second = run < want ? want - run : 0;

    // The whole run is offered: the device hands over what it holds, never more than asked,
    // and never anything that would land on a waiting byte.
    uint32_t n = static_cast<uint32_t>(ReadIntoBuffer(head, run));
    DispatchHead += n;
    if (n < run) second = 0;
    if (DispatchHead >= DispatchBufferSize) DispatchHead = 0;
    if (n != 0) DispatchFull = DispatchHead == DispatchTail;

    if (second != 0) {
        n = static_cast<uint32_t>(ReadIntoBuffer(DispatchHead, second));
        DispatchHead += n;
        DispatchFull = DispatchHead == DispatchTail;
    }
    return true;
}

// =============================================================================================
// Output

int32_t TApdBaseDispatcher::PutOutput(const uint8_t* data, uint32_t count) {
    if (count == 0) return ecOK;
    if (!data) return ecBadArgument;
    int32_t rc = ecOK;
    int32_t n;
    {
        TCriticalSectionHold hold(OutputLock);
        if (!OutRing) return ecNotOpen;
        // Errors read here are added to the pending ones, not put in their place: a line error
        // must not vanish because a byte was sent before it was asked for.
        LineErrors |= ReadLineStatus(LineStatus) & LineErrorBits;
        uint32_t used = LineStatus.cbOutQue;
        uint32_t free = used < OutQueueSize ? OutQueueSize - used : 0;
        if (count > free) return ecOutputBufferTooSmall;
        if (!FPlatformIsNT && Rs485) {
            if (UartBaseAddress == 0) return ecBaseAddressNotSet;
            SetRtsLine(true);
        }
        const bool wasFull = OutFull;
        if (count == free) OutFull = true;
        n = QueueOutput(data, count);
        if (n <= 0) {
            n = -n;
            rc = ecPutBlockFail;
            // Nothing (or not all) was queued: a ring marked full would send stale bytes.
            OutFull = wasFull;
            LineErrors |= ReadLineStatus(LineStatus) & LineErrorBits;
        }
        n = std::min(n, static_cast<int32_t>(count));
        OutputSent = true;
    }
    if (Log.LogOn())
        AddLogEntry(lkDispatch, lsWriteCom, static_cast<uint32_t>(n), data,
                    static_cast<uint32_t>(n));
    if (n != 0 && Trace.TraceOn()) {
        TCriticalSectionHold hold(DispatcherLock);
        if (Trace.TraceOn())
            for (int32_t i = 0; i < n; ++i) Trace.RecordTracePair('T', data[i]);
    }
    return rc;
}

int32_t TApdBaseDispatcher::PutOutputByte(uint8_t byte) { return PutOutput(&byte, 1); }

uint32_t TApdBaseDispatcher::OutputUsed() {
    TCriticalSectionHold hold(OutputLock);
    RefreshLineStatus();
    return LineStatus.cbOutQue;
}

uint32_t TApdBaseDispatcher::OutputFree() {
    TCriticalSectionHold hold(OutputLock);
    RefreshLineStatus();
    return LineStatus.cbOutQue < OutQueueSize ? OutQueueSize - LineStatus.cbOutQue : 0;
}

int32_t TApdBaseDispatcher::FlushOutput() { return PurgeQueue(0); }

// =============================================================================================
// Status

void TApdBaseDispatcher::RefreshLineStatus() {
    TCriticalSectionHold hold(OutputLock);
    LineErrors |= ReadLineStatus(LineStatus) & LineErrorBits;
}

uint8_t TApdBaseDispatcher::ReadModemLines() {
    if (FModemStatusReader) return FModemStatusReader();
    DWORD status = 0;
    if (DeviceHandle < 0 || !GetCommModemStatus(DeviceHandleValue(), &status)) return 0;
    return static_cast<uint8_t>(status);
}

uint8_t TApdBaseDispatcher::ReadModemStatus(uint8_t mask) {
    TCriticalSectionHold hold(DispatcherLock);
    ModemStatusShadow = (ModemStatusShadow & 0x0F) | (ReadModemLines() & 0xF0);
    if (RingEdgeSeen.exchange(false)) ModemStatusShadow |= 0x04;
    uint8_t status = static_cast<uint8_t>(ModemStatusShadow);
    ModemStatusShadow &= mask;
    return status;
}

void TApdBaseDispatcher::RefreshModemDeltas() {
    TCriticalSectionHold hold(DispatcherLock);
    uint32_t before = ModemStatusShadow & 0xFF;
    ReadModemStatus(0xFF);
    uint32_t after = ModemStatusShadow & 0xFF;
    ModemStatusShadow |= ((before ^ after) & 0xF0) >> 4;
}

int32_t TApdBaseDispatcher::TakeLineError() {
    TCriticalSectionHold hold(DispatcherLock);
    uint32_t errors = LineErrors;
    int32_t code = errors & 0x01   ? 1
                   : errors & 0x02 ? 2
                   : errors & 0x04 ? 3
                   : errors & 0x08 ? 4
                   : errors & 0x10 ? 9
                                   : 0;
    if (code != 0) LineErrors &= ~0x0Fu;
    return code;
}

bool TApdBaseDispatcher::TakeLineBreak() {
    TCriticalSectionHold hold(DispatcherLock);
    return (LineErrors.fetch_and(~0x10u) & 0x10) != 0;
}

void TApdBaseDispatcher::SetOptionBits(uint32_t bits) {
    TCriticalSectionHold hold(DispatcherLock);
    OptionBits |= bits;
}

void TApdBaseDispatcher::ClearOptionBits(uint32_t bits) {
    TCriticalSectionHold hold(DispatcherLock);
    OptionBits &= ~bits;
}

// =============================================================================================
// Line settings and flow control

int32_t TApdBaseDispatcher::SetLineSettings(int32_t baud, uint16_t parity, uint16_t dataBits,
                                            uint16_t stopBits) {
    if (baud < 0 || parity > 5 || dataBits < 5 || dataBits > 9) return ecBadArgument;
    if (stopBits != 3) stopBits = std::clamp<uint16_t>(stopBits, 1, 2);
    DWORD newBaud;
    BYTE newParity, newByteSize, newStopBits;
    {
        TCriticalSectionHold hold(DispatcherLock);
        FetchLineSettings(LineSettings);
        newBaud = baud == 0 ? LineSettings.BaudRate : static_cast<DWORD>(baud);
        newParity = parity == 5 ? LineSettings.Parity : static_cast<BYTE>(parity);
        newByteSize = dataBits == 9 ? LineSettings.ByteSize : static_cast<BYTE>(dataBits);
        newStopBits = stopBits == 3   ? LineSettings.StopBits
                      : stopBits == 1 ? ONESTOPBIT
                                      : TWOSTOPBITS;
        if (dataBits == 5) newStopBits = ONE5STOPBITS;
        if (newBaud == LineSettings.BaudRate && newParity == LineSettings.Parity &&
            newByteSize == LineSettings.ByteSize && newStopBits == LineSettings.StopBits)
            return ecOK;
    }
    // Outside the lock, so that the dispatch and output threads keep running meanwhile.
    DrainBeforeLineChange();
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    LineSettings.BaudRate = newBaud;
    LineSettings.Parity = newParity;
    LineSettings.ByteSize = newByteSize;
    LineSettings.StopBits = newStopBits;
    return CommitLineSettings(LineSettings);
}

int32_t TApdBaseDispatcher::GetLineSettings(int32_t& baud, uint16_t& parity, uint16_t& dataBits,
                                            uint16_t& stopBits) {
    TCriticalSectionHold hold(DispatcherLock);
    int32_t rc = FetchLineSettings(LineSettings);
    baud = BaudValue(static_cast<int32_t>(LineSettings.BaudRate));
    parity = LineSettings.Parity;
    dataBits = LineSettings.ByteSize;
    stopBits = LineSettings.StopBits == ONESTOPBIT ? 1 : 2;
    return rc;
}

void TApdBaseDispatcher::DrainBeforeLineChange() {
    auto sleep = [this](uint32_t ms) {
        if (FSleeper)
            FSleeper(ms);
        else
            Sleep(ms);
    };
    for (int polls = 0; polls < 5000 && OutputUsed() > 0; ++polls) sleep(2);

    uint32_t bits;
    int32_t rate;
    {
        TCriticalSectionHold hold(DispatcherLock);
        FetchLineSettings(LineSettings);
        bits = LineSettings.ByteSize + 2u + (LineSettings.Parity != 0 ? 1u : 0u) +
               (LineSettings.StopBits != 0 ? 1u : 0u);
        rate = BaudValue(CurrentBaud);
    }
    // A rate the device cannot tell gives no character time to wait for.
    if (rate <= 0) return;
    uint64_t t = uint64_t{10000000u / static_cast<uint32_t>(rate)} * bits * 18;  // 100 ns units
    if (t < 10000) t *= 2;
    sleep(static_cast<uint32_t>(t / 10000 + (t % 10000 != 0 ? 1 : 0)));
}

int32_t TApdBaseDispatcher::CommitLineSettings(DCB& dcb) {
    TCriticalSectionHold hold(DispatcherLock);
    int32_t rc = ApplyLineSettings(dcb);
    if (&dcb != &LineSettings) LineSettings = dcb;
    CurrentBaud = static_cast<int32_t>(dcb.BaudRate);
    SetDtrLine(DtrState);
    if (!Rs485) SetRtsLine(RtsState);
    return rc;
}

int32_t TApdBaseDispatcher::SetDtrLine(bool on) {
    if (DtrByFlow) return 1;
    int32_t rc = LineFunction(on ? SETDTR : CLRDTR);
    DtrState = on;
    return rc < 0 ? ecBadArgument : rc;
}

int32_t TApdBaseDispatcher::SetRtsLine(bool on) {
    if (RtsByFlow) return 1;
    int32_t rc = LineFunction(on ? SETRTS : CLRRTS);
    RtsState = on;
    return rc < 0 ? ecBadArgument : rc;
}

int32_t TApdBaseDispatcher::SetHardwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                            uint32_t options) {
    if (bufferFull < bufferResume || bufferFull > InQueueSize) return ecBadArgument;
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    uint32_t flags = DcbFlags(LineSettings) & ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrEnable |
                                                dcbDtrHandshake | dcbRtsToggle);
    DtrByFlow = false;
    RtsByFlow = false;
    if (options & hwfUseDTR) {
        flags |= dcbDtrHandshake;
        DtrByFlow = true;
    } else if (DtrState) {
        flags |= dcbDtrEnable;
    }
    if (options & hwfUseRTS) {
        flags |= dcbRtsHandshake;
        RtsByFlow = true;
    } else if (RtsState) {
        flags |= dcbRtsEnable;
    }
    if (Rs485 && FPlatformIsNT) {
        flags |= dcbRtsToggle;
        RtsByFlow = true;
    }
    LineSettings.XoffLim = static_cast<WORD>(InQueueSize - bufferFull);
    LineSettings.XonLim = static_cast<WORD>(bufferResume);
    if (options & hwfRequireDSR) flags |= dcbOutxDsrFlow;
    if (options & hwfRequireCTS) flags |= dcbOutxCtsFlow;
    SetDcbFlags(LineSettings, flags);
    return CommitLineSettings(LineSettings);
}

int32_t TApdBaseDispatcher::SetSoftwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                            uint32_t options) {
    if (bufferFull < bufferResume || bufferFull > InQueueSize) return ecBadArgument;
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    uint32_t flags = DcbFlags(LineSettings);
    if (options & sfReceiveFlow) {
        flags |= dcbInX;
        LineSettings.XoffLim = static_cast<WORD>(InQueueSize - bufferFull);
        LineSettings.XonLim = static_cast<WORD>(bufferResume);
        LineSettings.XonChar = 0x11;
        LineSettings.XoffChar = 0x13;
    }
    if (options & sfTransmitFlow) {
        flags |= dcbOutX;
        LineSettings.XonChar = 0x11;
        LineSettings.XoffChar = 0x13;
    }
    SetDcbFlags(LineSettings, flags);
    return CommitLineSettings(LineSettings);
}

int32_t TApdBaseDispatcher::ClearSoftwareFlow() {
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    SetDcbFlags(LineSettings, DcbFlags(LineSettings) & ~(dcbOutX | dcbInX));
    return CommitLineSettings(LineSettings);
}

int32_t TApdBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    LineSettings.XonChar = static_cast<char>(xon);
    LineSettings.XoffChar = static_cast<char>(xoff);
    return CommitLineSettings(LineSettings);
}

int32_t TApdBaseDispatcher::GetFlowSettings(uint32_t& hwOptions, uint32_t& swOptions, uint8_t& xon,
                                            uint8_t& xoff) {
    hwOptions = 0;
    swOptions = 0;
    TCriticalSectionHold hold(DispatcherLock);
    int32_t rc = FetchLineSettings(LineSettings);
    uint32_t flags = DcbFlags(LineSettings);
    if (flags & dcbDtrHandshake) hwOptions |= hwfUseDTR;
    if (flags & dcbRtsHandshake) hwOptions |= hwfUseRTS;
    if (flags & dcbOutxDsrFlow) hwOptions |= hwfRequireDSR;
    if (flags & dcbOutxCtsFlow) hwOptions |= hwfRequireCTS;
    if (flags & dcbInX) swOptions |= sfReceiveFlow;
    if (flags & dcbOutX) swOptions |= sfTransmitFlow;
    xon = static_cast<uint8_t>(LineSettings.XonChar);
    xoff = static_cast<uint8_t>(LineSettings.XoffChar);
    return rc;
}

void TApdBaseDispatcher::SetRs485(bool on) {
    TCriticalSectionHold hold(DispatcherLock);
    Rs485 = on;
    if (SetOutputThreadPriority) SetOutputThreadPriority(on);
    if (on && !FPlatformIsNT && DeviceHandle >= 0)
        UartBaseAddress =
            static_cast<uint16_t>(EscapeCommFunction(DeviceHandleValue(), GETBASEIRQ));
}

// =============================================================================================
// Handlers and triggers

bool TApdBaseDispatcher::AnyoneListens() const {
    if (!DeliveryOn) return false;
    const auto windows = LiveCount(NotifyWindows);
    return LiveCount(NotifyMethods) + LiveCount(NotifyProcs) +
               (windows > 1 || EventsAssigned ? windows : 0) >
           0;
}

void TApdBaseDispatcher::SetDeliveryMode(int32_t mode) {
    TCriticalSectionHold hold(DispatcherLock);
    const bool listened = AnyoneListens();
    const bool handlersPresent = LiveCount(NotifyWindows) > 1 || LiveCount(NotifyProcs) > 0 ||
                                 LiveCount(NotifyMethods) > 0;
    switch (mode) {
        case 0:
            DeliveryOn = handlersPresent || EventsAssigned;
            break;
        case 1:
            EventsAssigned = true;
            DeliveryOn = true;
            break;
        case 2:
            EventsAssigned = false;
            DeliveryOn = handlersPresent;
            break;
        default:
            break;
    }
    // Bytes announced while nobody listened are announced again to the first listener: with
    // a full buffer no later arrival would.
    if (!listened && AnyoneListens()) RequestDataRecheck(true);
}

void TApdBaseDispatcher::AddNotifyWindow(HWND window) {
    TCriticalSectionHold hold(DispatcherLock);
    NotifyWindows.push_back({window, false});
    DeliveryOn = true;
    if (Log.LogOn()) AddLogEntry(lkTrgHdAlc, lsWindow, LogValueOf(window));
    RequestDataRecheck(true);
}

void TApdBaseDispatcher::RemoveNotifyWindow(HWND window) {
    TCriticalSectionHold hold(DispatcherLock);
    auto it = std::find_if(NotifyWindows.begin(), NotifyWindows.end(),
                           [window](const auto& r) { return r.Window == window && !r.Deleted; });
    if (it == NotifyWindows.end()) {
        SetDeliveryMode(0);
        return;
    }
    if (Log.LogOn()) AddLogEntry(lkTrgHdDsp, lsWindow, LogValueOf(window));
    if (InNotification) {
        it->Deleted = true;
        PurgePending = true;
    } else {
        NotifyWindows.erase(it);
    }
}

void TApdBaseDispatcher::AddNotifyProc(TApdNotifyProc proc) {
    if (!proc) return;
    TCriticalSectionHold hold(DispatcherLock);
    NotifyProcs.push_back({proc, false});
    SetDeliveryMode(0);
    RequestDataRecheck(true);
    if (Log.LogOn())
        AddLogEntry(lkTrgHdAlc, lsProcedure, LogValueOf(reinterpret_cast<const void*>(proc)));
}

int32_t TApdBaseDispatcher::RemoveNotifyProc(TApdNotifyProc proc) {
    TCriticalSectionHold hold(DispatcherLock);
    auto it = std::find_if(NotifyProcs.begin(), NotifyProcs.end(),
                           [proc](const auto& r) { return r.Proc == proc && !r.Deleted; });
    if (it == NotifyProcs.end()) return ecBadArgument;
    if (Log.LogOn())
        AddLogEntry(lkTrgHdDsp, lsProcedure, LogValueOf(reinterpret_cast<const void*>(proc)));
    if (InNotification) {
        it->Deleted = true;
        PurgePending = true;
    } else {
        NotifyProcs.erase(it);
        SetDeliveryMode(0);
    }
    return ecOK;
}

void TApdBaseDispatcher::AddNotifyMethod(TApdNotifyMethod method, bool synchronised) {
    if (!method) return;
    TCriticalSectionHold hold(DispatcherLock);
    NotifyMethods.push_back({method, false, synchronised});
    SetDeliveryMode(0);
    RequestDataRecheck(true);
    if (Log.LogOn()) AddLogEntry(lkTrgHdAlc, lsMethod, LogValueOf(method.Object));
}

int32_t TApdBaseDispatcher::RemoveNotifyMethod(TApdNotifyMethod method) {
    TCriticalSectionHold hold(DispatcherLock);
    auto it = std::find_if(NotifyMethods.begin(), NotifyMethods.end(),
                           [&method](const auto& r) { return r.Method == method && !r.Deleted; });
    if (it == NotifyMethods.end()) return ecBadArgument;
    if (Log.LogOn()) AddLogEntry(lkTrgHdDsp, lsMethod, LogValueOf(method.Object));
    if (InNotification) {
        it->Deleted = true;
        PurgePending = true;
    } else {
        NotifyMethods.erase(it);
        SetDeliveryMode(0);
    }
    return ecOK;
}

void TApdBaseDispatcher::PurgeDeletedRecords() {
    auto purge = [](auto& list, auto deleted) {
        for (size_t i = list.size(); i-- > 0;)
            if (deleted(list[i])) list.erase(list.begin() + static_cast<ptrdiff_t>(i));
    };
    auto marked = [](const auto& r) { return r.Deleted; };
    auto removed = [](const auto& r) { return r.Handle == 0; };
    purge(NotifyWindows, marked);
    purge(NotifyProcs, marked);
    purge(NotifyMethods, marked);
    purge(TimerTriggers, removed);
    purge(DataTriggers, removed);
    purge(StatusTriggers, removed);
}

void TApdBaseDispatcher::SetAvailLevel(uint32_t level) {
    TCriticalSectionHold hold(DispatcherLock);
    AvailLevelValue = level;
    if (Log.LogOn()) AddLogEntry(lkTrDatChg, lsAvailLevel, level);
}

uint32_t TApdBaseDispatcher::AvailLevel() {
    TCriticalSectionHold hold(DispatcherLock);
    return AvailLevelValue;
}

bool TApdBaseDispatcher::HandleInUse(int32_t handle) const {
    int32_t number = handle >> 3;
    auto uses = [number](const auto& list) {
        return std::any_of(list.begin(), list.end(), [number](const auto& r) {
            return r.Handle != 0 && r.Handle >> 3 == number;
        });
    };
    return uses(TimerTriggers) || uses(DataTriggers) || uses(StatusTriggers);
}

// Handles are (n << 3) | kind with the smallest free n, so they fit the 16-bit handle of the
// component's events and no two triggers share a number, whatever their kind.
int32_t TApdBaseDispatcher::AllocateHandle(int32_t kind) {
    for (int32_t number = 1; number < 8192; ++number) {
        int32_t handle = number << 3 | kind;
        if (!HandleInUse(handle)) return handle;
    }
    return ecNoMoreTriggers;
}

int32_t TApdBaseDispatcher::AddDataTrigger(const char* text, bool ignoreCase) {
    if (!text || !*text) return ecBadArgument;
    size_t length = std::strlen(text);
    if (length > MaxTriggerLength) return ecTriggerTooLong;
    TCriticalSectionHold hold(DispatcherLock);
    int32_t handle = AllocateHandle(0);
    if (handle < 0) return handle;
    TDataTrigger trigger;
    trigger.Handle = handle;
    trigger.Length = static_cast<uint32_t>(length);
    trigger.IgnoreCase = ignoreCase;
    std::memcpy(trigger.Text, text, length);
    if (ignoreCase) CharUpperBuffA(trigger.Text, static_cast<DWORD>(length));
    DataTriggers.push_back(trigger);
    if (Log.LogOn()) AddLogEntry(5, lsData, static_cast<uint32_t>(handle));
    return handle;
}

int32_t TApdBaseDispatcher::AddTimerTrigger() {
    TCriticalSectionHold hold(DispatcherLock);
    int32_t handle = AllocateHandle(0);
    if (handle < 0) return handle;
    TTimerTrigger trigger;
    trigger.Handle = handle;
    TimerTriggers.push_back(trigger);
    if (Log.LogOn()) AddLogEntry(5, lsTimer, static_cast<uint32_t>(handle));
    return handle;
}

int32_t TApdBaseDispatcher::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    TCriticalSectionHold hold(DispatcherLock);
    for (auto& trigger : TimerTriggers) {
        if (handle == 0 || trigger.Handle != handle) continue;
        trigger.Ticks = ticks;
        if (activate) {
            trigger.StartTicks = static_cast<int32_t>(Ticks());
            trigger.ExpireTicks = trigger.StartTicks + ticks;
        }
        trigger.Armed = activate;
        if (activate && WakeForPeriodicCheck) WakeForPeriodicCheck();
        return ecOK;
    }
    return ecBadTriggerHandle;
}

int32_t TApdBaseDispatcher::AddStatusTrigger(int32_t kind) {
    if (kind < stModem || kind > stOutSent) return ecBadArgument;
    TCriticalSectionHold hold(DispatcherLock);
    int32_t handle = AllocateHandle(kind);
    if (handle < 0) return handle;
    TStatusTrigger trigger;
    trigger.Handle = handle;
    trigger.Kind = kind;
    StatusTriggers.push_back(trigger);
    uint8_t kindByte = static_cast<uint8_t>(kind);
    if (Log.LogOn()) AddLogEntry(5, 15, static_cast<uint32_t>(handle), &kindByte, 1);
    return handle;
}

int32_t TApdBaseDispatcher::SetStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    TCriticalSectionHold hold(DispatcherLock);
    for (auto& trigger : StatusTriggers) {
        if (handle == 0 || trigger.Handle != handle) continue;
        trigger.Value = value;
        trigger.Armed = activate;
        trigger.Fired = 0;
        if (activate && WakeForPeriodicCheck) WakeForPeriodicCheck();
        return ecOK;
    }
    return ecBadTriggerHandle;
}

int32_t TApdBaseDispatcher::RemoveTrigger(int32_t handle) {
    if (handle == 0) return ecBadTriggerHandle;
    TCriticalSectionHold hold(DispatcherLock);
    // During a delivery the checks may still be walking the lists: the record only goes idle
    // and loses its handle; the end of the delivery frees it.
    auto remove = [this](auto& list, auto it, auto makeIdle) {
        if (InNotification) {
            makeIdle(*it);
            it->Handle = 0;
            PurgePending = true;
        } else {
            list.erase(it);
        }
    };
    auto byHandle = [handle](const auto& r) { return r.Handle == handle; };
    if (auto it = std::find_if(TimerTriggers.begin(), TimerTriggers.end(), byHandle);
        it != TimerTriggers.end()) {
        if (Log.LogOn()) AddLogEntry(6, lsTimer, static_cast<uint32_t>(handle));
        remove(TimerTriggers, it, [](TTimerTrigger& t) { t.Armed = 0; });
        return ecOK;
    }
    if (auto it = std::find_if(DataTriggers.begin(), DataTriggers.end(), byHandle);
        it != DataTriggers.end()) {
        if (Log.LogOn()) AddLogEntry(6, lsData, static_cast<uint32_t>(handle));
        remove(DataTriggers, it, [](TDataTrigger& t) {
            t.Length = 0;
            t.Matched = 0;
        });
        return ecOK;
    }
    if (auto it = std::find_if(StatusTriggers.begin(), StatusTriggers.end(), byHandle);
        it != StatusTriggers.end()) {
        uint8_t kindByte = static_cast<uint8_t>(it->Kind);
        if (Log.LogOn()) AddLogEntry(6, 15, static_cast<uint32_t>(handle), &kindByte, 1);
        remove(StatusTriggers, it, [](TStatusTrigger& t) {
            t.Kind = stNotActive;
            t.Armed = 0;
        });
        return ecOK;
    }
    return ecBadTriggerHandle;
}

void TApdBaseDispatcher::ClearAllTriggers() {
    TCriticalSectionHold hold(DispatcherLock);
    AvailLevelValue = 0;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
}

void TApdBaseDispatcher::SnapshotTriggers(SavedTriggerSet& set) {
    TCriticalSectionHold hold(DispatcherLock);
    FreeSavedTriggers(set);
    set.AvailLevel = AvailLevelValue;
    auto copyLive = [](const auto& list) {
        using List = std::decay_t<decltype(list)>;
        auto copy = std::make_unique<List>();
        for (const auto& record : list)
            if (record.Handle != 0) copy->push_back(record);
        return copy;
    };
    set.Timers = copyLive(TimerTriggers);
    set.Data = copyLive(DataTriggers);
    set.Status = copyLive(StatusTriggers);
}

void TApdBaseDispatcher::ReinstateTriggers(const SavedTriggerSet& set) {
    TCriticalSectionHold hold(DispatcherLock);
    AvailLevelValue = set.AvailLevel;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    if (set.Timers) TimerTriggers = *set.Timers;
    if (set.Data) DataTriggers = *set.Data;
    if (set.Status) StatusTriggers = *set.Status;
    if (WakeForPeriodicCheck) WakeForPeriodicCheck();
}

void TApdBaseDispatcher::ResetStatusMarks() {
    TCriticalSectionHold hold(DispatcherLock);
    for (size_t i = StatusTriggers.size(); i-- > 0;) StatusTriggers[i].Fired = 0;
    StatusFired = false;
}

void TApdBaseDispatcher::ResetDataMatches() {
    TCriticalSectionHold hold(DispatcherLock);
    for (size_t i = DataTriggers.size(); i-- > 0;)
        std::fill(std::begin(DataTriggers[i].Matches), std::end(DataTriggers[i].Matches), 0u);
}

// =============================================================================================
// Checks and delivery

bool TApdBaseDispatcher::RunStatusLoop() {
    while (CheckStatusTriggers())
        if (ClosePending) break;
    return !ClosePending;
}

bool TApdBaseDispatcher::ProcessDeviceEvent(uint32_t mask) {
    if (mask & ModemEventBits) {
        RefreshModemDeltas();
        if (!InNotification) {
            if (!RunStatusLoop()) return false;
            if (StatusFired) ResetStatusMarks();
        }
    }
    if (mask & LineEventBits) {
        RefreshLineStatus();
        if (!InNotification) {
            if (!RunStatusLoop()) return false;
            if (StatusFired) ResetStatusMarks();
        }
    }
    if (mask & ReceiveEventBit) {
        if (!ProcessReceivedData()) return false;
        if (StatusFired) ResetStatusMarks();
    }
    if (EventDoneSignal != INVALID_HANDLE_VALUE) SetEvent(EventDoneSignal);
    return true;
}

bool TApdBaseDispatcher::ProcessReceivedData() {
    for (uint32_t round = 1; round <= ReceiveRounds; ++round) {
        const uint64_t before = ArrivedCount;
        // The fill may reuse the room of bytes that handlers took: their matches come first.
        if (!ScanTakenBytes()) return false;
        FillDispatchBuffer();
        // Handlers that took bytes made room: what the device still holds is read at once
        // rather than at its next receive event, which a full driver queue may never raise.
        // A further round that reads nothing (an empty device, a full buffer) ends it; the
        // bound lets the timer and status checks in between a stream that never pauses.
        if (round > 1 && ArrivedCount == before) return true;
        if (InNotification) return true;
        if (!RunStatusLoop()) return false;
        while (CheckDataTriggers())
            if (ClosePending) break;
        if (ClosePending) return false;
    }
    return true;
}

void TApdBaseDispatcher::RequestDataRecheck(bool reannounce) {
    if (reannounce) AvailReannounce = true;
    DataRecheckPending = true;
    if (WakeForPeriodicCheck) WakeForPeriodicCheck();
}

void TApdBaseDispatcher::RecheckReceivedData() {
    if (ClosePending || InNotification || !DataRecheckPending.exchange(false)) return;
    // Bytes announced while nobody could be told (the open registers its window after the
    // delivery mode) are announced again; with a full buffer no later arrival would do it.
    if (AvailReannounce.exchange(false) && AvailUnheard) AvailPostedCount = ~uint64_t{0};
    StatusFired = false;
    ProcessReceivedData();
    if (StatusFired) ResetStatusMarks();
}

void TApdBaseDispatcher::PeriodicCheck() {
    if (ClosePending || InNotification) return;
    StatusFired = false;
    bool again;
    do {
        again = CheckStatusTriggers();
        if (!again) again = CheckTimerTriggers();
    } while (again && !ClosePending);
    if (StatusFired) ResetStatusMarks();
}

bool TApdBaseDispatcher::PeriodicCheckNeeded() {
    TCriticalSectionHold hold(DispatcherLock);
    auto armed = [](const auto& trigger) { return trigger.Armed != 0; };
    return std::any_of(TimerTriggers.begin(), TimerTriggers.end(), armed) ||
           std::any_of(StatusTriggers.begin(), StatusTriggers.end(), armed);
}

TApdBaseDispatcher::TInputView TApdBaseDispatcher::ViewInput() {
    TCriticalSectionHold hold(InputLock);
    TInputView view;
    view.Buffer = DispatchBuffer.get();
    view.Tail = DispatchTail;
    view.Head = DispatchHead;
    view.Waiting = RingCount();
    view.Relative = RelativeReads;
    view.Taken = TakenByHandler;
    view.Arrived = ArrivedCount;
    return view;
}

TApdBaseDispatcher::TMatchFound TApdBaseDispatcher::FindNextMatch(const TInputView& view,
                                                                  uint64_t limit) {
    TCriticalSectionHold hold(DispatcherLock);
    TMatchFound found;
    // Bytes never examined and already overwritten cannot be examined any more.
    if (view.Arrived - ScannedCount > DispatchBufferSize) {
        ScannedCount = view.Arrived - DispatchBufferSize;
        ScanCharFed = false;
    }
    const bool anyActive = std::any_of(DataTriggers.begin(), DataTriggers.end(),
                                       [](const TDataTrigger& t) { return t.Length != 0; });
    if (!anyActive && ScannedCount < limit) {
        ScannedCount = limit;
        ScanCharFed = false;
    }
    while (ScannedCount < limit) {
        const uint32_t p = static_cast<uint32_t>(ScannedCount) & RingMask;
        const uint8_t ch = view.Buffer[p];
        bool anyMatch = false;
        uint32_t longest = 0;
        for (TDataTrigger& trigger : DataTriggers) {
            if (trigger.Length == 0) continue;
            // A byte already fed (an avail notification went out ahead of its match) must not
            // advance the partial matches a second time.
            if (!trigger.Matched && !ScanCharFed)
                trigger.Matched = AdvanceMatch(trigger.Matches, ch, trigger.Length,
                                               trigger.IgnoreCase != 0, trigger.Text)
                                      ? 0xFFFFFFFFu
                                      : 0;
            if (trigger.Matched) {
                anyMatch = true;
                longest = std::max(longest, trigger.Length);
            }
        }
        ScanCharFed = true;
        if (anyMatch) {
            ScanPosition = p;
            found.Action = TMatchFound::Data;
            if (AvailLevelValue != 0 && AvailPostedCount != ScannedCount) {
                // Waiting bytes up to and including p; none when p was already taken.
                const uint32_t offset = (p - view.Tail) & RingMask;
                const uint32_t through = offset < view.Waiting ? offset + 1 : 0;
                found.Before = int64_t{through} - (view.Relative ? int64_t{view.Taken} : 0) - longest;
                if (found.Before >= int64_t{AvailLevelValue}) {
                    found.Action = TMatchFound::Avail;
                    AvailPostedAt = p;
                    AvailPostedCount = ScannedCount;
                    if (Log.LogOn())
                        AddLogEntry(lkTrigger, lsAvail, static_cast<uint32_t>(found.Before));
                }
            }
            return found;
        }
        ++ScannedCount;
        ScanCharFed = false;
    }
    ScanPosition = static_cast<uint32_t>(ScannedCount) & RingMask;
    return found;
}

bool TApdBaseDispatcher::NotifyDataMatches() {
    bool result = true;
    size_t index;
    {
        TCriticalSectionHold hold(DispatcherLock);
        index = DataTriggers.size();
    }
    while (index-- > 0 && !ClosePending) {
        int32_t handle;
        uint32_t length;
        {
            TCriticalSectionHold hold(DispatcherLock);
            if (index >= DataTriggers.size()) break;
            TDataTrigger& trigger = DataTriggers[index];
            if (!trigger.Matched || trigger.Length == 0) continue;
            trigger.Matched = 0;
            handle = trigger.Handle;
            length = trigger.Length;
            if (Log.LogOn()) AddLogEntry(lkTrigger, lsData, static_cast<uint32_t>(handle));
        }
        result = DeliverNotification(TriggerDataMsg, static_cast<uint32_t>(handle),
                                     static_cast<uint16_t>(length));
    }
    ++ScannedCount;
    ScanCharFed = false;
    ScanPosition = static_cast<uint32_t>(ScannedCount) & RingMask;
    return result;
}

bool TApdBaseDispatcher::AnnounceWaiting(const TInputView& view) {
    const uint32_t n = InputUsed();
    {
        TCriticalSectionHold hold(DispatcherLock);
        if (AvailLevelValue == 0 || AvailPostedCount == view.Arrived || n < AvailLevelValue)
            return false;
        AvailPostedAt = view.Head;
        AvailPostedCount = view.Arrived;
        if (Log.LogOn()) AddLogEntry(lkTrigger, lsAvail, n);
    }
    return DeliverNotification(TriggerAvailMsg, n, 0);
}

bool TApdBaseDispatcher::CheckDataTriggers() { return CheckDataTriggersUpTo(~uint64_t{0}); }

bool TApdBaseDispatcher::CheckDataTriggersUpTo(uint64_t limit) {
    const TInputView view = ViewInput();
    if (!view.Buffer) return false;
    const TMatchFound found = FindNextMatch(view, std::min(limit, view.Arrived));
    switch (found.Action) {
        case TMatchFound::Avail:
            return DeliverNotification(TriggerAvailMsg, static_cast<uint32_t>(found.Before), 0);
        case TMatchFound::Data:
            return NotifyDataMatches();
        default:
            // Only a scan that reached the head knows what is waiting.
            return limit >= view.Arrived && AnnounceWaiting(view);
    }
}

bool TApdBaseDispatcher::ScanTakenBytes() {
    while (!InNotification && !ClosePending) {
        uint64_t limit;
        {
            TCriticalSectionHold hold(InputLock);
            const uint32_t waiting = RingCount();
            if (ArrivedCount - ScannedCount <= waiting) return true;
            limit = ArrivedCount - waiting;
        }
        const uint64_t scanned = ScannedCount;
        const uint64_t posted = AvailPostedCount;
        CheckDataTriggersUpTo(limit);
        if (ScannedCount == scanned && AvailPostedCount == posted) break;
    }
    return !ClosePending;
}

bool TApdBaseDispatcher::CheckStatusTriggers() {
    int32_t handle = 0;
    uint32_t data = 0;
    {
        TCriticalSectionHold hold(DispatcherLock);
        bool fired = false;
        for (size_t i = 0; i < StatusTriggers.size() && !fired; ++i) {
            TStatusTrigger& trigger = StatusTriggers[i];
            if (!trigger.Armed || trigger.Fired) continue;
            switch (trigger.Kind) {
                case stModem:
                    fired = ((trigger.Value & 0xFF) ^ (ModemStatusShadow & 0xFF)) &
                            (trigger.Value >> 8);
                    break;
                case stLine: {
                    uint32_t errors = LineErrors;
                    if (trigger.Value & errors) {
                        fired = true;
                        trigger.Value = static_cast<uint16_t>(errors);
                    }
                    break;
                }
                case stOutBuffFree: {
                    uint32_t n = OutputFree();
                    if (n >= trigger.Value) {
                        fired = true;
                        data = n;
                    }
                    break;
                }
                case stOutBuffUsed: {
                    uint32_t n = OutputUsed();
                    if (n <= trigger.Value) {
                        fired = true;
                        data = n;
                    }
                    break;
                }
                case stOutSent:
                    fired = OutputSent.exchange(false);
                    break;
                default:
                    break;
            }
            if (fired) {
                trigger.Armed = 0;
                trigger.Fired = 1;
                StatusFired = true;
                handle = trigger.Handle;
                if (Log.LogOn()) AddLogEntry(lkTrigger, lsStatus, static_cast<uint32_t>(handle));
            }
        }
        if (!fired) return false;
    }
    return DeliverNotification(TriggerStatusMsg, static_cast<uint32_t>(handle),
                               static_cast<uint16_t>(data));
}

bool TApdBaseDispatcher::CheckTimerTriggers() {
    int32_t handle = 0;
    {
        TCriticalSectionHold hold(DispatcherLock);
        const int64_t now = Ticks();
        bool expired = false;
        for (size_t i = 0; i < TimerTriggers.size() && !expired; ++i) {
            TTimerTrigger& trigger = TimerTriggers[i];
            if (!trigger.Armed) continue;
            if (now >= trigger.StartTicks) {
                expired = now > trigger.ExpireTicks;
            } else {
                // The clock has wrapped since the timer was armed: count the ticks across the
                // wrap, so that the timer fires on time rather than about 25 days late.
                int64_t elapsed = now + TicksPerClockWrap - trigger.StartTicks;
                expired = elapsed > int64_t{trigger.ExpireTicks} - trigger.StartTicks;
            }
            if (expired) {
                trigger.Armed = 0;
                handle = trigger.Handle;
                if (Log.LogOn()) AddLogEntry(lkTrigger, lsTimer, static_cast<uint32_t>(handle));
            }
        }
        if (!expired) return false;
    }
    return DeliverNotification(TriggerTimerMsg, static_cast<uint32_t>(handle), 0);
}

bool TApdBaseDispatcher::DeliverNotification(uint32_t message, uint32_t wParam, uint16_t data) {
    size_t methods, procs, windows;
    bool toWindows;
    {
        TCriticalSectionHold hold(DispatcherLock);
        toWindows = LiveCount(NotifyWindows) > 1 || EventsAssigned;
        if (message == TriggerAvailMsg) AvailUnheard = !AnyoneListens();
        if (!DeliveryOn) return true;
        InNotification = true;
        methods = NotifyMethods.size();
        procs = NotifyProcs.size();
        windows = NotifyWindows.size();
    }
    const int32_t lParam =
        static_cast<int32_t>((static_cast<uint32_t>(DispatcherIndex) << 16) + data);
    const bool relative = message == TriggerAvailMsg || message == TriggerDataMsg;
    {
        TCriticalSectionHold hold(InputLock);
        MostTaken = 0;
        RelativeReads = relative;
    }

    // Each handler starts reading where the first one did; afterwards the buffer advances by
    // the most any of them took. A close stops the delivery after the current handler.
    bool stopped = false;
    auto runHandler = [&](auto&& call) {
        {
            TCriticalSectionHold hold(InputLock);
            TakenByHandler = 0;
        }
        try {
            call();
        } catch (...) {
            // A handler's failure is its own: the other handlers and the dispatch thread go on,
            // and the application learns of it as it does of its window handlers' failures.
            if (ReportHandlerFailure)
                ReportHandlerFailure(std::current_exception());
            else
                ApplicationHandleException(std::current_exception(), UnknownHandlerFailure);
        }
        if (ClosePending) {
            stopped = true;
            return;
        }
        TCriticalSectionHold hold(InputLock);
        MostTaken = std::max(MostTaken, TakenByHandler);
    };

    for (size_t i = 0; i < methods && !stopped; ++i) {
        TNotifyMethodRecord record;
        {
            TCriticalSectionHold hold(DispatcherLock);
            if (i < NotifyMethods.size()) record = NotifyMethods[i];
        }
        runHandler([&] {
            if (record.Deleted || !record.Method) return;
            if (record.Synchronised && SyncCall)
                SyncCall(message, wParam, lParam, record.Method);
            else
                record.Method(message, wParam, lParam);
        });
    }
    for (size_t i = 0; i < procs && !stopped; ++i) {
        TNotifyProcRecord record;
        {
            TCriticalSectionHold hold(DispatcherLock);
            if (i < NotifyProcs.size()) record = NotifyProcs[i];
        }
        runHandler([&] {
            if (!record.Deleted && record.Proc) record.Proc(message, wParam, lParam);
        });
    }
    for (size_t i = 0; i < windows && toWindows && !stopped; ++i) {
        TNotifyWindowRecord record;
        {
            TCriticalSectionHold hold(DispatcherLock);
            if (i < NotifyWindows.size()) record = NotifyWindows[i];
        }
        runHandler([&] {
            if (record.Deleted || !record.Window) return;
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(record.Window, message, wParam, lParam, SMTO_BLOCK, 3000, &answer);
        });
    }

    bool result = !stopped;
    {
        TCriticalSectionHold hold(InputLock);
        if (RelativeReads) {
            RelativeReads = false;
            if (!stopped) {
                uint32_t advance = std::min(MostTaken, RingCount());
                DispatchTail = (DispatchTail + advance) & RingMask;
                if (advance != 0) DispatchFull = false;
                if (message == TriggerAvailMsg && MostTaken != wParam) result = false;
            }
        }
        if (!stopped) TakenByHandler = 0;
    }
    TCriticalSectionHold hold(DispatcherLock);
    InNotification = false;
    if (PurgePending) {
        PurgeDeletedRecords();
        PurgePending = false;
        SetDeliveryMode(0);
    }
    return result;
}

// =============================================================================================
// Trace and log

int32_t TApdBaseDispatcher::OpenTraceBuffer(uint32_t size) {
    TCriticalSectionHold hold(DispatcherLock);
    return Trace.OpenTraceBuffer(size);
}

int32_t TApdBaseDispatcher::ClearTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    return Trace.ClearTrace();
}

void TApdBaseDispatcher::AbortTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.AbortTrace();
}

void TApdBaseDispatcher::ResumeTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.ResumeTrace();
}

void TApdBaseDispatcher::PauseTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.PauseTrace();
}

void TApdBaseDispatcher::RecordTracePair(char tag, uint8_t byte) {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.RecordTracePair(tag, byte);
}

int32_t TApdBaseDispatcher::WriteTraceReport(const char* fileName, bool append, bool hex) {
    TCriticalSectionHold hold(DispatcherLock);
    return Trace.WriteTraceReport(fileName, append, hex);
}

int32_t TApdBaseDispatcher::OpenLogBuffer(uint32_t size) {
    TCriticalSectionHold hold(DispatcherLock);
    return Log.OpenLogBuffer(size);
}

void TApdBaseDispatcher::ClearLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.ClearLog();
}

void TApdBaseDispatcher::AbortLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.AbortLog();
}

void TApdBaseDispatcher::ResumeLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.ResumeLog();
}

void TApdBaseDispatcher::PauseLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.PauseLog();
}

void TApdBaseDispatcher::AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value,
                                     const void* data, uint32_t length) {
    TCriticalSectionHold hold(DispatcherLock);
    if (Log.LogOn()) Log.AddLogEntry(kind, subKind, value, data, length, ElapsedMs());
}

int32_t TApdBaseDispatcher::WriteLogReport(const char* fileName, bool append, bool hex) {
    TCriticalSectionHold hold(DispatcherLock);
    return Log.WriteLogReport(fileName, append, hex);
}
