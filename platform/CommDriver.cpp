// Serial devices: the device's own threads. The driver thread serves reads and waits that no
// thread blocks in, writes queued output and expires time-outs; the modem thread waits for modem
// line changes.
#include "CommDevice.h"
#include "PlatformHooks.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace k419::platform::comm {

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

void CommDevice::ExpireWrites(uint64_t now) {
    while (!writes_.empty() && writes_.front().deadline != 0 && now >= writes_.front().deadline) {
        PendingWrite& write = writes_.front();
        // As on Win32, a write time-out completes the write with the bytes sent so far.
        Complete(write.overlapped, write.event, ERROR_SUCCESS, static_cast<DWORD>(write.done));
        writes_.pop_front();
    }
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
                lateNs_ = graceNs_;
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

}  // namespace k419::platform::comm
