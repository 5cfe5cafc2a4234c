// Shared machinery of the platform layer's units: the handle table, waitable objects and the
// translation of operating system errors. Not for use outside platform/.
#pragma once

#include "windows.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace k419::platform::detail {

// What an object is, as bits: a typed lookup checks them instead of asking the run-time type
// information, which costs a walk of the class hierarchy on every call.
namespace kind {
constexpr unsigned kWaitable = 1u << 0;
constexpr unsigned kEvent = 1u << 1;
constexpr unsigned kThread = 1u << 2;
constexpr unsigned kCommDevice = 1u << 3;
}  // namespace kind

class Waitable;

// Anything a HANDLE can name. Close() runs once, when CloseHandle removes the handle; other
// threads may still hold a reference and must find the object in a defined, closed state.
class Object {
  public:
    virtual ~Object() = default;
    virtual bool Close() { return true; }
    // A thread is about to sleep until `object` is signalled, and this object asked to know
    // (Waitable::TellWhenBlockedOn). Called on that thread, with no lock of the layer held.
    virtual void ThreadBlocksOn(const Waitable* object) { (void)object; }
    // The kind bits of the object's class and of every class it derives from.
    unsigned Kinds() const { return kinds_; }

  protected:
    explicit Object(unsigned kinds) : kinds_(kinds) {}

  private:
    unsigned kinds_;
};

// Where a thread sleeps while it waits in this layer, one per thread. A wait takes a token
// with Prepare, under the lock that guards what it waits for, looks at that state, releases
// the lock and parks with the token. Whoever changes the state does so under the same lock,
// notes the waiter's parker and token there, and unparks it once the lock is released. A
// token is good for one look only, so a wake-up can never end a later wait of the thread (one
// that waits for something else), and one that comes before Park is not lost.
class Parker {
  public:
    uint32_t Prepare();
    // Sleeps until Unpark(token) or the deadline (time_point::max(): none); false when the
    // deadline passed first. Only the owning thread calls Prepare and Park.
    bool Park(uint32_t token, std::chrono::steady_clock::time_point deadline);
    // Ends the wait of this token, if it is still the current one; any thread.
    void Unpark(uint32_t token);

  private:
    // The token in the upper bits, the state of its wait in the lower two.
    std::atomic<uint32_t> word_{0};
};

// The calling thread's parker; shared, so that a thread that unparks it after releasing its
// lock never touches a parker whose thread has ended meanwhile.
std::shared_ptr<Parker> CurrentParker();

struct WaitRecord;

// An object whose signalled state can be waited for (events, threads, message queues).
// All state is guarded by one process-wide lock inside Sync.cpp.
class Waitable : public Object {
  public:
    static constexpr unsigned kKind = kind::kWaitable;
    // `kinds`: those of the derived class, if any.
    Waitable(bool manualReset, bool initiallySignalled, unsigned kinds = 0);
    void Set();
    void Reset();
    bool IsSignalled() const;
    // From now on a thread that sleeps waiting for this object first tells the object behind
    // `watcher` (its ThreadBlocksOn), if that handle is still open; null: nobody.
    void TellWhenBlockedOn(HANDLE watcher) {
        blockWatcher_.store(reinterpret_cast<uintptr_t>(watcher), std::memory_order_release);
    }
    HANDLE BlockWatcher() const {
        return reinterpret_cast<HANDLE>(blockWatcher_.load(std::memory_order_acquire));
    }

  private:
    friend DWORD WaitForWaitables(std::span<Waitable* const>, bool, DWORD);
    std::atomic<uintptr_t> blockWatcher_{0};
    bool manualReset_;
    bool signalled_;
    // The waits in progress; each record lives on its waiting thread's stack while it is here.
    std::vector<WaitRecord*> waiters_;
};

// The objects of one wait, each kept alive until the wait ends, even if another thread closes
// its handle meanwhile; held on the waiting thread's stack, so a wait allocates nothing.
class WaitList {
  public:
    WaitList() {}
    WaitList(const WaitList&) = delete;
    WaitList& operator=(const WaitList&) = delete;
    ~WaitList() {
        for (size_t i = 0; i < count_; ++i) held_[i].~shared_ptr();
    }
    // At most MAXIMUM_WAIT_OBJECTS objects.
    void Add(std::shared_ptr<Waitable> object) {
        objects_[count_] = object.get();
        new (&held_[count_]) std::shared_ptr<Waitable>(std::move(object));
        ++count_;
    }
    std::span<Waitable* const> Objects() const { return {objects_.data(), count_}; }

  private:
    size_t count_ = 0;
    std::array<Waitable*, MAXIMUM_WAIT_OBJECTS> objects_;
    union {
        std::shared_ptr<Waitable> held_[MAXIMUM_WAIT_OBJECTS];
    };
};

// WaitForMultipleObjects on resolved objects: WAIT_OBJECT_0 + index, WAIT_TIMEOUT. A
// satisfied auto-reset object is reset atomically with the wake-up.
DWORD WaitForWaitables(std::span<Waitable* const> objects, bool waitAll, DWORD timeoutMs);

// Handle values are never reused, so a stale handle fails instead of naming a new object.
HANDLE RegisterHandle(std::shared_ptr<Object> object);
// Each thread remembers the few handles it used last, so the handles it uses for every event
// and wait cost no lock and no table search; a removal anywhere makes every thread look again.
std::shared_ptr<Object> LookupHandle(HANDLE handle);
std::shared_ptr<Object> UnregisterHandle(HANDLE handle);

// The object of a handle if it is a T (T::kKind names its kind bits), else null.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    std::shared_ptr<Object> object = LookupHandle(handle);
    if (!object || (object->Kinds() & T::kKind) != T::kKind) return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
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
