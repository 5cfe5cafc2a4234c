// A scripted device layer for the dispatcher tests: the driver's input queue is fed by the test,
// output is recorded as the output thread would send it, line settings are kept in a DCB, and
// failures are injected per operation. No thread is started.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/Dispatcher.h"

class FakeDispatcher : public TBaseDispatcher {
  public:
    explicit FakeDispatcher(TBaseComponent* owner = nullptr) : TBaseDispatcher(owner) {
        Dcb.BaudRate = 19200;
        Dcb.ByteSize = 8;
        SetClock([this] { return Now.load(); });
        SetSleeper([this](uint32_t ms) {
            Sleeps.push_back(ms);
            if (OnSleep) OnSleep();
        });
        SetModemStatusReader([this] { return ModemLines.load(); });
    }
    ~FakeDispatcher() override { ClosePort(); }

    // Opens with the front panel's settings (9600 8N1, 4096-byte queues unless given).
    int32_t Open(uint32_t outSize = 4096) {
        return OpenPort("\\\\.\\COM1", 9600, 0, 8, 1, 4096, outSize, true, false);
    }

    // ---- The script.
    void Feed(const std::string& bytes) {
        std::lock_guard<std::mutex> hold(DriverMutex);
        DriverInput.insert(DriverInput.end(), bytes.begin(), bytes.end());
    }
    size_t DriverCount() {
        std::lock_guard<std::mutex> hold(DriverMutex);
        return DriverInput.size();
    }
    // Bytes arrive and the dispatch thread handles the receive event.
    bool Arrive(const std::string& bytes) {
        Feed(bytes);
        return ProcessDeviceEvent(EV_RXCHAR);
    }
    // The output thread sends n bytes of the ring.
    void SendFromRing(uint32_t n) {
        TCriticalSectionHold hold(OutputLock);
        OutRing.Drop(n);
        if (OutRing.Empty()) OutRing.Clear();
    }
    size_t SentCount() {
        TCriticalSectionHold hold(OutputLock);
        return Sent.size();
    }
    uint32_t RingBytes() {
        TCriticalSectionHold hold(OutputLock);
        return static_cast<uint32_t>(OutRing.Count());
    }

    std::mutex DriverMutex;
    std::deque<uint8_t> DriverInput;
    std::vector<uint8_t> Sent;  // under OutputLock
    DCB Dcb{};
    std::vector<DCB> Applied;
    std::vector<int32_t> LineCalls;
    std::vector<int32_t> Purges;
    std::vector<uint32_t> Sleeps;
    std::function<void()> OnSleep;
    std::atomic<uint32_t> Now{0};
    std::atomic<uint8_t> ModemLines{0};
    std::atomic<uint32_t> PendingErrors{0};
    int32_t ReadErrors = 0, StartCalls = 0, StopCalls = 0, CloseCalls = 0;

    // Injected failures.
    intptr_t OpenResult = 100;  // a negative value fails OpenDevice
    DWORD OpenError = 0;
    bool SizeQueuesOk = true;
    DWORD SizeQueuesError = 0;
    int32_t ApplyResult = 0;
    int32_t LineResult = 0;
    int32_t QueueResult = 0;   // non-zero replaces QueueOutput's result
    int32_t ReadOverride = 0;  // non-zero replaces ReadDevice's result (nothing is stored)

    // ---- Device operations.
    int32_t LineFunction(int32_t code) override {
        LineCalls.push_back(code);
        return LineResult;
    }
    int32_t PurgeQueue(int32_t which) override {
        Purges.push_back(which);
        if (which != 0) {
            std::lock_guard<std::mutex> hold(DriverMutex);
            DriverInput.clear();
        } else {
            TCriticalSectionHold hold(OutputLock);
            OutRing.Clear();
        }
        return 0;
    }
    uint32_t ReadLineStatus(COMSTAT& status) override {
        status = COMSTAT{};
        status.cbInQue = static_cast<DWORD>(DriverCount());
        status.cbOutQue = RingBytes();
        return PendingErrors.exchange(0);
    }
    int32_t NoteReadError(int32_t) override { return ++ReadErrors, 0; }
    int32_t FetchLineSettings(DCB& dcb) override {
        dcb = Dcb;
        return 0;
    }
    int32_t ReadDevice(uint8_t* dest, uint32_t count) override {
        if (ReadOverride != 0) return ReadOverride;
        std::lock_guard<std::mutex> hold(DriverMutex);
        uint32_t n = 0;
        while (n < count && !DriverInput.empty()) {
            dest[n++] = DriverInput.front();
            DriverInput.pop_front();
        }
        return static_cast<int32_t>(n);
    }
    int32_t ApplyLineSettings(DCB& dcb) override {
        Applied.push_back(dcb);
        Dcb = dcb;
        return ApplyResult;
    }
    int32_t QueueOutput(const uint8_t* data, uint32_t count) override {
        if (QueueResult != 0) return QueueResult;
        TCriticalSectionHold hold(OutputLock);
        if (!OutRing.Put(data, count)) return 0;
        Sent.insert(Sent.end(), data, data + count);
        return static_cast<int32_t>(count);
    }
    bool WaitDeviceEvent(DWORD&, OVERLAPPED*) override { return false; }
    bool SizeDeviceQueues(uint32_t, uint32_t) override {
        if (!SizeQueuesOk) SetLastError(SizeQueuesError);
        return SizeQueuesOk;
    }
    void StartThreads() override {
        ++StartCalls;
        ThreadsRunning = true;
    }
    void StopThreads() override {
        ++StopCalls;
        ThreadsRunning = false;
    }
    intptr_t OpenDevice(const char*, uint32_t, uint32_t) override {
        if (OpenResult < 0) SetLastError(OpenError);
        return OpenResult;
    }
    int32_t CloseDevice() override {
        ++CloseCalls;
        DeviceHandle = -1;
        return 0;
    }
    int32_t YieldTime() override { return 0; }

    // ---- Views of the protected state.
    using TBaseDispatcher::ClosePending;
    using TBaseDispatcher::CurrentBaud;
    using TBaseDispatcher::DataTriggers;
    using TBaseDispatcher::DeliveryOn;
    using TBaseDispatcher::DispatchBuffer;
    using TBaseDispatcher::DtrByFlow;
    using TBaseDispatcher::EventsAssigned;
    using TBaseDispatcher::LineErrors;
    using TBaseDispatcher::LineSettings;
    using TBaseDispatcher::LiveThreadCount;
    using TBaseDispatcher::ModemStatusShadow;
    using TBaseDispatcher::NotifyMethods;
    using TBaseDispatcher::NotifyProcs;
    using TBaseDispatcher::NotifyWindows;
    using TBaseDispatcher::OpenTime;
    using TBaseDispatcher::OptionBits;
    using TBaseDispatcher::OutputSent;
    using TBaseDispatcher::OutRing;
    using TBaseDispatcher::OutThread;
    using TBaseDispatcher::ReleaseOnThreadEnd;
    using TBaseDispatcher::RingEdgeSeen;
    using TBaseDispatcher::Rs485;
    using TBaseDispatcher::RtsByFlow;
    using TBaseDispatcher::SetPlatformIsNT;
    using TBaseDispatcher::Trace;
    using TBaseDispatcher::Log;
    using TBaseDispatcher::StatusTriggers;
    using TBaseDispatcher::TimerTriggers;
    using TBaseDispatcher::UartBaseAddress;
};

// A method handler that records what it is told and then runs an optional action.
struct Notice {
    uint32_t Msg;
    uint32_t wParam;
    int32_t lParam;
};

struct Recorder {
    std::vector<Notice> Notices;
    std::function<void(const Notice&)> Action;

    void Handle(uint32_t msg, uint32_t wParam, int32_t lParam) {
        Notices.push_back({msg, wParam, lParam});
        if (Action) Action(Notices.back());
    }
    TNotifyMethod Method() { return MakeNotifyMethod<&Recorder::Handle>(this); }
};
