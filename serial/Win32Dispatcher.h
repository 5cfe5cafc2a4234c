// The Win32 device layer of the dispatcher and its worker threads.
//
// TWin32Dispatcher implements the dispatcher's device operations with the Win32
// communications calls and overlapped I/O, and runs three worker threads while a port is open:
// the event thread (TComThread) waits for device events, the dispatch thread (TDispThread)
// turns each event into buffer reads and trigger checks and runs the periodic checks every
// 50 ms while a timer or status trigger is armed (otherwise it sleeps until the next event), and
// the output thread (TOutThread) drains the output ring into the device.
//
// The thread that opens the port (and so calls StartThreads) is the main thread of that
// dispatcher: the end of every worker thread (ThreadEnded) and every handler registered for
// synchronised delivery (SyncCall) run there, carried by messages to a hidden window that the
// layer creates on that thread. That thread must therefore keep pumping platform messages
// (its message loop, k419::platform::PumpPendingMessages, or PumpOneMessage) for as long as a
// port is open, and must be the one that closes and destroys the dispatcher. StopThreads and the
// destructor pump by themselves while they wait.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>

#include "serial/Dispatcher.h"

// Device events the event thread waits for: receive, CTS, DSR, RLSD, break, error, ring and
// the ring's trailing edge (0x2000), which some drivers report and others reject.
inline constexpr DWORD DeviceEventMask = 0x21F9;
inline constexpr DWORD ReducedEventMask = 0x01F9;
inline constexpr DWORD RingTrailingEdgeBit = 0x2000;

inline constexpr DWORD ThreadStartWait = 3000;  // per worker thread, for its acknowledgement
// Longest sleep of the dispatch thread while a timer or status trigger is armed.
inline constexpr DWORD DispatchWait = 50;
// Longest wait of an output flush for the output thread's acknowledgement; the flush then
// empties the ring anyway.
inline constexpr DWORD FlushAckWait = 3000;

inline constexpr DWORD DeviceOpenAccess = GENERIC_READ | GENERIC_WRITE;
inline constexpr DWORD DeviceOpenFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;

// Runs at most one pending platform message of the calling thread (after the messages sent to
// it from other threads, which always run at once) and gives the GUI toolkit a turn. When no
// message is pending it waits briefly (about 10 ms, less if one arrives) instead of returning
// at once, so that a loop around it does not spin. A quit request is left pending for the
// thread's own message loop. Returns true when a posted message was run.
bool PumpOneMessage();

class TWin32Dispatcher;

// ---------------------------------------------------------------------------------------------
// A thread object in the manner of the runtime's TThread: Start runs Execute on a new thread.
// When Execute has returned, OnTerminate runs on the thread that called Start, carried by a
// posted message, and a thread with FreeOnTerminate is then deleted there. An exception that
// escapes Execute goes to the application's exception handler (ApplicationHandleException) on
// that thread first.
class TThread {
  public:
    TThread() = default;
    // Closes the thread handle. Delete a thread only after its body has returned.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute on a new thread; false when no thread could be created. With OnTerminate
    // or FreeOnTerminate set, the calling thread must pump messages for the end to be reported.
    bool Start();
    // Signalled once Execute has returned; null before Start.
    HANDLE Handle() const { return FHandle; }

    bool FreeOnTerminate = false;
    std::function<void(TThread*)> OnTerminate;

    // This thread as a worker of a dispatcher, or null; asked for every synchronised call, so
    // a virtual call rather than a cast through the run-time type information.
    virtual TDispatcherThread* AsDispatcherThread() { return nullptr; }

  protected:
    virtual void Execute() = 0;
    // The hidden window of the thread that started this one.
    HWND StarterWindow() const { return FStarterWindow; }

  private:
    static DWORD WINAPI ThreadProc(LPVOID parameter);
    // Procedure of the hidden window that carries ends and synchronised calls.
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // That window for the calling thread, made on first use; null when it cannot be made.
    static HWND WindowOfCallingThread();
    void DoTerminate();  // on the starting thread

    HANDLE FHandle = nullptr;
    HWND FStarterWindow = nullptr;
    std::exception_ptr FFailure;
};

// The thread started at module start; its body returns at once.
class TTimerThread : public TThread {
  protected:
    void Execute() override {}
};

// Common base of the three worker threads: the dispatcher it serves.
class TDispatcherThread : public TThread {
  public:
    explicit TDispatcherThread(TWin32Dispatcher* dispatcher) : Dispatcher(dispatcher) {}
    TDispatcherThread* AsDispatcherThread() override { return this; }

    // Runs handler(message, triggerHandle, data) on the thread that started this one and waits
    // until it has returned; an exception it raised is raised again here. The wait gives up
    // when the dispatcher's threads must stop or its port was closed meanwhile: a handler that
    // has not started then never runs, one that is running finishes unobserved. Called by the
    // dispatch thread for handlers registered for synchronised delivery.
    void SyncCall(uint32_t message, uint32_t triggerHandle, int32_t data,
                  const TNotifyMethod& handler);
    // Has the application's exception handler report failure on the thread that started this
    // one, and returns without waiting for it.
    void ReportOnStarter(std::exception_ptr failure);

    TWin32Dispatcher* const Dispatcher;
};

class TComThread : public TDispatcherThread {
  public:
    using TDispatcherThread::TDispatcherThread;

  protected:
    void Execute() override;

  private:
    OVERLAPPED FOverlapped{};  // the thread's own, for the device event wait
    DWORD FWaitMask = 0;       // what that wait reports, until it is handed over
};

class TDispThread : public TDispatcherThread {
  public:
    using TDispatcherThread::TDispatcherThread;

  protected:
    void Execute() override;
};

class TOutThread : public TDispatcherThread {
  public:
    using TDispatcherThread::TDispatcherThread;

  protected:
    void Execute() override;
};

// ---------------------------------------------------------------------------------------------

class TWin32Dispatcher : public TBaseDispatcher {
  public:
    // Enters the dispatcher table; opens nothing. owner may be null (a port probe).
    explicit TWin32Dispatcher(TBaseComponent* owner);
    // Closes the port if it is open and, when a close during a delivery left the worker threads
    // running, pumps messages until they have ended. Call it on the thread that opened the port.
    // The workers call the device operations until they have ended, so a class derived from
    // this one must close the port in its own destructor, as this one does for its base.
    ~TWin32Dispatcher() override;

    // Always 0, whatever the device did with the code.
    int32_t LineFunction(int32_t code) override;
    // Input (any value but 0): aborts pending reads and discards the driver's receive queue.
    // Output (0): empties the output ring and the driver's transmit queue; a running output
    // thread first acknowledges, so that it writes nothing of the discarded ring afterwards.
    // 0, or the negated system error.
    int32_t PurgeQueue(int32_t which) override;
    // The error bits (0 when the device could not be asked); status's output count is the
    // number of bytes in the output ring.
    uint32_t ReadLineStatus(COMSTAT& status) override;
    int32_t NoteReadError(int32_t code) override;
    // 0, or -1 when the settings could not be read.
    int32_t FetchLineSettings(DCB& dcb) override;
    // The bytes read (never waits for bytes that have not arrived), 0 on failure.
    int32_t ReadDevice(uint8_t* dest, uint32_t count) override;
    // 0, or the negated system error.
    int32_t ApplyLineSettings(DCB& dcb) override;
    // Copies count bytes into the ring at its head (the caller holds OutputLock and has made
    // sure they fit) and wakes the output thread. Returns count, or 0 without a ring.
    int32_t QueueOutput(const uint8_t* data, uint32_t count) override;
    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override;
    bool SizeDeviceQueues(uint32_t inSize, uint32_t outSize) override;
    // Starts the event, dispatch and output threads, each after the previous one acknowledged
    // its start (or 3 s passed). Throws Exception("Dispatcher already started") while they run.
    void StartThreads() override;
    // Stops the worker threads, pumping messages until each has ended, and closes the six
    // signals. Throws Exception("Dispatcher not running") when they do not run.
    void StopThreads() override;
    // Opens name exclusively for overlapped I/O. The handle, -1 (reason in GetLastError()), or
    // -8 when the read completion signal could not be made (the device is closed again).
    intptr_t OpenDevice(const char* name, uint32_t inSize, uint32_t outSize) override;
    // Tells running threads to stop and releases the event thread, then closes the device.
    // 0, or -1 when the device could not be closed (DeviceHandle then keeps its value).
    int32_t CloseDevice() override;
    int32_t YieldTime() override;

  protected:
    // Drains the output ring into the device, one write per pass: pending bytes that wrap
    // around the end of the ring are first rotated to its start. Returns when the ring is
    // empty or an output flush was acknowledged. Output thread.
    void WriteOutput();
    // k bytes of the ring have been written. Hold OutputLock.
    void AdvanceOutput(uint32_t k);
    // The output thread answers a flush request.
    void AcknowledgeFlush();
    // Makes the read completion signal and prepares the read and write records for the
    // device; false when the signal could not be made.
    bool PrepareDeviceRecords();
    // The open device as the worker threads see it; INVALID_HANDLE_VALUE when none.
    HANDLE Device() const { return FDevice.load(); }

    std::atomic<HANDLE> FDevice{INVALID_HANDLE_VALUE};
    // The read record (dispatch thread) and its completion signal, made by OpenDevice.
    OVERLAPPED FReadOverlapped{};
    HANDLE FReadSignal = INVALID_HANDLE_VALUE;
    // The output thread's write record, completed by WriteDoneSignal. It belongs to the
    // dispatcher so that a write still pending when the thread ends never completes into
    // freed memory.
    OVERLAPPED FWriteOverlapped{};
    // Flush requests made and acknowledged, so that an acknowledgement from another thread
    // is never taken for the output thread's.
    std::atomic<uint32_t> FFlushRequested{0};
    std::atomic<uint32_t> FFlushAcknowledged{0};
    // The event thread has handed over LastEventMask. DeviceEventSignal also wakes the dispatch
    // thread for other reasons (a stop, an armed trigger), which must not be taken for events.
    std::atomic<bool> FEventPending{false};

  private:
    friend class TComThread;
    friend class TDispThread;
    friend class TOutThread;
    friend class TDispatcherThread;

    void PumpUntilGone(TDispatcherThread* const& thread);
    void CloseThreadSignals();
};

// A dispatcher for a device handle that the telephony layer has already opened.
class TTapi32Dispatcher : public TWin32Dispatcher {
  public:
    TTapi32Dispatcher(TBaseComponent* owner, HANDLE device)
        : TWin32Dispatcher(owner), FTapiHandle(device) {}

    // Opens nothing and ignores name: the given handle, -1 when the read completion signal
    // could not be made, or -2007 (last error 2007) for a null handle.
    intptr_t OpenDevice(const char* name, uint32_t inSize, uint32_t outSize) override;

  private:
    HANDLE FTapiHandle;
};
