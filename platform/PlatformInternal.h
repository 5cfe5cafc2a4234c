// Shared machinery of the platform layer's units: the handle table, waitable objects and the
// translation of operating system errors. Not for use outside platform/.
#pragma once

#include "windows.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace k419::platform::detail {

// Anything a HANDLE can name. Close() runs once, when CloseHandle removes the handle; other
// threads may still hold a reference and must find the object in a defined, closed state.
class Object {
  public:
    virtual ~Object() = default;
    virtual bool Close() { return true; }
};

struct WaitContext;

// An object whose signalled state can be waited for (events, threads, message queues).
// All state is guarded by one process-wide lock inside Sync.cpp.
class Waitable : public Object {
  public:
    Waitable(bool manualReset, bool initiallySignalled);
    void Set();
    void Reset();
    bool IsSignalled() const;

  private:
    friend DWORD WaitForWaitables(std::span<Waitable* const>, bool, DWORD);
    bool manualReset_;
    bool signalled_;
    // Shared with the waiting thread, so that a wake-up may be sent after the lock is released
    // (a thread woken under the lock would at once block on it again) even if that thread
    // has meanwhile stopped waiting.
    std::vector<std::shared_ptr<WaitContext>> waiters_;
};

// WaitForMultipleObjects on resolved objects: WAIT_OBJECT_0 + index, WAIT_TIMEOUT. A
// satisfied auto-reset object is reset atomically with the wake-up.
DWORD WaitForWaitables(std::span<Waitable* const> objects, bool waitAll, DWORD timeoutMs);

// Handle values are never reused, so a stale handle fails instead of naming a new object.
HANDLE RegisterHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
std::shared_ptr<Object> UnregisterHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Sets the event named by a handle if it still names one; used to signal completion of
// overlapped operations, whose event may have been closed by its owner meanwhile.
void SignalEventHandle(HANDLE handle);
void ResetEventHandle(HANDLE handle);

// The Win32 number for an errno value, APPLICATION_ERROR_MASK | errno when there is none.
DWORD Win32ErrorFromErrno(int err);

// Milliseconds of a monotonic clock.
uint64_t MonotonicMs();

}  // namespace k419::platform::detail
