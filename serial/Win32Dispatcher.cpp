#include "serial/Win32Dispatcher.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/PlatformHooks.h"
#include "serial/CommErrors.h"
#include "serial/Common.h"

namespace {

// Messages of the hidden window that carries work to the thread that started the workers.
constexpr UINT ThreadEndMsg = WM_APP + 0x101;  // lParam: the TThread that ended
constexpr UINT SyncCallMsg = WM_APP + 0x102;   // lParam: a heap-held shared TSyncRequest
constexpr UINT FailureMsg = WM_APP + 0x103;    // lParam: a heap-held std::exception_ptr
constexpr char ThreadWindowClass[] = "TThreadWindow";

constexpr DWORD PumpIdleWait = 10;
constexpr DWORD QuitPendingPause = 10;
// How often a worker waiting for a synchronised call looks whether it must give up.
constexpr auto SyncCallPoll = std::chrono::milliseconds(50);

thread_local HWND tThreadWindow = nullptr;
thread_local TThread* tCurrentThread = nullptr;

// Hands an exception that escaped a thread's body to the application's handler, which shows it.
void ReportThreadException(std::exception_ptr failure) {
    ApplicationHandleException(failure, "Unknown exception in a worker thread");
}

// A handler to run on the starting thread. Shared between the waiting worker and the message
// that carries it, so that either may give up on the other without freeing what it uses.
struct TSyncRequest {
    enum class TState { Queued, Running, Finished, Abandoned };
    std::mutex Mutex;
    std::condition_variable Changed;
    TState State = TState::Queued;
    uint32_t Message = 0;
    uint32_t TriggerHandle = 0;
    int32_t Data = 0;
    TNotifyMethod Handler;
    std::exception_ptr Failure;
};

void RunSyncRequest(LPARAM lParam) {
    std::unique_ptr<std::shared_ptr<TSyncRequest>> carried(
        reinterpret_cast<std::shared_ptr<TSyncRequest>*>(lParam));
    TSyncRequest& request = **carried;
    {
        std::lock_guard<std::mutex> hold(request.Mutex);
        if (request.State != TSyncRequest::TState::Queued) return;
        request.State = TSyncRequest::TState::Running;
    }
    std::exception_ptr failure;
    try {
        request.Handler(request.Message, request.TriggerHandle, request.Data);
    } catch (...) {
        failure = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(request.Mutex);
    if (request.State == TSyncRequest::TState::Running) {
        request.State = TSyncRequest::TState::Finished;
        request.Failure = failure;
    }
    request.Changed.notify_all();
}

int32_t NegatedError(DWORD error) {
    // A failure without a reason must still read as a failure.
    if (error == 0 || error > 0x7FFFFFFF) return ecError;
    return -static_cast<int32_t>(error);
}

bool Valid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

// Module start and end: one thread that does nothing is started and, at the end, waited for.
struct TWin32DispatcherModule {
    TTimerThread* TimerThread = nullptr;
    TWin32DispatcherModule() {
        TimerThread = new TTimerThread;
        if (!TimerThread->Start()) {
            delete TimerThread;
            TimerThread = nullptr;
        }
    }
    ~TWin32DispatcherModule() {
        if (!TimerThread) return;
        WaitForSingleObject(TimerThread->Handle(), INFINITE);
        delete TimerThread;
    }
    TWin32DispatcherModule(const TWin32DispatcherModule&) = delete;
    TWin32DispatcherModule& operator=(const TWin32DispatcherModule&) = delete;
};
TWin32DispatcherModule Win32DispatcherModule;

}  // namespace

// =============================================================================================
// Message pumping

bool PumpOneMessage() {
    MSG message{};
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message != WM_QUIT) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
            return true;
        }
        PostQuitMessage(static_cast<int>(message.wParam));
        // Every later look finds the quit request again at once; a loop around this function
        // would spin without the pause.
        Sleep(QuitPendingPause);
        return false;
    }
    // Returns as soon as a message is sent or posted to this thread; the next look runs it.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, PumpIdleWait, QS_ALLINPUT);
    return false;
}

// =============================================================================================
// TThread

TThread::~TThread() {
    if (FHandle) CloseHandle(FHandle);
}

HWND TThread::WindowOfCallingThread() {
    if (tThreadWindow && IsWindow(tThreadWindow)) return tThreadWindow;
    static std::once_flag registered;
    std::call_once(registered, [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &TThread::WindowProc;
        windowClass.lpszClassName = ThreadWindowClass;
        RegisterClassA(&windowClass);
    });
    tThreadWindow = CreateWindowExA(0, ThreadWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
    return tThreadWindow;
}

bool TThread::Start() {
    if (FHandle) return false;
    if (OnTerminate || FreeOnTerminate) {
        FStarterWindow = WindowOfCallingThread();
        if (!FStarterWindow) return false;
    }
    FHandle = CreateThread(nullptr, 0, &TThread::ThreadProc, this, 0, nullptr);
    return FHandle != nullptr;
}

DWORD WINAPI TThread::ThreadProc(LPVOID parameter) {
    auto* thread = static_cast<TThread*>(parameter);
    tCurrentThread = thread;
    try {
        thread->Execute();
    } catch (...) {
        thread->FFailure = std::current_exception();
    }
    tCurrentThread = nullptr;
    HWND window = thread->FStarterWindow;
    if (!window) {
        if (thread->FFailure) ReportThreadException(std::exchange(thread->FFailure, nullptr));
        return 0;
    }
    // From here on the object belongs to the starting thread, which may delete it at once. If
    // that thread has ended, nobody is left to learn of this end.
    PostMessageA(window, ThreadEndMsg, 0, reinterpret_cast<LPARAM>(thread));
    return 0;
}

void TThread::DoTerminate() {
    if (FFailure) ReportThreadException(std::exchange(FFailure, nullptr));
    if (OnTerminate) {
        try {
            OnTerminate(this);
        } catch (...) {
            ReportThreadException(std::current_exception());
        }
    }
    if (FreeOnTerminate) delete this;
}

LRESULT CALLBACK TThread::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case ThreadEndMsg:
            reinterpret_cast<TThread*>(lParam)->DoTerminate();
            return 0;
        case SyncCallMsg:
            RunSyncRequest(lParam);
            return 0;
        case FailureMsg: {
            std::unique_ptr<std::exception_ptr> failure(
                reinterpret_cast<std::exception_ptr*>(lParam));
            ApplicationHandleException(*failure, UnknownHandlerFailure);
            return 0;
        }
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

// =============================================================================================
// Worker threads

void TDispatcherThread::SyncCall(uint32_t message, uint32_t triggerHandle, int32_t data,
                                 const TNotifyMethod& handler) {
    auto request = std::make_shared<TSyncRequest>();
    request->Message = message;
    request->TriggerHandle = triggerHandle;
    request->Data = data;
    request->Handler = handler;
    auto* carried = new std::shared_ptr<TSyncRequest>(request);
    HWND window = StarterWindow();
    if (!window || !PostMessageA(window, SyncCallMsg, 0, reinterpret_cast<LPARAM>(carried))) {
        delete carried;  // the starting thread is gone: there is nobody to run it
        return;
    }
    std::unique_lock<std::mutex> hold(request->Mutex);
    while (request->State != TSyncRequest::TState::Finished) {
        // A handler that closes the port and then waits for the threads to end would wait
        // for this thread forever.
        if (Dispatcher->ThreadsMustStop || Dispatcher->ClosePending) {
            request->State = TSyncRequest::TState::Abandoned;
            return;
        }
        request->Changed.wait_for(hold, SyncCallPoll);
    }
    if (request->Failure) std::rethrow_exception(request->Failure);
}

void TDispatcherThread::ReportOnStarter(std::exception_ptr failure) {
    auto* carried = new std::exception_ptr(std::move(failure));
    HWND window = StarterWindow();
    if (window && PostMessageA(window, FailureMsg, 0, reinterpret_cast<LPARAM>(carried))) return;
    // The starting thread is gone: nobody could show it there.
    ApplicationHandleException(*carried, UnknownHandlerFailure);
    delete carried;
}

void TComThread::Execute() {
    TWin32Dispatcher& d = *Dispatcher;
    k419::platform::NameCurrentThread("k419-event");
    const HANDLE device = d.Device();
    FOverlapped = OVERLAPPED{};
    FOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD currentMask = DeviceEventMask;
    SetCommMask(device, currentMask);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(device, &timeouts);
    SetEvent(d.ThreadAckSignal);

    // A wait that fails at once fails again at once (a device that has gone away): one such
    // failure is handed on as an event, a second in a row ends the thread instead of spinning.
    int failuresInRow = 0;
    // The next wait is armed as soon as a mask has been handed over, not once it has been
    // processed: the thread then sleeps once per event (in the device wait) instead of twice
    // (there and in the wait for EventDoneSignal). A mask is still handed over only after the
    // previous one has been processed, so LastEventMask never changes while it is in use.
    bool handedOver = false;
    for (;;) {
        FWaitMask = 0;
        if (d.WaitDeviceEvent(FWaitMask, &FOverlapped)) {
            failuresInRow = 0;
        } else {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD ignored = 0;
                if (!GetOverlappedResult(device, &FOverlapped, &ignored, TRUE)) break;
                if (FWaitMask & RingTrailingEdgeBit) d.RingEdgeSeen = true;
                // The record's event needs no reset here: the next wait resets it as it begins.
                failuresInRow = 0;
            } else if (error == ERROR_INVALID_PARAMETER && (currentMask & RingTrailingEdgeBit)) {
                currentMask = ReducedEventMask;
                SetCommMask(device, currentMask);
            } else if (++failuresInRow > 1) {
                break;
            }
        }
        if (d.ThreadsMustStop) break;
        if (handedOver && WaitForSingleObject(d.EventDoneSignal, INFINITE) != WAIT_OBJECT_0) break;
        if (d.ThreadsMustStop) break;
        d.LastEventMask = FWaitMask;
        d.FEventPending = true;
        SetEvent(d.DeviceEventSignal);
        handedOver = true;
    }
    // Ended by a wait that failed rather than by a stop: the device is gone.
    if (!d.ThreadsMustStop) d.DeviceLost = true;
    SetEvent(d.ThreadAckSignal);
    if (FOverlapped.hEvent) CloseHandle(FOverlapped.hEvent);
}

void TDispThread::Execute() {
    TWin32Dispatcher& d = *Dispatcher;
    // However the body ends, ThreadEnded learns whether this end finishes a close.
    struct TEndNote {
        TWin32Dispatcher& D;
        ~TEndNote() { D.ReleaseOnThreadEnd = D.ClosePending || D.ThreadsMustStop; }
    } endNote{d};
    k419::platform::NameCurrentThread("k419-dispatch");

    SetEvent(d.ThreadAckSignal);
    for (;;) {
        // Each timed wake-up costs CPU time even when there is nothing to check, so the thread
        // sleeps until the next event while no trigger needs the periodic checks; arming one
        // wakes it (WakeForPeriodicCheck).
        const DWORD wait = d.PeriodicCheckNeeded() ? DispatchWait : INFINITE;
        const DWORD result = WaitForSingleObject(d.DeviceEventSignal, wait);
        if (d.ThreadsMustStop) return;
        // A signal that has been closed can never wake the thread again.
        if (result == WAIT_FAILED) return;
        if (result == WAIT_OBJECT_0 && d.FEventPending.exchange(false))
            d.ProcessDeviceEvent(d.LastEventMask);
        d.RecheckReceivedData();
        d.PeriodicCheck();
        if (d.ThreadsMustStop || d.ClosePending) {
            SetEvent(d.ThreadAckSignal);
            return;
        }
    }
}

void TOutThread::Execute() {
    k419::platform::NameCurrentThread("k419-output");
    TWin32Dispatcher& d = *Dispatcher;
    SetEvent(d.ThreadAckSignal);
    do {
        const DWORD result = WaitForMultipleObjects(2, d.OutputWaitSignals, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            if (d.ThreadsMustStop) return;
            d.WriteOutput();
        } else if (result == WAIT_OBJECT_0 + 1) {
            d.AcknowledgeFlush();
        } else if (result == WAIT_FAILED) {
            return;  // its signals are gone: nothing can wake it any more
        }
    } while (!d.ThreadsMustStop && !d.ClosePending);
}

// =============================================================================================
// TWin32Dispatcher

TWin32Dispatcher::TWin32Dispatcher(TBaseComponent* owner) : TBaseDispatcher(owner) {
    SyncCall = [this](uint32_t message, uint32_t wParam, int32_t lParam,
                      const TNotifyMethod& method) {
        auto* worker = tCurrentThread ? tCurrentThread->AsDispatcherThread() : nullptr;
        if (worker && worker->Dispatcher == this)
            worker->SyncCall(message, wParam, lParam, method);
        else
            method(message, wParam, lParam);  // already on a thread that may run it
    };
    ReportHandlerFailure = [this](std::exception_ptr failure) {
        auto* worker = tCurrentThread ? tCurrentThread->AsDispatcherThread() : nullptr;
        if (worker && worker->Dispatcher == this)
            worker->ReportOnStarter(std::move(failure));
        else
            ApplicationHandleException(failure, UnknownHandlerFailure);
    };
    WakeForPeriodicCheck = [this] {
        if (Valid(DeviceEventSignal)) SetEvent(DeviceEventSignal);
    };
    SetOutputThreadPriority = [this](bool highest) {
        if (OutThread && OutThread->Handle())
            SetThreadPriority(OutThread->Handle(),
                              highest ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_NORMAL);
    };
}

TWin32Dispatcher::~TWin32Dispatcher() {
    try {
        ClosePort();
        // After a close during a delivery the worker threads still use this object until the
        // dispatch thread has ended and its end has been handled.
        while (ThreadsRunning) PumpOneMessage();
    } catch (...) {
        // Nothing can be reported from here.
    }
    if (Valid(FReadSignal)) CloseHandle(FReadSignal);
}

int32_t TWin32Dispatcher::LineFunction(int32_t code) {
    EscapeCommFunction(Device(), static_cast<DWORD>(code));
    return 0;
}

int32_t TWin32Dispatcher::PurgeQueue(int32_t which) {
    const HANDLE device = Device();
    if (which != 0)
        return PurgeComm(device, PURGE_RXABORT | PURGE_RXCLEAR) ? 0 : NegatedError(GetLastError());

    const HANDLE outThread = OutThread ? OutThread->Handle() : nullptr;
    if (outThread && Valid(OutputFlushSignal) && Valid(ThreadAckSignal)) {
        const uint32_t ticket = FFlushRequested.fetch_add(1) + 1;
        SetEvent(OutputFlushSignal);
        // Other threads set ThreadAckSignal too; only the ticket tells the output thread's
        // answer. A thread that has ended answers by its handle, and a silent one is given up
        // on: the ring is emptied all the same.
        const HANDLE waits[2] = {ThreadAckSignal, outThread};
        const DWORD start = GetTickCount();
        while (static_cast<int32_t>(FFlushAcknowledged.load() - ticket) < 0) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= FlushAckWait) break;
            if (WaitForMultipleObjects(2, waits, FALSE, FlushAckWait - elapsed) != WAIT_OBJECT_0)
                break;
        }
    }
    TCriticalSectionHold hold(OutputLock);
    OutRing.Clear();
    return PurgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR) ? 0 : NegatedError(GetLastError());
}

uint32_t TWin32Dispatcher::ReadLineStatus(COMSTAT& status) {
    TCriticalSectionHold hold(OutputLock);
    DWORD errors = 0;
    const bool read = ClearCommError(Device(), &errors, &status) != FALSE;
    // Nothing is known to be waiting in a driver that could not be asked.
    if (!read) status.cbInQue = 0;
    status.cbOutQue = static_cast<DWORD>(OutRing.Count());
    return read ? errors : 0;
}

int32_t TWin32Dispatcher::NoteReadError(int32_t) { return 0; }

int32_t TWin32Dispatcher::FetchLineSettings(DCB& dcb) {
    return GetCommState(Device(), &dcb) ? 0 : ecError;
}

int32_t TWin32Dispatcher::ReadDevice(uint8_t* dest, uint32_t count) {
    const HANDLE device = Device();
    DWORD read = 0;
    if (!ReadFile(device, dest, count, &read, &FReadOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        if (GetOverlappedResult(device, &FReadOverlapped, &read, TRUE))
            ResetEvent(FReadOverlapped.hEvent);
    }
    return static_cast<int32_t>(std::min<DWORD>(read, count));
}

int32_t TWin32Dispatcher::ApplyLineSettings(DCB& dcb) {
    return SetCommState(Device(), &dcb) ? 0 : NegatedError(GetLastError());
}

int32_t TWin32Dispatcher::QueueOutput(const uint8_t* data, uint32_t count) {
    {
        TCriticalSectionHold hold(OutputLock);
        if (!data || !OutRing.Put(data, count)) return 0;
    }
    SetEvent(OutputPendingSignal);
    return static_cast<int32_t>(count);
}

bool TWin32Dispatcher::WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) {
    return WaitCommEvent(Device(), &mask, overlapped) != FALSE;
}

bool TWin32Dispatcher::SizeDeviceQueues(uint32_t inSize, uint32_t outSize) {
    return SetupComm(Device(), inSize, outSize) != FALSE;
}

void TWin32Dispatcher::StartThreads() {
    bool started;
    {
        TCriticalSectionHold hold(DispatcherLock);
        if (ThreadsRunning) throw Exception("Dispatcher already started");
        ThreadsRunning = true;
        ThreadsMustStop = false;
        ReleaseOnThreadEnd = false;
        FEventPending = false;
        // The count is raised before the thread exists, so that an early end of one thread can
        // never make the count reach 0 while another is still being started.
        auto start = [this](TDispatcherThread* thread, TDispatcherThread*& reference) {
            thread->FreeOnTerminate = true;
            thread->OnTerminate = [this](TThread* ended) {
                ThreadEnded(static_cast<TDispatcherThread*>(ended));
            };
            reference = thread;
            InterlockedIncrement(&LiveThreadCount);
            if (!thread->Start()) {
                reference = nullptr;
                InterlockedDecrement(&LiveThreadCount);
                delete thread;
                return false;
            }
            WaitForSingleObject(ThreadAckSignal, ThreadStartWait);
            return true;
        };
        started = start(new TComThread(this), ComThread) &&
                  start(new TDispThread(this), DispThread) &&
                  start(new TOutThread(this), OutThread);
    }
    if (started) return;
    if (LiveThreadCount > 0)
        StopThreads();
    else
        ThreadsRunning = false;
    throw Exception("Dispatcher threads could not be started");
}

void TWin32Dispatcher::PumpUntilGone(TDispatcherThread* const& thread) {
    while (thread) PumpOneMessage();
}

void TWin32Dispatcher::StopThreads() {
    {
        TCriticalSectionHold hold(DispatcherLock);
        if (!ThreadsRunning) throw Exception("Dispatcher not running");
        ThreadsMustStop = true;
    }
    // The waits run without DispatcherLock: the dispatch thread takes it while it delivers a
    // notification, and it must be able to finish the delivery and end. The pumping also
    // serves its sends to windows of this thread.
    if (OutThread) {
        if (Valid(OutputFlushSignal)) SetEvent(OutputFlushSignal);
        PumpUntilGone(OutThread);
    }
    if (ComThread) {
        SetCommMask(Device(), 0);
        if (Valid(EventDoneSignal)) SetEvent(EventDoneSignal);
        if (Valid(ThreadAckSignal)) ResetEvent(ThreadAckSignal);
        PumpUntilGone(ComThread);
    }
    if (DispThread) {
        // Cuts its 50 ms wait short; it leaves at once when it sees ThreadsMustStop.
        if (Valid(DeviceEventSignal)) SetEvent(DeviceEventSignal);
        PumpUntilGone(DispThread);
    }
    CloseThreadSignals();
}

void TWin32Dispatcher::CloseThreadSignals() {
    for (HANDLE* signal : {&DeviceEventSignal, &EventDoneSignal, &ThreadAckSignal,
                           &OutputPendingSignal, &WriteDoneSignal, &OutputFlushSignal}) {
        if (*signal != INVALID_HANDLE_VALUE && CloseHandle(*signal)) *signal = INVALID_HANDLE_VALUE;
    }
    OutputWaitSignals[0] = OutputPendingSignal;
    OutputWaitSignals[1] = OutputFlushSignal;
    WriteWaitSignals[0] = WriteDoneSignal;
    WriteWaitSignals[1] = OutputFlushSignal;
}

bool TWin32Dispatcher::PrepareDeviceRecords() {
    HANDLE signal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!signal) return false;
    if (Valid(FReadSignal)) CloseHandle(FReadSignal);  // left by an open that failed
    FReadSignal = signal;
    FReadOverlapped = OVERLAPPED{};
    FReadOverlapped.hEvent = signal;
    FWriteOverlapped = OVERLAPPED{};
    FWriteOverlapped.hEvent = WriteDoneSignal;
    return true;
}

intptr_t TWin32Dispatcher::OpenDevice(const char* name, uint32_t, uint32_t) {
    if (!name) {
        SetLastError(ERROR_INVALID_NAME);
        return ecError;
    }
    HANDLE device =
        CreateFileA(name, DeviceOpenAccess, 0, nullptr, OPEN_EXISTING, DeviceOpenFlags, nullptr);
    if (device == INVALID_HANDLE_VALUE) return ecError;
    DeviceHandle = reinterpret_cast<intptr_t>(device);
    FDevice = device;
    if (!PrepareDeviceRecords()) {
        CloseHandle(device);
        FDevice = INVALID_HANDLE_VALUE;
        DeviceHandle = -1;
        return ecOutOfMemory;
    }
    return DeviceHandle;
}

int32_t TWin32Dispatcher::CloseDevice() {
    if (Valid(FReadSignal)) {
        CloseHandle(FReadSignal);
        FReadSignal = INVALID_HANDLE_VALUE;
    }
    const HANDLE device = Device();
    if (ThreadsRunning) {
        ThreadsMustStop = true;
        SetCommMask(device, 0);  // ends the event thread's wait
        if (Valid(EventDoneSignal)) SetEvent(EventDoneSignal);
        if (Valid(ThreadAckSignal)) ResetEvent(ThreadAckSignal);
    }
    if (!CloseHandle(device)) return ecError;
    FDevice = INVALID_HANDLE_VALUE;
    DeviceHandle = -1;
    return 0;
}

int32_t TWin32Dispatcher::YieldTime() {
    Sleep(0);
    return 0;
}

void TWin32Dispatcher::AdvanceOutput(uint32_t k) {
    OutRing.Drop(k);
    if (OutRing.Empty()) OutRing.Clear();
}

void TWin32Dispatcher::AcknowledgeFlush() {
    FFlushAcknowledged = FFlushRequested.load();
    SetEvent(ThreadAckSignal);
}

void TWin32Dispatcher::WriteOutput() {
    for (;;) {
        const uint8_t* block;
        uint32_t length;
        {
            TCriticalSectionHold hold(OutputLock);
            if (OutRing.Empty()) return;
            // Pending bytes that wrap around the end become one block at the start, so that
            // one write sends them all, in order.
            if (OutRing.StoredRun().size() < OutRing.Count()) OutRing.Linearize();
            block = OutRing.StoredRun().data();
            length = static_cast<uint32_t>(OutRing.StoredRun().size());
        }

        // Outside the lock: bytes queued meanwhile land at the head, never in the block.
        const HANDLE device = Device();
        DWORD written = 0;
        if (WriteFile(device, block, length, &written, &FWriteOverlapped)) {
            TCriticalSectionHold hold(OutputLock);
            AdvanceOutput(written);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            const DWORD result = WaitForMultipleObjects(2, WriteWaitSignals, FALSE, INFINITE);
            if (result == WAIT_OBJECT_0) {
                TCriticalSectionHold hold(OutputLock);
                // A failed write is offered again, less what it reports as sent: those bytes
                // have left and must not go twice.
                if (GetOverlappedResult(device, &FWriteOverlapped, &written, FALSE))
                    ResetEvent(WriteDoneSignal);
                AdvanceOutput(written);
            } else if (result == WAIT_OBJECT_0 + 1) {
                AcknowledgeFlush();  // the flusher empties the ring
                return;
            } else if (result == WAIT_FAILED) {
                return;
            }
        } else {
            TCriticalSectionHold hold(OutputLock);
            AdvanceOutput(length);  // refused outright: the block is dropped
        }
        // RS-485 turnaround needs the UART's registers, which only systems older than NT let a
        // program read; here, as on NT, the driver turns the line around itself.
    }
}

// =============================================================================================
// TTapi32Dispatcher

intptr_t TTapi32Dispatcher::OpenDevice(const char*, uint32_t, uint32_t) {
    FDevice = FTapiHandle;
    DeviceHandle = reinterpret_cast<intptr_t>(FTapiHandle);
    if (!PrepareDeviceRecords()) {
        CloseDevice();
        return ecError;
    }
    if (!FTapiHandle) {
        FDevice = INVALID_HANDLE_VALUE;
        DeviceHandle = -1;
        SetLastError(2007);
        return ecNotOpen;
    }
    return DeviceHandle;
}
