// Serial devices: the bookkeeping of overlapped operations, event waits and their completion,
// and the hand-over of a wait between a thread that blocks for it and the driver thread.
#include "CommDevice.h"
#include "PlatformHooks.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

namespace k419::platform::comm {

void CommDevice::BeginOp(OVERLAPPED* overlapped) {
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
}

void CommDevice::Complete(OVERLAPPED* overlapped, HANDLE event, DWORD error, DWORD bytes) {
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
            WatchBlockingOn(wait_->event);
            if (overlapped != usualWait_ || std::this_thread::get_id() != usualDriver_)
                ArmHandover(THandover::Soon);
            else if (handover_ == THandover::None)
                ArmHandover(THandover::Late);
        }
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    AwaitCompletion(lock, overlapped);
    return Outcome(overlapped, bytes);
}

void CommDevice::AwaitCompletion(Lock& lock, OVERLAPPED* overlapped) {
    if (IsPendingWait(overlapped)) DriveWait(lock, overlapped);
    changed_.wait(lock, [&] { return !Pending(overlapped); });
}

BOOL CommDevice::Outcome(const OVERLAPPED* overlapped, DWORD* bytes) {
    if (bytes) *bytes = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(overlapped->Internal));
    return TRUE;
}

BOOL CommDevice::FinishAtOnce(OVERLAPPED* overlapped, bool synchronous, HANDLE event, DWORD bytes,
                              DWORD* bytesOut) {
    if (bytesOut) *bytesOut = bytes;
    if (!synchronous) Complete(overlapped, event, ERROR_SUCCESS, bytes);
    return TRUE;
}

void CommDevice::WatchBlockingOn(HANDLE event) {
    if (event == nullptr || self_ == nullptr) return;
    if (event == watchedEvent_) {
        // Still ours, unless a wait on another device has used the same event since.
        const auto object = watched_.lock();
        if (!object || object->BlockWatcher() == self_) return;
    }
    auto object = k419::platform::detail::LookupHandleAs<k419::platform::detail::Waitable>(event);
    if (!object) return;
    object->TellWhenBlockedOn(self_);
    watchedEvent_ = event;
    watched_ = object;
}

void CommDevice::ThreadBlocksOn(const k419::platform::detail::Waitable* object) {
    Lock lock(mutex_);
    if (closed_ || stopping_ || !wait_ || driving_ || driverWatchesInput_) return;
    if (wait_->event != watchedEvent_ || watched_.lock().get() != object) return;
    // The thread that blocked for the last wait does not block for this one.
    usualDriver_ = {};
    usualWait_ = nullptr;
    Wake();
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
    while (Pending(overlapped) && !stopping_) {
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
    if (waitFailure_ != 0) {
        *mask = 0;
        Complete(op, event, waitFailure_, 0);
        return FinishPending(lock, op, synchronous, nullptr);
    }
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
    if (Pending(overlapped)) {
        if (!wait) {
            // Someone looks for it without blocking: the driver thread must watch for it.
            if (IsPendingWait(overlapped) && !driving_ && !driverWatchesInput_) Wake();
            return Fail(ERROR_IO_INCOMPLETE);
        }
        AwaitCompletion(lock, overlapped);
    }
    return Outcome(overlapped, bytes);
}

void CommDevice::FailEventWaits(DWORD error) {
    Lock lock(mutex_);
    waitFailure_ = error;
    if (error == 0 || !wait_) return;
    *wait_->mask = 0;
    Complete(wait_->overlapped, wait_->event, error, 0);
    wait_.reset();
}

std::size_t CommDevice::PendingOperations() {
    Lock lock(mutex_);
    return reads_.size() + writes_.size() + (wait_ ? 1 : 0);
}

BOOL CommDevice::Cancel() {
    Lock lock(mutex_);
    if (closed_) return Fail(ERROR_INVALID_HANDLE);
    AbortAll(ERROR_OPERATION_ABORTED);
    return TRUE;
}

}  // namespace k419::platform::comm
