// Serial devices: Win32 communications calls over a POSIX terminal device.
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
#include "ByteRing.h"
#include "PlatformHooks.h"
#include "PlatformInternal.h"
#include "SerialPorts.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace {

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
int ModemWakeSignal() {
    static const int signal = [] {
        int number = SIGRTMIN + 7;
        struct sigaction current {};
        sigaction(number, nullptr, &current);
        if (current.sa_handler == SIG_DFL) {
            struct sigaction action {};
            action.sa_handler = [](int) {};
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;  // no SA_RESTART: the blocked ioctl must return EINTR
            sigaction(number, &action, nullptr);
        }
        return number;
    }();
    return signal;
}

struct Completion {
    bool pending = true;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

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
    // doing so is noticed within a second, once.
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
    long long lateNs_ = kUsualDriverGraceNs;  // the period of the Late timer
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
    // The outcome of every operation begun on a caller's record, by record; a caller uses one
    // or two records for all its operations, so a short list beats any table.
    std::vector<std::pair<OVERLAPPED*, Completion>> ops_;
    Completion* FindOp(OVERLAPPED* overlapped) {
        for (auto& [record, completion] : ops_)
            if (record == overlapped) return &completion;
        return nullptr;
    }
    Completion& Op(OVERLAPPED* overlapped) {
        if (Completion* completion = FindOp(overlapped)) return *completion;
        return ops_.emplace_back(overlapped, Completion{}).second;
    }
    void EraseOp(OVERLAPPED* overlapped) {
        std::erase_if(ops_, [&](const auto& op) { return op.first == overlapped; });
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

// ---------------------------------------------------------------------------------------------
// Opening and closing

DWORD CommDevice::Open(const std::string& path, bool overlapped) {
    overlappedHandle_ = overlapped;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        // A device node without hardware behind it (an unused /dev/ttyS*) fails with EIO:
        // there is no such port.
        if (err == EIO) return ERROR_FILE_NOT_FOUND;
        if (err == ENOTDIR || err == EISDIR) return ERROR_FILE_NOT_FOUND;
        return Win32ErrorFromErrno(err);
    }
    if (!isatty(fd)) {
        ::close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    // flock works against every cooperating program including root ones, and a second open
    // in this process is refused too because the lock belongs to the open file description.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err);
    }
    struct stat info {};
    pseudoTerminal_ =
        fstat(fd, &info) == 0 && major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
    int lines = 0;
    modemLines_ = ioctl(fd, TIOCMGET, &lines) == 0;
    dtrOn_ = (lines & TIOCM_DTR) != 0;
    icountWorks_ = ioctl(fd, TIOCGICOUNT, &icount_) == 0;
    fd_ = fd;
    return ERROR_SUCCESS;
}

DWORD CommDevice::TakeOver() {
    Lock lock(mutex_);
    // A closed device fails the call that follows with its own error.
    if (takenOver_ || closed_) return ERROR_SUCCESS;
    KernelTermios2 tio{};
    if (ioctl(fd_, kGetTermios2, &tio) != 0) return Win32ErrorFromErrno(errno);
    // Raw mode: no echo, no line editing, no character translation, no signals, no software
    // flow control until the line settings ask for it; modem status lines do not hang the
    // port up.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | IGNPAR | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[kVMin] = 1;
    tio.c_cc[kVTime] = 0;
    if ((tio.c_cflag & CBAUD) == B0) {
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | B9600;
        tio.c_ispeed = tio.c_ospeed = 9600;
    }
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int waiterWakeFd = wakeFd < 0 ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int handoverFd =
        waiterWakeFd < 0 ? -1 : timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    auto undo = [&](DWORD error) {
        for (int descriptor : {handoverFd, waiterWakeFd, wakeFd})
            if (descriptor >= 0) ::close(descriptor);
        return error;
    };
    if (handoverFd < 0) return undo(Win32ErrorFromErrno(errno));
    // Also keeps out non-root programs that do not use flock.
    ioctl(fd_, TIOCEXCL);
    if (ioctl(fd_, kSetTermios2, &tio) != 0) {
        DWORD error = Win32ErrorFromErrno(errno);
        ioctl(fd_, TIOCNXCL);
        return undo(error);
    }

    dcb_.DCBlength = sizeof(DCB);
    dcb_.fBinary = 1;
    dcb_.fDtrControl = DTR_CONTROL_ENABLE;
    dcb_.fRtsControl = (tio.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb_.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb_.fTXContinueOnXoff = 1;
    dcb_.XonLim = 2048;
    dcb_.XoffLim = 512;
    dcb_.StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;

    wakeFd_ = wakeFd;
    waiterWakeFd_ = waiterWakeFd;
    handoverFd_ = handoverFd;
    try {
        driver_ = std::thread([this] { DriverLoop(); });
    } catch (const std::system_error&) {
        wakeFd_ = waiterWakeFd_ = handoverFd_ = -1;
        ioctl(fd_, TIOCNXCL);
        return undo(ERROR_NOT_ENOUGH_MEMORY);
    }
    takenOver_ = true;
    return ERROR_SUCCESS;
}

bool CommDevice::Close() {
    {
        Lock lock(mutex_);
        if (closed_) return true;
        closed_ = true;
        stopping_ = true;
        modemStop_ = true;
        AbortAll(ERROR_OPERATION_ABORTED);
        changed_.notify_all();
        // A thread still watching the device for its wait must be out of poll() before the
        // descriptors close.
        changed_.wait(lock, [this] { return !driving_; });
    }
    Wake();
    if (driver_.joinable()) driver_.join();
    if (modem_.joinable()) {
        // A signal sent just before the thread enters its wait would be lost, so repeat it
        // until the thread has gone.
        Lock lock(mutex_);
        while (modemRunning_) {
            pthread_kill(modem_.native_handle(), ModemWakeSignal());
            changed_.wait_for(lock, std::chrono::milliseconds(20));
        }
        lock.unlock();
        modem_.join();
    }
    if (fd_ >= 0) {
        if (takenOver_) ioctl(fd_, TIOCNXCL);
        ::close(fd_);  // also releases the flock
        fd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
    if (waiterWakeFd_ >= 0) {
        ::close(waiterWakeFd_);
        waiterWakeFd_ = -1;
    }
    if (handoverFd_ >= 0) {
        ::close(handoverFd_);
        handoverFd_ = -1;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Operation bookkeeping

void CommDevice::BeginOp(OVERLAPPED* overlapped) {
    Op(overlapped) = Completion{};
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
}

void CommDevice::Complete(OVERLAPPED* overlapped, HANDLE event, DWORD error, DWORD bytes) {
    Op(overlapped) = Completion{false, error, bytes};
    overlapped->Internal = error;
    overlapped->InternalHigh = bytes;
    // Set while the lock is held: whoever sees the operation complete also finds its event
    // set, and whoever is woken by the event finds the operation complete.
    k419::platform::detail::SignalEventHandle(event);
    changed_.notify_all();
    // The waiter is woken when another thread ends its wait (a cancel, a new mask, a close, an
    // event found by the driver or modem thread); it notices what it completed itself.
    if (driving_ && overlapped == drivenWait_ && std::this_thread::get_id() != waitDriver_)
        WakeWaiter();
}

BOOL CommDevice::FinishPending(Lock& lock, OVERLAPPED* overlapped, bool synchronous, DWORD* bytes) {
    if (!synchronous) {
        // An event wait that nobody may drive needs the driver thread watching input.
        if (IsPendingWait(overlapped) && !driverWatchesInput_) {
            if (overlapped != usualWait_ || std::this_thread::get_id() != usualDriver_)
                ArmHandover(THandover::Soon);
            else if (handover_ == THandover::None)
                ArmHandover(THandover::Late);
        }
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (IsPendingWait(overlapped)) DriveWait(lock, overlapped);
    changed_.wait(lock, [&] { return !Op(overlapped).pending; });
    const Completion result = Op(overlapped);
    EraseOp(overlapped);
    if (bytes) *bytes = result.bytes;
    if (result.error != ERROR_SUCCESS) return Fail(result.error);
    return TRUE;
}

BOOL CommDevice::FinishAtOnce(OVERLAPPED* overlapped, bool synchronous, HANDLE event, DWORD bytes,
                              DWORD* bytesOut) {
    if (bytesOut) *bytesOut = bytes;
    if (synchronous) {
        EraseOp(overlapped);
    } else {
        Complete(overlapped, event, ERROR_SUCCESS, bytes);
    }
    return TRUE;
}

void CommDevice::Wake() {
    uint64_t one = 1;
    if (wakeFd_ >= 0) {
        ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
        (void)ignored;
    }
}

void CommDevice::ArmHandover(THandover when) {
    if (when == handover_ || handoverFd_ < 0) return;
    itimerspec time{};
    if (when != THandover::None) {
        const long long ns = when == THandover::Soon ? kHandoverNs : lateNs_;
        time.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        time.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    timerfd_settime(handoverFd_, 0, &time, nullptr);
    handover_ = when;
}

void CommDevice::WakeWaiter() {
    uint64_t one = 1;
    if (waiterWakeFd_ >= 0) {
        ssize_t ignored = ::write(waiterWakeFd_, &one, sizeof one);
        (void)ignored;
    }
}

void CommDevice::DriveWait(Lock& lock, OVERLAPPED* overlapped) {
    if (driving_ || stopping_) return;  // one driver at a time; others wait on the variable
    driving_ = true;
    if (handover_ == THandover::Soon) ArmHandover(THandover::None);
    drivenWait_ = overlapped;
    waitDriver_ = std::this_thread::get_id();
    usualDriver_ = waitDriver_;
    usualWait_ = overlapped;
    while (Op(overlapped).pending && !stopping_) {
        const bool input = !gone_ && !QueueFull();
        pollfd fds[2]{};
        fds[0].fd = input ? fd_ : -1;
        fds[0].events = POLLIN;
        fds[1].fd = waiterWakeFd_;
        fds[1].events = POLLIN;
        lock.unlock();
        const int ready = ::poll(fds, 2, -1);
        lock.lock();
        if (ready < 0 && errno != EINTR) break;  // leave it to the driver thread
        if (fds[1].revents & POLLIN) {
            uint64_t value = 0;
            ssize_t ignored = ::read(waiterWakeFd_, &value, sizeof value);
            (void)ignored;
        }
        if (stopping_) break;
        const short revents = fds[0].fd >= 0 ? fds[0].revents : 0;
        if (revents & POLLIN) ReadFromDevice();
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            if (revents & POLLIN) ReadFromDevice();
            DeviceGone();
        }
    }
    driving_ = false;
    drivenWait_ = nullptr;
    driveEnded_ = std::chrono::steady_clock::now();
    changed_.notify_all();
    // Input is nobody's now: the driver thread takes it up again if a read or an undriven
    // wait is pending; otherwise arriving bytes wait in the kernel's buffer.
    if (!driverWatchesInput_ && (!reads_.empty() || wait_)) Wake();
}

void CommDevice::Latch(DWORD events) {
    history_ |= events;
    if (wait_ && (history_ & mask_)) {
        DWORD reported = history_ & mask_;
        history_ &= ~reported;
        *wait_->mask = reported;
        Complete(wait_->overlapped, wait_->event, ERROR_SUCCESS, 0);
        wait_.reset();
    }
}

void CommDevice::AbortWait() {
    if (!wait_) return;
    *wait_->mask = 0;
    Complete(wait_->overlapped, wait_->event, ERROR_SUCCESS, 0);
    wait_.reset();
}

void CommDevice::AbortReads(DWORD error) {
    for (PendingRead& read : reads_) Complete(read.overlapped, read.event, error, read.done);
    reads_.clear();
}

void CommDevice::AbortWrites(DWORD error) {
    for (PendingWrite& write : writes_)
        Complete(write.overlapped, write.event, error, static_cast<DWORD>(write.done));
    writes_.clear();
}

void CommDevice::AbortAll(DWORD error) {
    AbortReads(error);
    AbortWrites(error);
    if (wait_) {
        *wait_->mask = 0;
        Complete(wait_->overlapped, wait_->event, error, 0);
        wait_.reset();
    }
}

void CommDevice::DeviceGone() {
    if (gone_) return;
    gone_ = true;
    errors_ |= CE_IOE;
    // Bytes already in the receive queue stay readable; everything that waits for more
    // than that fails now.
    ServeReads(MonotonicMs());
    AbortAll(ERROR_DEVICE_NOT_CONNECTED);
}

// ---------------------------------------------------------------------------------------------
// Receive queue

DWORD CommDevice::TakeFromQueue(BYTE* destination, DWORD count) {
    const bool wasFull = QueueFull();
    const size_t n = rx_.Take(destination, count);
    if (rx_.Empty()) rx_.Clear();
    if (rx_.Count() * 5 < rx_.Capacity() * 4) rx80Latched_ = false;
    if (n > 0) {
        UpdateDtrHandshake();
        if (wasFull) {  // whoever watches input resumes reading the device
            Wake();
            if (driving_) WakeWaiter();
        }
    }
    return static_cast<DWORD>(n);
}

void CommDevice::ServeReads(uint64_t now) {
    while (!reads_.empty()) {
        PendingRead& read = reads_.front();
        DWORD got = TakeFromQueue(read.buffer + read.done, read.count - read.done);
        if (got > 0) read.lastByte = now;
        read.done += got;
        bool finished =
            read.done == read.count || (read.mode == ReadMode::AnyByte && read.done > 0) ||
            (read.deadline != 0 && now >= read.deadline) ||
            (read.interval != 0 && read.done > 0 && now - read.lastByte >= read.interval);
        if (!finished) return;
        Complete(read.overlapped, read.event, ERROR_SUCCESS, read.done);
        reads_.pop_front();
    }
}

void CommDevice::ExpireWrites(uint64_t now) {
    while (!writes_.empty() && writes_.front().deadline != 0 && now >= writes_.front().deadline) {
        PendingWrite& write = writes_.front();
        // As on Win32, a write time-out completes the write with the bytes sent so far.
        Complete(write.overlapped, write.event, ERROR_SUCCESS, static_cast<DWORD>(write.done));
        writes_.pop_front();
    }
}

void CommDevice::UpdateDtrHandshake() {
    if (dcb_.fDtrControl != DTR_CONTROL_HANDSHAKE || !modemLines_ || gone_) return;
    if (dtrOn_ && rx_.Free() < dcb_.XoffLim) {
        SetModemLine(TIOCM_DTR, false);
    } else if (!dtrOn_ && rx_.Count() <= dcb_.XonLim) {
        SetModemLine(TIOCM_DTR, true);
    }
}

void CommDevice::SetModemLine(int line, bool on) {
    if (!modemLines_) return;  // pseudo-terminals have no modem lines
    ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
    if (line == TIOCM_DTR) dtrOn_ = on;
}

void CommDevice::RefreshLineErrors() {
    if (!icountWorks_ || gone_) return;
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;
    DWORD errors = 0;
    DWORD events = 0;
    if (now.frame != icount_.frame) errors |= CE_FRAME;
    if (now.parity != icount_.parity) errors |= CE_RXPARITY;
    if (now.overrun != icount_.overrun) errors |= CE_OVERRUN;
    if (now.buf_overrun != icount_.buf_overrun) errors |= CE_RXOVER;
    if (now.brk != icount_.brk) {
        errors |= CE_BREAK;
        events |= EV_BREAK;
    }
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER)) events |= EV_ERR;
    icount_ = now;
    errors_ |= errors;
    if (events) Latch(events);
}

// ---------------------------------------------------------------------------------------------
// Driver thread

void CommDevice::ReadFromDevice() {
    BYTE buffer[4096];
    while (!gone_ && !QueueFull()) {
        size_t room = std::min(sizeof buffer, rx_.Free());
        ssize_t n = ::read(fd_, buffer, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) break;
            DeviceGone();
            return;
        }
        if (n == 0) {  // a hung-up terminal reads as end of file
            DeviceGone();
            return;
        }
        DWORD events = 0;
        const size_t count = Received(buffer, static_cast<size_t>(n), events);
        rx_.Put(buffer, count);
        if (!rx80Latched_ && rx_.Count() * 5 >= rx_.Capacity() * 4) {
            rx80Latched_ = true;
            events |= EV_RX80FULL;
        }
        UpdateDtrHandshake();
        RefreshLineErrors();
        if (events) Latch(events);
        ServeReads(MonotonicMs());
        if (static_cast<size_t>(n) < room) break;
    }
}

size_t CommDevice::Received(BYTE* bytes, size_t count, DWORD& events) {
    if (dcb_.fNull) count = static_cast<size_t>(std::remove(bytes, bytes + count, BYTE{0}) - bytes);
    if (count > 0) events |= EV_RXCHAR;
    if (count > 0 &&
        std::find(bytes, bytes + count, static_cast<BYTE>(dcb_.EvtChar)) != bytes + count)
        events |= EV_RXFLAG;
    return count;
}

size_t CommDevice::ReadThrough(BYTE* destination, size_t count) {
    size_t done = 0;
    DWORD events = 0;
    while (done < count && !gone_) {
        const size_t asked = count - done;
        const ssize_t n = ::read(fd_, destination + done, asked);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            DeviceGone();
            break;
        }
        done += Received(destination + done, static_cast<size_t>(n), events);
        if (static_cast<size_t>(n) < asked) break;
    }
    if (done > 0) RefreshLineErrors();
    // The reader has these bytes already: waiting for their arrival would only wake the event
    // thread for nothing, but the event character is still reported.
    if (events & EV_RXFLAG) Latch(EV_RXFLAG);
    return done;
}

void CommDevice::WriteToDevice() {
    while (!writes_.empty() && !gone_) {
        PendingWrite& write = writes_.front();
        ssize_t n = ::write(fd_, write.data.data() + write.done, write.data.size() - write.done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return;
            DeviceGone();
            return;
        }
        kernelOutput_ = true;
        write.done += static_cast<size_t>(n);
        if (write.done < write.data.size()) return;
        Complete(write.overlapped, write.event, ERROR_SUCCESS, static_cast<DWORD>(write.done));
        writes_.pop_front();
        if (writes_.empty()) Latch(EV_TXEMPTY);
    }
}

void CommDevice::DriverLoop() {
    k419::platform::NameCurrentThread("k419-comm");
    for (;;) {
        pollfd fds[3]{};
        int timeout = -1;
        {
            Lock lock(mutex_);
            if (stopping_) return;
            uint64_t now = MonotonicMs();
            ServeReads(now);
            ExpireWrites(now);
            uint64_t next = 0;
            auto consider = [&](uint64_t deadline) {
                if (deadline != 0 && (next == 0 || deadline < next)) next = deadline;
            };
            for (const PendingRead& read : reads_) {
                consider(read.deadline);
                if (read.interval != 0 && read.done > 0) consider(read.lastByte + read.interval);
            }
            for (const PendingWrite& write : writes_) consider(write.deadline);
            if (next != 0)
                timeout =
                    next > now ? static_cast<int>(std::min<uint64_t>(next - now, 1u << 30)) : 0;

            short events = 0;
            if (!gone_) {
                // Input is read for a pending read, or for an event wait that no thread
                // blocks in; otherwise it waits in the kernel until someone asks.
                if (!QueueFull() && !driving_ && (!reads_.empty() || wait_)) events |= POLLIN;
                if (!writes_.empty()) events |= POLLOUT;
            }
            driverWatchesInput_ = (events & POLLIN) != 0;
            // A descriptor with nothing to wait for is left out entirely: a hung-up terminal
            // reports POLLHUP whatever is asked, and polling it would spin.
            fds[0].fd = events ? fd_ : -1;
            fds[0].events = events;
            fds[1].fd = wakeFd_;
            fds[1].events = POLLIN;
            fds[2].fd = handoverFd_;
            fds[2].events = POLLIN;
        }
        int ready = ::poll(fds, 3, timeout);
        if (ready < 0 && errno != EINTR) {
            // Cannot happen with valid descriptors; avoid a hot loop if it ever does.
            Sleep(10);
            continue;
        }
        Lock lock(mutex_);
        if (stopping_) return;
        if (fds[1].revents & POLLIN) {
            uint64_t value = 0;
            ssize_t ignored = ::read(wakeFd_, &value, sizeof value);
            (void)ignored;
        }
        if (fds[2].revents & POLLIN) {
            uint64_t expirations = 0;
            ssize_t ignored = ::read(handoverFd_, &expirations, sizeof expirations);
            (void)ignored;
            const bool late = handover_ == THandover::Late;
            handover_ = THandover::None;
            // A wait still unattended now was not blocked for by the thread expected to.
            if (wait_ && !driving_) {
                usualDriver_ = {};
                usualWait_ = nullptr;
                lateNs_ = kUsualDriverGraceNs;
            } else if (late) {
                lateNs_ = std::min(lateNs_ * 2, kUsualDriverGraceMaxNs);
            }
        }
        short revents = fds[0].fd >= 0 ? fds[0].revents : 0;
        if (revents & POLLIN) ReadFromDevice();
        if ((revents & POLLOUT) && !gone_) WriteToDevice();
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Take what is still readable, then give the device up.
            if (revents & POLLIN) ReadFromDevice();
            DeviceGone();
        }
    }
}

void CommDevice::StartModemThreadIfNeeded() {
    if (!modemLines_ || modemRunning_ || modemStop_ || gone_ || !(mask_ & kModemEvents)) return;
    if (modem_.joinable()) return;  // ended earlier (unsupported wait); do not retry
    ModemWakeSignal();
    modemRunning_ = true;
    try {
        modem_ = std::thread([this] { ModemLoop(); });
    } catch (const std::system_error&) {
        modemRunning_ = false;
    }
}

void CommDevice::ModemLoop() {
    int lines = 0;
    ioctl(fd_, TIOCMGET, &lines);
    serial_icounter_struct counts{};
    bool counted = ioctl(fd_, TIOCGICOUNT, &counts) == 0;
    int idleReturns = 0;
    for (;;) {
        {
            Lock lock(mutex_);
            if (modemStop_ || gone_) break;
        }
        int result =
            ioctl(fd_, TIOCMIWAIT,
                  static_cast<unsigned long>(TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG));
        if (result != 0 && errno != EINTR) break;  // not supported, or the device went away
        int nowLines = 0;
        ioctl(fd_, TIOCMGET, &nowLines);
        serial_icounter_struct nowCounts{};
        DWORD events = 0;
        if (counted && ioctl(fd_, TIOCGICOUNT, &nowCounts) == 0) {
            if (nowCounts.cts != counts.cts) events |= EV_CTS;
            if (nowCounts.dsr != counts.dsr) events |= EV_DSR;
            if (nowCounts.dcd != counts.dcd) events |= EV_RLSD;
            if (nowCounts.rng != counts.rng) events |= EV_RING;
            counts = nowCounts;
        } else {
            int changedLines = nowLines ^ lines;
            if (changedLines & TIOCM_CTS) events |= EV_CTS;
            if (changedLines & TIOCM_DSR) events |= EV_DSR;
            if (changedLines & TIOCM_CD) events |= EV_RLSD;
            if (changedLines & TIOCM_RNG) events |= EV_RING;
        }
        lines = nowLines;
        if (result == 0 && events == 0) {
            // A driver that returns without a change would make this loop spin.
            if (++idleReturns > 100) break;
            continue;
        }
        idleReturns = 0;
        Lock lock(mutex_);
        Latch(events);
    }
    Lock lock(mutex_);
    modemRunning_ = false;
    changed_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Calls

BOOL CommDevice::Setup(DWORD inQueue, DWORD) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    size_t size = std::clamp<DWORD>(inQueue, kMinQueueSize, kMaxQueueSize);
    size = std::max(size, rx_.Count());  // never drop received bytes
    if (size == rx_.Capacity()) return TRUE;
    const bool wasFull = QueueFull();
    if (!rx_.Resize(size)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    rx80Latched_ = rx_.Count() * 5 >= rx_.Capacity() * 4;
    if (!rx_.Empty()) UpdateDtrHandshake();
    Wake();
    if (wasFull && driving_) WakeWaiter();  // it resumes reading the device
    return TRUE;
}

BOOL CommDevice::GetState(DCB* dcb) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    KernelTermios2 tio{};
    if (ioctl(fd_, kGetTermios2, &tio) != 0)
        return Fail(gone_ ? ERROR_DEVICE_NOT_CONNECTED : Win32ErrorFromErrno(errno));
    DCB result = dcb_;
    result.DCBlength = sizeof(DCB);
    result.fBinary = 1;
    result.BaudRate = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            result.ByteSize = 5;
            break;
        case CS6:
            result.ByteSize = 6;
            break;
        case CS7:
            result.ByteSize = 7;
            break;
        default:
            result.ByteSize = 8;
            break;
    }
    if (pseudoTerminal_) {
        result.ByteSize = dcb_.ByteSize ? dcb_.ByteSize : result.ByteSize;
        result.Parity = dcb_.Parity;
    } else if (!(tio.c_cflag & PARENB)) {
        result.Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
        result.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        result.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    // Two stop bits in termios are what was set for one and a half as well.
    if (!(tio.c_cflag & CSTOPB)) {
        result.StopBits = ONESTOPBIT;
    } else if (dcb_.StopBits != ONE5STOPBITS) {
        result.StopBits = TWOSTOPBITS;
    }
    result.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    result.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    result.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    result.XonChar = static_cast<char>(tio.c_cc[kVStart]);
    result.XoffChar = static_cast<char>(tio.c_cc[kVStop]);
    bool hardwareFlow = (tio.c_cflag & CRTSCTS) != 0;
    bool wantedFlow = dcb_.fOutxCtsFlow || dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (hardwareFlow && !wantedFlow) {
        result.fOutxCtsFlow = 1;
        result.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (!hardwareFlow && wantedFlow) {
        result.fOutxCtsFlow = 0;
        if (result.fRtsControl == RTS_CONTROL_HANDSHAKE) result.fRtsControl = RTS_CONTROL_ENABLE;
    }
    *dcb = result;
    return TRUE;
}

BOOL CommDevice::SetState(const DCB* dcb) {
    if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        dcb->StopBits > TWOSTOPBITS || dcb->BaudRate == 0 ||
        (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) ||
        (dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5) ||
        ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar))
        return Fail(ERROR_INVALID_PARAMETER);
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    KernelTermios2 old{};
    if (ioctl(fd_, kGetTermios2, &old) != 0) return Fail(Win32ErrorFromErrno(errno));
    KernelTermios2 tio = old;

    tcflag_t baudCode = kBaudOther;
    for (const StandardBaud& standard : kStandardBauds) {
        if (standard.rate == dcb->BaudRate) baudCode = standard.code;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR |
                                          CSTOPB | CRTSCTS);
    tio.c_cflag |= baudCode | (baudCode << kInputBaudShift) | CREAD | CLOCAL;
    tio.c_ispeed = tio.c_ospeed = dcb->BaudRate;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
        case ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // Linux has no setting for one and a half stop bits. With 5 data bits a 16550-type UART
    // sends 1.5 stop bits when asked for two, so CSTOPB is the faithful choice there.
    if (dcb->StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    // Linux couples both directions of RTS/CTS handshake in one flag.
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (dcb->fParity) tio.c_iflag |= INPCK;
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[kVStart] = static_cast<cc_t>(dcb->XonChar);
    tio.c_cc[kVStop] = static_cast<cc_t>(dcb->XoffChar);

    if (ioctl(fd_, kSetTermios2, &tio) != 0) return Fail(Win32ErrorFromErrno(errno));
    KernelTermios2 applied{};
    bool readBack = ioctl(fd_, kGetTermios2, &applied) == 0;
    // A driver adjusts what it cannot do instead of refusing it; report that as Win32
    // reports an unsupported setting, and keep the previous line settings.
    // A pseudo-terminal always reports 8 data bits without parity: it has no line whose
    // format these could describe.
    const tcflag_t checked =
        pseudoTerminal_ ? CSTOPB | CRTSCTS : CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    uint64_t speedError = applied.c_ospeed > dcb->BaudRate ? applied.c_ospeed - dcb->BaudRate
                                                           : dcb->BaudRate - applied.c_ospeed;
    if (readBack && ((applied.c_cflag & checked) != (tio.c_cflag & checked) ||
                     speedError * 100 > uint64_t{dcb->BaudRate} * 3)) {
        ioctl(fd_, kSetTermios2, &old);
        return Fail(ERROR_INVALID_PARAMETER);
    }

    dcb_ = *dcb;
    dcb_.DCBlength = sizeof(DCB);
    dcb_.fBinary = 1;
    switch (dcb_.fDtrControl) {
        case DTR_CONTROL_DISABLE:
            SetModemLine(TIOCM_DTR, false);
            break;
        case DTR_CONTROL_ENABLE:
            SetModemLine(TIOCM_DTR, true);
            break;
        default:
            // Handshake: this driver drops DTR while its receive queue is nearly full.
            SetModemLine(TIOCM_DTR, rx_.Free() >= dcb_.XoffLim);
            break;
    }
    switch (dcb_.fRtsControl) {
        case RTS_CONTROL_DISABLE:
            if (!(tio.c_cflag & CRTSCTS)) SetModemLine(TIOCM_RTS, false);
            break;
        case RTS_CONTROL_ENABLE:
            if (!(tio.c_cflag & CRTSCTS)) SetModemLine(TIOCM_RTS, true);
            break;
        case RTS_CONTROL_TOGGLE:
            if (modemLines_) {
                // RS-485 direction control where the driver offers it; otherwise RTS stays as
                // it is (best effort, as the line may have no transceiver to switch).
                serial_rs485 rs485{};
                rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
                ioctl(fd_, TIOCSRS485, &rs485);
            }
            break;
        default:
            break;
    }
    return TRUE;
}

BOOL CommDevice::GetTimeouts(COMMTIMEOUTS* timeouts) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    *timeouts = timeouts_;
    return TRUE;
}

BOOL CommDevice::SetTimeouts(const COMMTIMEOUTS* timeouts) {
    if (timeouts->ReadIntervalTimeout == MAXDWORD &&
        timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts->ReadTotalTimeoutConstant == MAXDWORD)
        return Fail(ERROR_INVALID_PARAMETER);
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    timeouts_ = *timeouts;
    return TRUE;
}

BOOL CommDevice::GetMask(DWORD* mask) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    *mask = mask_;
    return TRUE;
}

BOOL CommDevice::SetMask(DWORD mask) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    mask_ = mask;
    // Any change of the mask ends a wait in progress, reporting no event.
    AbortWait();
    StartModemThreadIfNeeded();
    return TRUE;
}

BOOL CommDevice::WaitEvent(DWORD* mask, OVERLAPPED* overlapped) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (mask == nullptr || wait_ || mask_ == 0) return Fail(ERROR_INVALID_PARAMETER);
    bool synchronous = overlapped == nullptr || !overlappedHandle_;
    OVERLAPPED local{};
    OVERLAPPED* op = overlapped ? overlapped : &local;
    HANDLE event = overlapped ? overlapped->hEvent : nullptr;
    if (event) k419::platform::detail::ResetEventHandle(event);
    RefreshLineErrors();
    if (DWORD reported = history_ & mask_) {
        history_ &= ~reported;
        *mask = reported;
        return FinishAtOnce(op, synchronous, event, 0, nullptr);
    }
    BeginOp(op);
    if (gone_) {
        // Reported through the completion, not as an immediate failure: a caller that takes
        // an immediate failure for an event and waits again at once would spin on a device
        // that is gone, while a failed completion ends its wait loop.
        *mask = 0;
        Complete(op, event, ERROR_DEVICE_NOT_CONNECTED, 0);
        return FinishPending(lock, op, synchronous, nullptr);
    }
    wait_ = PendingWait{op, event, mask};
    return FinishPending(lock, op, synchronous, nullptr);
}

BOOL CommDevice::OverlappedResult(OVERLAPPED* overlapped, DWORD* bytes, bool wait) {
    Lock lock(mutex_);
    Completion* completion = FindOp(overlapped);
    if (!completion) return Fail(ERROR_INVALID_PARAMETER);
    if (completion->pending) {
        if (!wait) {
            // Someone looks for it without blocking: the driver thread must watch for it.
            if (IsPendingWait(overlapped) && !driving_ && !driverWatchesInput_) Wake();
            return Fail(ERROR_IO_INCOMPLETE);
        }
        if (IsPendingWait(overlapped)) DriveWait(lock, overlapped);
        changed_.wait(lock, [&] { return !Op(overlapped).pending; });
        completion = &Op(overlapped);
    }
    if (bytes) *bytes = completion->bytes;
    if (completion->error != ERROR_SUCCESS) return Fail(completion->error);
    return TRUE;
}

BOOL CommDevice::Cancel() {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    AbortAll(ERROR_OPERATION_ABORTED);
    return TRUE;
}

BOOL CommDevice::Read(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
    if (read) *read = 0;
    if (buffer == nullptr && count > 0) return Fail(ERROR_INVALID_PARAMETER);
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    bool synchronous = overlapped == nullptr || !overlappedHandle_;
    OVERLAPPED local{};
    OVERLAPPED* op = overlapped ? overlapped : &local;
    HANDLE event = overlapped ? overlapped->hEvent : nullptr;
    if (event) k419::platform::detail::ResetEventHandle(event);
    // Before the take, which may make room in a full queue: bytes that found it full wait in
    // the kernel's buffer and nobody fetches them until then.
    const bool watched = InputWatched();

    const COMMTIMEOUTS& t = timeouts_;
    PendingRead pending{op, event, static_cast<BYTE*>(buffer), count, 0, ReadMode::Full, 0, 0, 0};
    uint64_t now = MonotonicMs();
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        pending.mode = ReadMode::Immediate;
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        pending.mode = ReadMode::AnyByte;
        pending.deadline = now + t.ReadTotalTimeoutConstant;
    } else {
        uint64_t total =
            uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        pending.deadline = total ? now + total : 0;
        pending.interval = t.ReadIntervalTimeout == MAXDWORD ? 0 : t.ReadIntervalTimeout;
    }
    if (reads_.empty()) {
        pending.done = TakeFromQueue(pending.buffer, count);
        if (pending.done < count && rx_.Empty() && !watched)
            pending.done += static_cast<DWORD>(
                ReadThrough(pending.buffer + pending.done, count - pending.done));
        pending.lastByte = now;
        bool finished = pending.done == count || pending.mode == ReadMode::Immediate ||
                        (pending.mode == ReadMode::AnyByte && pending.done > 0);
        if (gone_) {
            // What was received before the device went away is still delivered.
            if (pending.done == 0 && count > 0) return Fail(ERROR_DEVICE_NOT_CONNECTED);
            finished = true;
        }
        if (finished) return FinishAtOnce(op, synchronous, event, pending.done, read);
    } else if (gone_) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    BeginOp(op);
    reads_.push_back(pending);
    Wake();  // new deadline for the driver thread
    return FinishPending(lock, op, synchronous, read);
}

BOOL CommDevice::Write(const void* buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
    if (written) *written = 0;
    if (buffer == nullptr && count > 0) return Fail(ERROR_INVALID_PARAMETER);
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    bool synchronous = overlapped == nullptr || !overlappedHandle_;
    OVERLAPPED local{};
    OVERLAPPED* op = overlapped ? overlapped : &local;
    HANDLE event = overlapped ? overlapped->hEvent : nullptr;
    if (event) k419::platform::detail::ResetEventHandle(event);

    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    size_t done = 0;
    if (writes_.empty()) {
        while (done < count) {
            ssize_t n = ::write(fd_, bytes + done, count - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                DeviceGone();
                return Fail(ERROR_DEVICE_NOT_CONNECTED);
            }
            done += static_cast<size_t>(n);
            kernelOutput_ = true;
        }
        if (done == count) {
            Latch(EV_TXEMPTY);
            return FinishAtOnce(op, synchronous, event, count, written);
        }
    }
    uint64_t total = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count +
                     timeouts_.WriteTotalTimeoutConstant;
    BeginOp(op);
    writes_.push_back(PendingWrite{op, event, std::vector<BYTE>(bytes, bytes + count), done,
                                   total ? MonotonicMs() + total : 0});
    Wake();
    return FinishPending(lock, op, synchronous, written);
}

BOOL CommDevice::Flush() {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    changed_.wait(lock, [&] { return writes_.empty() || closed_; });
    if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    tcdrain(fd_);
    return TRUE;
}

BOOL CommDevice::ClearError(DWORD* errors, COMSTAT* stat) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    RefreshLineErrors();
    if (errors) *errors = errors_;
    errors_ = 0;
    if (stat) {
        *stat = COMSTAT{};
        // What the kernel holds while nobody watches input counts too: a read takes it
        // straight from the device. Watched input is counted once it is in the queue.
        int kernelWaiting = 0;
        if (!gone_ && !InputWatched() && ioctl(fd_, TIOCINQ, &kernelWaiting) != 0)
            kernelWaiting = 0;
        stat->cbInQue =
            static_cast<DWORD>(rx_.Count() + static_cast<size_t>(std::max(kernelWaiting, 0)));
        size_t queued = 0;
        for (const PendingWrite& write : writes_) queued += write.data.size() - write.done;
        // The kernel is asked only while something written may still be in its buffer.
        int kernelQueued = 0;
        if (kernelOutput_ && !gone_ && ioctl(fd_, TIOCOUTQ, &kernelQueued) == 0) {
            if (kernelQueued > 0)
                queued += static_cast<size_t>(kernelQueued);
            else
                kernelOutput_ = false;
        }
        stat->cbOutQue = static_cast<DWORD>(queued);
    }
    return TRUE;
}

BOOL CommDevice::Purge(DWORD flags) {
    if (flags & ~kAllPurgeFlags) return Fail(ERROR_INVALID_PARAMETER);
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (flags & PURGE_TXABORT) AbortWrites(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXABORT) AbortReads(ERROR_OPERATION_ABORTED);
    if ((flags & PURGE_TXCLEAR) && !gone_) tcflush(fd_, TCOFLUSH);
    if (flags & PURGE_RXCLEAR) {
        bool wasFull = QueueFull();
        rx_.Clear();
        rx80Latched_ = false;
        if (!gone_) tcflush(fd_, TCIFLUSH);
        UpdateDtrHandshake();
        if (wasFull) {
            Wake();
            if (driving_) WakeWaiter();
        }
    }
    return TRUE;
}

BOOL CommDevice::Escape(DWORD function) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    if (gone_) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    int result = 0;
    switch (function) {
        case SETXOFF:
            result = tcflow(fd_, TCOOFF);
            break;
        case SETXON:
            result = tcflow(fd_, TCOON);
            break;
        case SETRTS:
        case CLRRTS:
        case SETDTR:
        case CLRDTR: {
            if (!modemLines_) return TRUE;  // pseudo-terminal: nothing to switch
            int line = (function == SETRTS || function == CLRRTS) ? TIOCM_RTS : TIOCM_DTR;
            bool on = function == SETRTS || function == SETDTR;
            result = ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
            if (result == 0 && line == TIOCM_DTR) dtrOn_ = on;
            break;
        }
        case SETBREAK:
            result = ioctl(fd_, TIOCSBRK);
            if (result != 0 && !modemLines_) result = 0;
            break;
        case CLRBREAK:
            result = ioctl(fd_, TIOCCBRK);
            if (result != 0 && !modemLines_) result = 0;
            break;
        case RESETDEV:
            break;
        default:
            return Fail(ERROR_INVALID_PARAMETER);
    }
    if (result != 0) return Fail(Win32ErrorFromErrno(errno));
    return TRUE;
}

BOOL CommDevice::ModemStatus(DWORD* status) {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    *status = 0;
    int lines = 0;
    if (!modemLines_ || gone_ || ioctl(fd_, TIOCMGET, &lines) != 0) return TRUE;
    if (lines & TIOCM_CTS) *status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) *status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) *status |= MS_RING_ON;
    if (lines & TIOCM_CD) *status |= MS_RLSD_ON;
    return TRUE;
}

// The device of a handle, taken over for use as a serial port; null (with the last error set)
// for an unknown handle or a device that cannot be taken over.
std::shared_ptr<CommDevice> DeviceFor(HANDLE handle) {
    auto device = k419::platform::detail::LookupHandleAs<CommDevice>(handle);
    if (!device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (DWORD error = device->TakeOver(); error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    return device;
}

// The common shape of the calls that hand a caller's record to the device: a null record is
// an invalid parameter, an unknown handle an invalid handle.
template <class Record, class Param>
BOOL WithRecord(HANDLE handle, Record* record, BOOL (CommDevice::*operation)(Param*)) {
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto device = DeviceFor(handle);
    return device ? ((*device).*operation)(record) : FALSE;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

}  // namespace

namespace k419::platform {

std::string DevicePathForName(const char* name) {
    if (name == nullptr || *name == '\0') return {};
    std::string_view text(name);
    constexpr std::string_view kDevicePrefix = "\\\\.\\";
    bool prefixed = text.substr(0, kDevicePrefix.size()) == kDevicePrefix;
    if (prefixed) text.remove_prefix(kDevicePrefix.size());
    if (text.size() > 3 && EqualsIgnoringCase(text.substr(0, 3), "COM")) {
        std::string_view digits = text.substr(3);
        bool numeric = digits.size() <= 4 && std::all_of(digits.begin(), digits.end(), [](char c) {
                           return c >= '0' && c <= '9';
                       });
        if (numeric) {
            int number = std::atoi(std::string(digits).c_str());
            if (number < 1) return {};
            return DescribePort(number).path;
        }
    }
    if (prefixed) return "/dev/" + std::string(text);
    return std::string(text);
}

}  // namespace k419::platform

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD dwFlagsAndAttributes, HANDLE) {
    std::string path = k419::platform::DevicePathForName(lpFileName);
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<CommDevice>();
    DWORD error = device->Open(path, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return k419::platform::detail::RegisterHandle(std::move(device));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    auto device = DeviceFor(hFile);
    return device ? device->Setup(dwInQueue, dwOutQueue) : FALSE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return WithRecord(hFile, lpDCB, &CommDevice::GetState);
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return WithRecord(hFile, lpDCB, &CommDevice::SetState);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return WithRecord(hFile, lpCommTimeouts, &CommDevice::GetTimeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return WithRecord(hFile, lpCommTimeouts, &CommDevice::SetTimeouts);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return WithRecord(hFile, lpEvtMask, &CommDevice::GetMask);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    auto device = DeviceFor(hFile);
    return device ? device->SetMask(dwEvtMask) : FALSE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    auto device = DeviceFor(hFile);
    return device ? device->WaitEvent(lpEvtMask, lpOverlapped) : FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto device = DeviceFor(hFile);
    return device
               ? device->OverlappedResult(lpOverlapped, lpNumberOfBytesTransferred, bWait != FALSE)
               : FALSE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    auto device = DeviceFor(hFile);
    return device ? device->Cancel() : FALSE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    auto device = DeviceFor(hFile);
    return device ? device->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped)
                  : FALSE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    auto device = DeviceFor(hFile);
    return device ? device->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                                  lpOverlapped)
                  : FALSE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    auto device = DeviceFor(hFile);
    return device ? device->Flush() : FALSE;
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    auto device = DeviceFor(hFile);
    return device ? device->ClearError(lpErrors, lpStat) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    auto device = DeviceFor(hFile);
    return device ? device->Purge(dwFlags) : FALSE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    auto device = DeviceFor(hFile);
    return device ? device->Escape(dwFunc) : FALSE;
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }

BOOL WINAPI ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    return WithRecord(hFile, lpModemStat, &CommDevice::ModemStatus);
}
