#include "serial/Dispatcher.h"

#include <algorithm>
#include <new>

namespace {

struct TDispatcherTableModule {
    CRITICAL_SECTION Lock;
    std::vector<TBaseDispatcher*> Slots;
    TDispatcherTableModule() { InitializeCriticalSection(&Lock); }
    ~TDispatcherTableModule() { DeleteCriticalSection(&Lock); }
};

// Built on first use, which is the construction of the first dispatcher (or the first lookup),
// so it is destroyed after every dispatcher that was built after it.
TDispatcherTableModule& TableModule() {
    static TDispatcherTableModule module;
    return module;
}

}  // namespace

CRITICAL_SECTION& DispatcherTableLock() { return TableModule().Lock; }

std::vector<TBaseDispatcher*>& DispatcherTable() { return TableModule().Slots; }

TBaseDispatcher* DispatcherInSlot(int32_t index) {
    auto& slots = DispatcherTable();
    if (index < 0 || static_cast<size_t>(index) >= slots.size()) return nullptr;
    return slots[static_cast<size_t>(index)];
}

// =============================================================================================
// Construction and the dispatcher table

TBaseDispatcher::TBaseDispatcher(TBaseComponent* owner) : Owner(owner) {
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

TBaseDispatcher::~TBaseDispatcher() {
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

void TBaseDispatcher::SetClock(std::function<uint32_t()> clock) { FClock = std::move(clock); }

void TBaseDispatcher::SetSleeper(std::function<void(uint32_t)> sleeper) {
    FSleeper = std::move(sleeper);
}

void TBaseDispatcher::SetModemStatusReader(std::function<uint8_t()> reader) {
    FModemStatusReader = std::move(reader);
}

// =============================================================================================
// Open and close

bool TBaseDispatcher::CreateSignals() {
    DeviceEventSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EventDoneSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ThreadAckSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OutputPendingSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WriteDoneSignal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OutputFlushSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    bool created = true;
    for (HANDLE* signal : {&DeviceEventSignal, &EventDoneSignal, &ThreadAckSignal,
                           &OutputPendingSignal, &WriteDoneSignal, &OutputFlushSignal}) {
        if (*signal != nullptr) continue;
        *signal = INVALID_HANDLE_VALUE;
        created = false;
    }
    OutputWaitSignals[0] = OutputPendingSignal;
    OutputWaitSignals[1] = OutputFlushSignal;
    WriteWaitSignals[0] = WriteDoneSignal;
    WriteWaitSignals[1] = OutputFlushSignal;
    if (!created) CloseSignals();
    return created;
}

void TBaseDispatcher::CloseSignals() {
    for (HANDLE* signal : {&DeviceEventSignal, &EventDoneSignal, &ThreadAckSignal,
                           &OutputPendingSignal, &WriteDoneSignal, &OutputFlushSignal}) {
        if (*signal != INVALID_HANDLE_VALUE && CloseHandle(*signal)) *signal = INVALID_HANDLE_VALUE;
    }
}

int32_t TBaseDispatcher::OpenPort(const char* name, int32_t baud, uint16_t parity,
                                  uint16_t dataBits, uint16_t stopBits, uint32_t inSize,
                                  uint32_t outSize, bool dtr, bool rts) {
    if (DeviceHandle >= 0) return ecAlreadyOpen;
    ForgetEarlierOpen();
    CloseSignals();  // left open by a device layer that did not stop its threads
    if (!CreateSignals()) return ecOutOfMemory;

    int32_t rc = OpenDeviceNamed(name, inSize, outSize);
    if (rc == ecOK) rc = SetupQueues(inSize, outSize);
    if (rc == ecOK) rc = AllocateBuffers(outSize);
    if (rc == ecOK) {
        ResetLineState(inSize, dtr, rts);
        ResetTriggerState();
        rc = SetLineSettings(baud, parity, dataBits, stopBits);
    }
    if (rc != ecOK) {
        // Closed again, and, since no thread will ever close them, the signals too.
        ClosePort();
        CloseSignals();
        return rc;
    }
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

void TBaseDispatcher::ForgetEarlierOpen() {
    RingEdgeSeen = false;
    InNotification = false;
    {
        TCriticalSectionHold hold(DispatcherLock);
        PurgePending = false;
    }
    {
        TCriticalSectionHold hold(OutputLock);
        OutRing.Release();
    }
    TCriticalSectionHold hold(InputLock);
    DispatchBuffer.Release();
}

int32_t TBaseDispatcher::OpenDeviceNamed(const char* name, uint32_t inSize, uint32_t outSize) {
    SetLastError(0);
    const intptr_t handle = OpenDevice(name, inSize, outSize);
    if (handle >= 0) {
        DeviceHandle = handle;
        return ecOK;
    }
    const DWORD error = GetLastError();
    DeviceHandle = -1;
    if (handle == ecOutOfMemory) return ecOutOfMemory;
    // A layer that reports no reason still has failed: keep its own negative code.
    if (error == 0 || error > 0x7FFFFFFF) return static_cast<int32_t>(handle);
    return -static_cast<int32_t>(error);
}

int32_t TBaseDispatcher::AllocateBuffers(uint32_t outSize) {
    {
        TCriticalSectionHold hold(OutputLock);
        if (!OutRing.Allocate(outSize)) return ecOutOfMemory;
        OutQueueSize = outSize;
    }
    TCriticalSectionHold hold(InputLock);
    if (!DispatchBuffer.Allocate(DispatchBufferSize)) return ecOutOfMemory;
    TakenByHandler = 0;
    MostTaken = 0;
    RelativeReads = false;
    ArrivedCount = 0;
    return ecOK;
}

void TBaseDispatcher::ResetLineState(uint32_t inSize, bool dtr, bool rts) {
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
}

void TBaseDispatcher::ResetTriggerState() {
    ScannedCount = 0;
    ScanCharFed = false;
    ClearAllTriggers();
    AvailPostedCount = 0;
    AvailUnheard = false;
    ResetStatusMarks();
    {
        TCriticalSectionHold hold(DispatcherLock);
        ModemStatusShadow = 0;
    }
    ReadModemStatus(0xF0);
    TCriticalSectionHold hold(DispatcherLock);
    CurrentBaud = 115200;
}

void TBaseDispatcher::ClosePort() {
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

void TBaseDispatcher::ReleasePort() {
    if (ThreadsRunning) StopThreads();
    {
        TCriticalSectionHold hold(OutputLock);
        OutRing.Release();
    }
    TCriticalSectionHold hold(InputLock);
    DispatchBuffer.Release();
    RelativeReads = false;
    TakenByHandler = 0;
    MostTaken = 0;
}

int32_t TBaseDispatcher::SetupQueues(uint32_t inSize, uint32_t outSize) {
    SetLastError(0);
    if (SizeDeviceQueues(inSize, outSize)) return ecOK;
    DWORD error = GetLastError();
    // A failure without a reason must not read as success.
    if (error == 0 || error > 0x7FFFFFFF) return ecMemory;
    return -static_cast<int32_t>(error);
}

void TBaseDispatcher::ThreadEnded(TDispatcherThread* thread) {
    // The event thread ends by itself only when the device has gone: tell the windows, which
    // belong to this (the main) thread, by a posted message, so that their owner hears of it
    // outside of this bookkeeping.
    if (ComThread == thread && DeviceLost) {
        TCriticalSectionHold hold(DispatcherLock);
        for (const TNotifyWindowRecord& w : NotifyWindows) {
            if (!w.Deleted) {
                PostMessageA(w.Window, DeviceLostMsg, 0,
                             static_cast<LPARAM>(static_cast<uint32_t>(DispatcherIndex) << 16));
            }
        }
    }
    if (ComThread == thread) ComThread = nullptr;
    if (DispThread == thread) DispThread = nullptr;
    if (OutThread == thread) OutThread = nullptr;
    if (ReleaseOnThreadEnd.exchange(false)) ReleasePort();
    if (InterlockedDecrement(&LiveThreadCount) <= 0) ThreadsRunning = false;
}

// =============================================================================================
// Status

void TBaseDispatcher::RefreshLineStatus() {
    TCriticalSectionHold hold(OutputLock);
    LineErrors |= ReadLineStatus(LineStatus) & LineErrorBits;
}

uint8_t TBaseDispatcher::ReadModemLines() {
    if (FModemStatusReader) return FModemStatusReader();
    DWORD status = 0;
    if (DeviceHandle < 0 || !GetCommModemStatus(DeviceHandleValue(), &status)) return 0;
    return static_cast<uint8_t>(status);
}

uint8_t TBaseDispatcher::ReadModemStatus(uint8_t mask) {
    TCriticalSectionHold hold(DispatcherLock);
    ModemStatusShadow = (ModemStatusShadow & 0x0F) | (ReadModemLines() & 0xF0);
    if (RingEdgeSeen.exchange(false)) ModemStatusShadow |= 0x04;
    uint8_t status = static_cast<uint8_t>(ModemStatusShadow);
    ModemStatusShadow &= mask;
    return status;
}

void TBaseDispatcher::RefreshModemDeltas() {
    TCriticalSectionHold hold(DispatcherLock);
    uint32_t before = ModemStatusShadow & 0xFF;
    ReadModemStatus(0xFF);
    uint32_t after = ModemStatusShadow & 0xFF;
    ModemStatusShadow |= ((before ^ after) & 0xF0) >> 4;
}

int32_t TBaseDispatcher::TakeLineError() {
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

bool TBaseDispatcher::TakeLineBreak() {
    TCriticalSectionHold hold(DispatcherLock);
    return (LineErrors.fetch_and(~0x10u) & 0x10) != 0;
}

void TBaseDispatcher::SetOptionBits(uint32_t bits) {
    TCriticalSectionHold hold(DispatcherLock);
    OptionBits |= bits;
}

void TBaseDispatcher::ClearOptionBits(uint32_t bits) {
    TCriticalSectionHold hold(DispatcherLock);
    OptionBits &= ~bits;
}

// =============================================================================================
// Trace and log

int32_t TBaseDispatcher::OpenTraceBuffer(uint32_t size) {
    TCriticalSectionHold hold(DispatcherLock);
    return Trace.OpenTraceBuffer(size);
}

int32_t TBaseDispatcher::ClearTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    return Trace.ClearTrace();
}

void TBaseDispatcher::AbortTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.AbortTrace();
}

void TBaseDispatcher::ResumeTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.ResumeTrace();
}

void TBaseDispatcher::PauseTrace() {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.PauseTrace();
}

void TBaseDispatcher::RecordTracePair(char tag, uint8_t byte) {
    TCriticalSectionHold hold(DispatcherLock);
    Trace.RecordTracePair(tag, byte);
}

int32_t TBaseDispatcher::WriteTraceReport(const char* fileName, bool append, bool hex) {
    TCriticalSectionHold hold(DispatcherLock);
    return Trace.WriteTraceReport(fileName, append, hex);
}

int32_t TBaseDispatcher::OpenLogBuffer(uint32_t size) {
    TCriticalSectionHold hold(DispatcherLock);
    return Log.OpenLogBuffer(size);
}

void TBaseDispatcher::ClearLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.ClearLog();
}

void TBaseDispatcher::AbortLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.AbortLog();
}

void TBaseDispatcher::ResumeLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.ResumeLog();
}

void TBaseDispatcher::PauseLog() {
    TCriticalSectionHold hold(DispatcherLock);
    Log.PauseLog();
}

void TBaseDispatcher::AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data,
                                  uint32_t length) {
    TCriticalSectionHold hold(DispatcherLock);
    if (Log.LogOn()) Log.AddLogEntry(kind, subKind, value, data, length, ElapsedMs());
}

int32_t TBaseDispatcher::WriteLogReport(const char* fileName, bool append, bool hex) {
    TCriticalSectionHold hold(DispatcherLock);
    return Log.WriteLogReport(fileName, append, hex);
}
