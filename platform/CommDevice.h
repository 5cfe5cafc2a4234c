// Serial devices: Win32 communications calls over a POSIX terminal device. The device class
// shared by the sources Comm*.cpp; not for use outside them.
//
// Opening a device only locks it; the first call that uses it sets the line to raw mode and
// starts its driver thread, so that a probe that opens and closes leaves the terminal as it was.
// The driver thread owns the descriptor's readiness: while a read or an event wait is pending
// it reads arriving bytes into a receive queue (the driver queue that SetupComm sizes); it
// finishes pending overlapped reads, writes and event waits, and sleeps in poll() otherwise.
// Receive events are latched when bytes land in the queue, so an event wait does not complete again
// for bytes that merely stay unread. While the receive queue is full the thread stops reading,
// leaving the rest to the kernel's buffer and the line's flow control.
//
// A thread that blocks for the completion of an event wait (GetOverlappedResult with bWait, or
// a synchronous WaitCommEvent) watches the device for arriving bytes itself while it waits, and
// the driver thread leaves input alone meanwhile: the waiter is woken by the kernel directly
// rather than by the driver thread, one thread hand-over less between a byte and its event.
// Bytes that arrive while nobody watches stay in the kernel's buffer; the input count includes
// them and a read takes them from there. A device that goes away ends every pending
// operation with ERROR_DEVICE_NOT_CONNECTED and is never polled again.
//
// Modem line changes are waited for by a second thread (TIOCMIWAIT), started only for devices
// that have modem lines and only once a wait for modem events is armed.
#pragma once

#include "ByteRing.h"
#include "PlatformInternal.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace k419::platform::comm {

// The kernel's termios2 (arbitrary baud rates through BOTHER); glibc does not declare it.
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kBaudOther = 0010000;  // BOTHER
constexpr int kInputBaudShift = 16;       // IBSHIFT
constexpr int kVStart = 8;                // kernel c_cc indices
constexpr int kVStop = 9;
constexpr int kVTime = 5;
constexpr int kVMin = 6;

constexpr ULONG_PTR kStatusPending = 0x103;
// See CommDevice::ArmHandover.
constexpr long long kHandoverNs = 2'000'000;
constexpr long long kUsualDriverGraceNs = 100'000'000;
constexpr long long kUsualDriverGraceMaxNs = 1'000'000'000;
constexpr auto kUsualDriverReturn = std::chrono::milliseconds(2);
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kDefaultQueueSize = 4096;
constexpr DWORD kMinQueueSize = 16;
constexpr DWORD kMaxQueueSize = 16u << 20;
constexpr DWORD kAllPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

struct StandardBaud {
    DWORD rate;
    tcflag_t code;
};
constexpr StandardBaud kStandardBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Signal that interrupts a modem thread blocked in TIOCMIWAIT when the device closes.
int ModemWakeSignal();

enum class ReadMode { Immediate, AnyByte, Full };

struct PendingRead {
    OVERLAPPED* overlapped;
    HANDLE event;
    BYTE* buffer;
    DWORD count;
    DWORD done;
    ReadMode mode;
    uint64_t deadline;  // 0: none
    DWORD interval;     // 0: none
    uint64_t lastByte;
};

struct PendingWrite {
    OVERLAPPED* overlapped;
    HANDLE event;
    std::vector<BYTE> data;
    size_t done;
    uint64_t deadline;  // 0: none
};

struct PendingWait {
    OVERLAPPED* overlapped;
    HANDLE event;
    DWORD* mask;
};

using k419::platform::detail::MonotonicMs;
using k419::platform::detail::Win32ErrorFromErrno;

class CommDevice : public k419::platform::detail::Object {
  public:
    static constexpr unsigned kKind = k419::platform::detail::kind::kCommDevice;
    CommDevice() : Object(kKind) {}
    ~CommDevice() override { Close(); }

    // Opens the device for exclusive use and changes nothing on it; on failure returns the
    // Win32 error.
    DWORD Open(const std::string& path, bool overlapped);
    // Makes the line raw and starts the driver thread, once, before the first call that uses
    // the device as a serial port; on failure returns the Win32 error (a later call tries
    // again).
    DWORD TakeOver();
    bool Close() override;

    BOOL Setup(DWORD inQueue, DWORD outQueue);
    BOOL GetState(DCB* dcb);
    BOOL SetState(const DCB* dcb);
    BOOL GetTimeouts(COMMTIMEOUTS* timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS* timeouts);
    BOOL GetMask(DWORD* mask);
    BOOL SetMask(DWORD mask);
    BOOL WaitEvent(DWORD* mask, OVERLAPPED* overlapped);
    BOOL OverlappedResult(OVERLAPPED* overlapped, DWORD* bytes, bool wait);
    BOOL Cancel();
    BOOL Read(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
    BOOL Write(const void* buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped);
    BOOL Flush();
    BOOL ClearError(DWORD* errors, COMSTAT* stat);
    BOOL Purge(DWORD flags);
    BOOL Escape(DWORD function);
    BOOL ModemStatus(DWORD* status);
    // Caller's records the device refers to now: pending reads and writes, and the event wait.
    std::size_t PendingOperations();
    // The device's own handle, once it has one; a waitable object names it to tell the device
    // that a thread blocks on it.
    void SetHandle(HANDLE handle) {
        Lock lock(mutex_);
        self_ = handle;
    }
    // A thread sleeps on the event of the pending event wait instead of blocking for the wait
    // itself (WaitForSingleObject on the record's event, as Win32 programs often do): nobody
    // watches input for that wait, so the driver thread takes it up now.
    void ThreadBlocksOn(const k419::platform::detail::Waitable* object) override;
    // For the tests: the event wait in progress and every later one complete with `error`
    // (0: waits work again), as a driver that aborts waits makes them.
    void FailEventWaits(DWORD error);
    // For the tests: the hand-over's grace for the thread that blocked for the last wait.
    void SetHandoverGrace(long long ns) {
        Lock lock(mutex_);
        graceNs_ = ns;
        lateNs_ = ns;
    }

  private:
    using Lock = std::unique_lock<std::mutex>;

    BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    void BeginOp(OVERLAPPED* overlapped);
    void Complete(OVERLAPPED* overlapped, HANDLE event, DWORD error, DWORD bytes);
    // Finishes a call whose operation is now pending: the overlapped form reports
    // ERROR_IO_PENDING, the synchronous form waits for completion and reports its result.
    BOOL FinishPending(Lock& lock, OVERLAPPED* overlapped, bool synchronous, DWORD* bytes);
    BOOL FinishAtOnce(OVERLAPPED* overlapped, bool synchronous, HANDLE event, DWORD bytes,
                      DWORD* bytesOut);
    // Blocks until the caller's operation completes (driving it if it is the event wait).
    void AwaitCompletion(Lock& lock, OVERLAPPED* overlapped);
    // A completed operation's result, from its record, as the calls report it.
    BOOL Outcome(const OVERLAPPED* overlapped, DWORD* bytes);

    void Wake();
    void WakeWaiter();
    // A wait that no thread blocks in yet is handed to the driver thread after a short while
    // (Soon), unless a thread begins to block for it meanwhile: one that blocks at once costs
    // no wake-up of the driver thread. A wait issued again by the thread that blocked for the
    // previous one on the same record (the engine's event thread, every time) is expected to
    // be blocked for at once as well: its hand-over timer is left running from one wait to the
    // next (Late), so such a wait costs no timer call at all; should the thread not block for
    // it after all, the driver thread takes it over when that timer expires, and expects
    // nothing of the thread from then on. Each expiry that finds the thread blocking as
    // expected doubles that timer's period, from 100 ms up to a second: a thread that blocks
    // for every wait costs the driver thread one wake-up a second, not ten, and one that stops
    // doing so is noticed within a second, once. A thread that sleeps on the wait's event
    // instead is noticed at once (ThreadBlocksOn).
    enum class THandover { None, Soon, Late };
    void ArmHandover(THandover when);
    // Blocks until the pending event wait `overlapped` completes, reading arriving bytes on the
    // calling thread meanwhile (see the top of this file).
    void DriveWait(Lock& lock, OVERLAPPED* overlapped);
    bool IsPendingWait(OVERLAPPED* overlapped) const {
        return wait_ && wait_->overlapped == overlapped;
    }
    // Whether a thread is reading arriving bytes into the receive queue as they come (one
    // blocked for an event wait, or the driver thread): bytes in the kernel's buffer are then
    // on their way into the queue, each arrival with its receive event. The thread that blocks
    // for every wait counts as watching for a moment after one wait ends, while it hands the
    // event over and issues the next: asking the kernel then would find the bytes it is about
    // to read (and hold the lock it needs to come back).
    bool InputWatched() const {
        const bool usualDriverReturns =
            usualDriver_ != std::thread::id() &&
            std::chrono::steady_clock::now() - driveEnded_ < kUsualDriverReturn;
        return !gone_ && !QueueFull() && (driving_ || driverWatchesInput_ || usualDriverReturns);
    }
    void DriverLoop();
    void ModemLoop();
    void StartModemThreadIfNeeded();
    void ReadFromDevice();
    // Drops NULs when the settings ask for it and notes the receive events of fresh bytes;
    // returns how many are kept.
    size_t Received(BYTE* bytes, size_t count, DWORD& events);
    // Reads straight from the device into a reader's buffer, for a read that emptied the
    // receive queue and wants more: the bytes do not wait for the driver thread's next turn.
    size_t ReadThrough(BYTE* destination, size_t count);
    void WriteToDevice();
    void DeviceGone();
    void ServeReads(uint64_t now);
    void ExpireWrites(uint64_t now);
    void Latch(DWORD events);
    void AbortAll(DWORD error);
    void AbortReads(DWORD error);
    void AbortWrites(DWORD error);
    void AbortWait();
    void RefreshLineErrors();
    void UpdateDtrHandshake();
    void SetModemLine(int line, bool on);
    DWORD TakeFromQueue(BYTE* destination, DWORD count);
    bool QueueFull() const { return rx_.Full(); }

    std::mutex mutex_;
    std::condition_variable changed_;  // an operation completed or the device closed
    int fd_ = -1;
    int wakeFd_ = -1;
    int waiterWakeFd_ = -1;  // interrupts the thread driving an event wait
    int handoverFd_ = -1;    // hands an unattended wait to the driver thread
    THandover handover_ = THandover::None;
    long long graceNs_ = kUsualDriverGraceNs;  // the Late timer's first period
    long long lateNs_ = kUsualDriverGraceNs;   // the period of the Late timer
    HANDLE self_ = nullptr;                    // the device's handle
    DWORD waitFailure_ = 0;                    // see FailEventWaits
    // The event of the last wait that went pending unattended, which tells the device when a
    // thread blocks on it; events are few and their handles never reused, so one is enough.
    HANDLE watchedEvent_ = nullptr;
    std::weak_ptr<k419::platform::detail::Waitable> watched_;
    void WatchBlockingOn(HANDLE event);
    std::chrono::steady_clock::time_point driveEnded_;  // when its last wait ended
    std::thread::id usualDriver_;       // blocked for the last wait that anyone blocked for
    OVERLAPPED* usualWait_ = nullptr;   // the record of that wait
    bool driving_ = false;              // a thread blocks for an event wait and watches input
    OVERLAPPED* drivenWait_ = nullptr;  // that wait
    std::thread::id waitDriver_;        // and that thread
    bool driverWatchesInput_ = true;    // the driver thread's current poll includes input
    bool kernelOutput_ = false;         // written bytes may still wait in the kernel
    bool overlappedHandle_ = true;
    bool closed_ = false;
    bool takenOver_ = false;
    bool stopping_ = false;
    bool gone_ = false;

    TByteRing rx_{kDefaultQueueSize};
    bool rx80Latched_ = false;

    std::deque<PendingRead> reads_;
    std::deque<PendingWrite> writes_;
    std::optional<PendingWait> wait_;
    // An operation's outcome lives in its caller's record, as on Win32: Internal holds
    // kStatusPending until it completes, then its error (ERROR_SUCCESS or another Win32 error,
    // never kStatusPending's value), InternalHigh its byte count. The device keeps nothing per
    // record once an operation has completed, so records used once leave nothing behind.
    static bool Pending(const OVERLAPPED* overlapped) {
        return overlapped->Internal == kStatusPending;
    }

    DWORD mask_ = 0;
    DWORD history_ = 0;  // events that occurred and were not yet reported
    DWORD errors_ = 0;   // CE_ bits not yet cleared
    COMMTIMEOUTS timeouts_{};
    DCB dcb_{};  // the settings last applied; holds what termios cannot express

    bool modemLines_ = false;
    bool pseudoTerminal_ = false;  // keeps no data bits or parity of its own
    bool dtrOn_ = true;
    bool icountWorks_ = false;
    serial_icounter_struct icount_{};

    std::thread driver_;
    std::thread modem_;
    bool modemStop_ = false;
    bool modemRunning_ = false;
};

}  // namespace k419::platform::comm
