// Events, waits, critical sections, interlocked counters, threads, sleeping and clocks.
#include "PlatformHooks.h"
#include "PlatformInternal.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace k419::platform {

void NameCurrentThread(const char* name) {
    char shortName[16] = {};
    std::strncpy(shortName, name ? name : "", sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

}  // namespace k419::platform

namespace k419::platform::detail {

namespace {

constexpr int kStateBits = 2;
constexpr uint32_t kStateMask = (1u << kStateBits) - 1;
constexpr uint32_t kTokenMask = UINT32_MAX >> kStateBits;
// States of the current token's wait.
constexpr uint32_t kArmed = 0;     // prepared, not asleep yet
constexpr uint32_t kSleeping = 1;  // asleep in the kernel: an unpark must wake it there
constexpr uint32_t kUnparked = 2;
constexpr uint32_t kExpired = 3;  // the deadline passed first

long Futex(std::atomic<uint32_t>& word, int operation, uint32_t value, const timespec* deadline) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), operation, value, deadline,
                   nullptr, FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

uint32_t Parker::Prepare() {
    uint32_t token = ((word_.load(std::memory_order_relaxed) >> kStateBits) + 1) & kTokenMask;
    if (token == 0) token = 1;  // 0 stays free to mean "no wait" to the callers
    word_.store(token << kStateBits | kArmed);
    return token;
}

bool Parker::Park(uint32_t token, std::chrono::steady_clock::time_point deadline) {
    const uint32_t sleeping = token << kStateBits | kSleeping;
    uint32_t expected = token << kStateBits | kArmed;
    if (!word_.compare_exchange_strong(expected, sleeping)) return true;  // unparked already
    // The futex's absolute time-out runs on CLOCK_MONOTONIC, the steady clock's.
    timespec limit{};
    const timespec* timeout = nullptr;
    if (deadline != std::chrono::steady_clock::time_point::max()) {
        const auto since =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
        limit.tv_sec = static_cast<time_t>(since.count() / 1'000'000'000);
        limit.tv_nsec = static_cast<long>(since.count() % 1'000'000'000);
        timeout = &limit;
    }
    for (;;) {
        const long result = Futex(word_, FUTEX_WAIT_BITSET_PRIVATE, sleeping, timeout);
        const int error = errno;
        if (word_.load() != sleeping) return true;
        if (result != 0 && error == ETIMEDOUT) {
            expected = sleeping;
            return !word_.compare_exchange_strong(expected, token << kStateBits | kExpired);
        }
    }
}

void Parker::Unpark(uint32_t token) {
    uint32_t current = word_.load();
    for (;;) {
        const uint32_t state = current & kStateMask;
        if ((current >> kStateBits) != token || (state != kArmed && state != kSleeping)) return;
        if (word_.compare_exchange_weak(current, token << kStateBits | kUnparked)) {
            if (state == kSleeping) Futex(word_, FUTEX_WAKE_PRIVATE, 1, nullptr);
            return;
        }
    }
}

namespace {

thread_local bool tParkerGone = false;  // trivially destructible: readable while the thread ends

struct ParkerHolder {
    std::shared_ptr<Parker> parker = std::make_shared<Parker>();
    ~ParkerHolder() { tParkerGone = true; }
};
thread_local ParkerHolder tParker;

}  // namespace

std::shared_ptr<Parker> CurrentParker() {
    // A wait made while the thread ends, after its thread-local objects (static destructors
    // on the main thread, for one), gets a parker of its own.
    if (tParkerGone) return std::make_shared<Parker>();
    return tParker.parker;
}

struct WaitRecord {
    std::shared_ptr<Parker> parker;
    uint32_t token = 0;
};

namespace {

// One lock for the state of every waitable object: waits on several objects must see and
// consume their states atomically, and the number of objects and waiters here is small.
std::mutex& SyncMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

}  // namespace

Waitable::Waitable(bool manualReset, bool initiallySignalled, unsigned kinds)
    : Object(kKind | kinds), manualReset_(manualReset), signalled_(initiallySignalled) {}

void Waitable::Set() {
    // The waiters are woken after the lock is released (a thread woken under it would at once
    // find it held). Rarely does more than one thread wait for one object.
    struct Wake {
        std::shared_ptr<Parker> parker;
        uint32_t token = 0;
    };
    std::array<Wake, 4> few;
    std::vector<Wake> more;
    size_t count = 0;
    {
        std::lock_guard lock(SyncMutex());
        signalled_ = true;
        for (const WaitRecord* waiter : waiters_) {
            if (count < few.size())
                few[count++] = {waiter->parker, waiter->token};
            else
                more.push_back({waiter->parker, waiter->token});
        }
    }
    for (size_t i = 0; i < count; ++i) few[i].parker->Unpark(few[i].token);
    for (const Wake& wake : more) wake.parker->Unpark(wake.token);
}

void Waitable::Reset() {
    std::lock_guard lock(SyncMutex());
    signalled_ = false;
}

bool Waitable::IsSignalled() const {
    std::lock_guard lock(SyncMutex());
    return signalled_;
}

namespace {

// Tells whoever asked that the calling thread is about to sleep on these objects.
void TellWatchers(std::span<Waitable* const> objects) {
    for (Waitable* object : objects) {
        const HANDLE watcher = object->BlockWatcher();
        if (watcher == nullptr) continue;
        if (auto told = LookupHandle(watcher)) told->ThreadBlocksOn(object);
    }
}

}  // namespace

DWORD WaitForWaitables(std::span<Waitable* const> objects, bool waitAll, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = timeoutMs == INFINITE
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(timeoutMs);
    WaitRecord record{CurrentParker(), 0};
    std::unique_lock lock(SyncMutex());
    bool registered = false;
    auto unregister = [&] {
        if (!registered) return;
        for (Waitable* object : objects) std::erase(object->waiters_, &record);
        registered = false;
    };
    auto consume = [](Waitable* object) {
        if (!object->manualReset_) object->signalled_ = false;
    };
    bool timedOut = false;
    bool told = false;
    for (;;) {
        if (waitAll) {
            bool all = std::all_of(objects.begin(), objects.end(),
                                   [](Waitable* object) { return object->signalled_; });
            if (all) {
                for (Waitable* object : objects) consume(object);
                unregister();
                return WAIT_OBJECT_0;
            }
        } else {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i]->signalled_) {
                    consume(objects[i]);
                    unregister();
                    return WAIT_OBJECT_0 + static_cast<DWORD>(i);
                }
            }
        }
        if (timedOut || timeoutMs == 0) {
            unregister();
            return WAIT_TIMEOUT;
        }
        record.token = record.parker->Prepare();
        if (!registered) {
            for (Waitable* object : objects) {
                auto& list = object->waiters_;
                if (std::find(list.begin(), list.end(), &record) == list.end())
                    list.push_back(&record);
            }
            registered = true;
        }
        const bool firstSleep = !told;
        told = true;
        lock.unlock();
        if (firstSleep) TellWatchers(objects);
        // A time-out still takes one last look at the states before it is reported.
        timedOut = !record.parker->Park(record.token, deadline);
        lock.lock();
    }
}

void SignalEventHandle(HANDLE handle) {
    if (handle == nullptr) return;
    if (auto event = LookupHandleAs<Waitable>(handle)) event->Set();
}

void ResetEventHandle(HANDLE handle) {
    if (handle == nullptr) return;
    if (auto event = LookupHandleAs<Waitable>(handle)) event->Reset();
}

uint64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

namespace {

class EventObject : public Waitable {
  public:
    static constexpr unsigned kKind = kind::kWaitable | kind::kEvent;
    EventObject(bool manualReset, bool initiallySignalled)
        : Waitable(manualReset, initiallySignalled, kKind) {}
};

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;
thread_local int currentPriority = THREAD_PRIORITY_NORMAL;

// Linux has no per-thread priority classes for ordinary threads; a thread's nice value is
// the closest equivalent. Raising it needs privileges, so the mapping is best effort.
int NiceForPriority(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
            return 19;
        case THREAD_PRIORITY_LOWEST:
            return 4;
        case THREAD_PRIORITY_BELOW_NORMAL:
            return 2;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            return -2;
        case THREAD_PRIORITY_HIGHEST:
            return -4;
        case THREAD_PRIORITY_TIME_CRITICAL:
            return -10;
        default:
            return 0;
    }
}

bool IsValidPriority(int priority) {
    return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
           priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
}

class ThreadObject : public Waitable {
  public:
    static constexpr unsigned kKind = kind::kWaitable | kind::kThread;
    ThreadObject() : Waitable(true, false, kKind) {}

    std::mutex mutex;
    std::condition_variable resumed;
    DWORD suspendCount = 0;
    DWORD exitCode = STILL_ACTIVE;
    pid_t kernelId = 0;  // 0 until the thread runs
    int priority = THREAD_PRIORITY_NORMAL;
    DWORD id = 0;
};

thread_local std::shared_ptr<ThreadObject> currentThreadObject;

void ApplyPriority(pid_t kernelId, int priority) {
    if (kernelId != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(kernelId), NiceForPriority(priority));
}

}  // namespace
}  // namespace k419::platform::detail

using namespace k419::platform::detail;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    return RegisterHandle(
        std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = LookupHandleAs<EventObject>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

namespace {
// The waitable object of a handle, or of the calling thread's pseudo handle; null for others.
std::shared_ptr<Waitable> WaitableFor(HANDLE handle) {
    if (handle == GetCurrentThread()) return currentThreadObject;
    return LookupHandleAs<Waitable>(handle);
}
}  // namespace

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    WaitList objects;
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<Waitable> object = WaitableFor(lpHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.Add(std::move(object));
    }
    return WaitForWaitables(objects.Objects(), bWaitAll != FALSE, dwMilliseconds);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->Mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = 0;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD) {
    InitializeCriticalSection(lpCriticalSection);
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(&lpCriticalSection->Mutex);
    ++lpCriticalSection->RecursionCount;
    lpCriticalSection->OwningThread = GetCurrentThreadId();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (pthread_mutex_trylock(&lpCriticalSection->Mutex) != 0) return FALSE;
    ++lpCriticalSection->RecursionCount;
    lpCriticalSection->OwningThread = GetCurrentThreadId();
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = 0;
    pthread_mutex_unlock(&lpCriticalSection->Mutex);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(&lpCriticalSection->Mutex);
}

LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec request{static_cast<time_t>(dwMilliseconds / 1000),
                     static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

DWORD WINAPI GetCurrentThreadId(void) {
    if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(1);
    return currentThreadId;
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>();
    thread->id = nextThreadId.fetch_add(1);
    thread->suspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
    try {
        std::thread([thread, lpStartAddress, lpParameter] {
            currentThreadId = thread->id;
            currentThreadObject = thread;
            {
                std::unique_lock lock(thread->mutex);
                thread->kernelId = static_cast<pid_t>(syscall(SYS_gettid));
                thread->resumed.wait(lock, [&] { return thread->suspendCount == 0; });
                currentPriority = thread->priority;
                if (thread->priority != THREAD_PRIORITY_NORMAL)
                    ApplyPriority(thread->kernelId, thread->priority);
            }
            DWORD code = lpStartAddress(lpParameter);
            {
                std::lock_guard lock(thread->mutex);
                thread->exitCode = code;
            }
            thread->Set();
            currentThreadObject.reset();
        }).detach();
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = thread->id;
    return RegisterHandle(thread);
}

namespace {
std::shared_ptr<ThreadObject> ThreadFromHandle(HANDLE hThread) {
    if (hThread == GetCurrentThread()) return currentThreadObject;
    return LookupHandleAs<ThreadObject>(hThread);
}
}  // namespace

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto thread = ThreadFromHandle(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard lock(thread->mutex);
    DWORD previous = thread->suspendCount;
    if (previous > 0 && --thread->suspendCount == 0) thread->resumed.notify_all();
    return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = ThreadFromHandle(hThread);
    if (!thread || lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(thread->mutex);
    *lpExitCode = thread->exitCode;
    return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    if (!IsValidPriority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hThread == GetCurrentThread()) {
        currentPriority = nPriority;
        if (currentThreadObject) {
            std::lock_guard lock(currentThreadObject->mutex);
            currentThreadObject->priority = nPriority;
        }
        ApplyPriority(static_cast<pid_t>(syscall(SYS_gettid)), nPriority);
        return TRUE;
    }
    auto thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(thread->mutex);
    thread->priority = nPriority;
    if (thread->exitCode == STILL_ACTIVE) ApplyPriority(thread->kernelId, nPriority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    if (hThread == GetCurrentThread()) return currentPriority;
    auto thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard lock(thread->mutex);
    return thread->priority;
}

DWORD WINAPI timeGetTime(void) { return static_cast<DWORD>(MonotonicMs()); }

MMRESULT WINAPI timeBeginPeriod(UINT) { return TIMERR_NOERROR; }

MMRESULT WINAPI timeEndPeriod(UINT) { return TIMERR_NOERROR; }

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(MonotonicMs()); }

ULONGLONG WINAPI GetTickCount64(void) { return MonotonicMs(); }
