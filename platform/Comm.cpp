// Serial devices: opening and closing a device, the line settings, purges, escapes and counts,
// and the Win32 entry points that find the device of a handle (see CommDevice.h for the design).
#include "CommDevice.h"
#include "PlatformHooks.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SerialPorts.h"

namespace k419::platform::comm {

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

}  // namespace k419::platform::comm

namespace {

using k419::platform::comm::CommDevice;

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

void FailEventWaitsForTests(void* device, unsigned long error) {
    if (auto comm = detail::LookupHandleAs<CommDevice>(static_cast<HANDLE>(device)))
        comm->FailEventWaits(static_cast<DWORD>(error));
}

void SetHandoverGraceForTests(void* device, long long ns) {
    if (auto comm = detail::LookupHandleAs<CommDevice>(static_cast<HANDLE>(device)))
        comm->SetHandoverGrace(ns);
}

std::size_t PendingOperationsForTests(void* device) {
    auto comm = detail::LookupHandleAs<CommDevice>(static_cast<HANDLE>(device));
    return comm ? comm->PendingOperations() : 0;
}

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
    HANDLE handle = k419::platform::detail::RegisterHandle(device);
    device->SetHandle(handle);
    return handle;
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
