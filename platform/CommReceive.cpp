// Serial devices: the receive queue, the reads that take from it (or straight from the device
// when it is empty and nobody else watches input), and the receive events that arriving bytes
// raise.
#include "CommDevice.h"
#include "PlatformHooks.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace k419::platform::comm {

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

}  // namespace k419::platform::comm
