// Events, waits, critical sections, interlocked counters, threads and clocks.
#include <gtest/gtest.h>

#include "windows.h"

#include <thread>
#include <vector>

namespace {

struct EventSet {
    explicit EventSet(std::initializer_list<bool> manualReset) {
        for (bool manual : manualReset)
            handles.push_back(CreateEventA(nullptr, manual, FALSE, nullptr));
    }
    ~EventSet() {
        for (HANDLE handle : handles) CloseHandle(handle);
    }
    std::vector<HANDLE> handles;
};

TEST(Events, ResetModesAndInitialState) {
    struct Case {
        BOOL manual;
        BOOL initial;
        DWORD firstWait;
        DWORD secondWait;  // without anything setting it in between
    } cases[] = {
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "manual " << c.manual << " initial " << c.initial);
        HANDLE event = CreateEventA(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.firstWait);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.secondWait);
        ASSERT_TRUE(SetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        ASSERT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(Events, WaitForMultipleReportsTheIndexThatFired) {
    EventSet events({false, true, false});
    for (DWORD index = 0; index < 3; ++index) {
        SetEvent(events.handles[index]);
        EXPECT_EQ(WaitForMultipleObjects(3, events.handles.data(), FALSE, 1000),
                  WAIT_OBJECT_0 + index);
        ResetEvent(events.handles[index]);
    }
    // The lowest index wins when several are set.
    SetEvent(events.handles[2]);
    SetEvent(events.handles[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events.handles.data(), FALSE, 0), WAIT_OBJECT_0 + 1);
    ResetEvent(events.handles[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events.handles.data(), FALSE, 0), WAIT_OBJECT_0 + 2);
    // The auto-reset event was consumed by that wait.
    EXPECT_EQ(WaitForMultipleObjects(3, events.handles.data(), FALSE, 20), WAIT_TIMEOUT);
}

TEST(Events, WaitAllNeedsEverySignalAndConsumesThemTogether) {
    EventSet events({false, false});
    SetEvent(events.handles[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, events.handles.data(), TRUE, 0), WAIT_TIMEOUT);
    // The failed wait-all must not have consumed the first event.
    SetEvent(events.handles[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, events.handles.data(), TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events.handles[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events.handles[1], 0), WAIT_TIMEOUT);
}

TEST(Events, ASignalFromAnotherThreadWakesExactlyOneWaiterOfAnAutoResetEvent) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    LONG volatile woken = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) InterlockedIncrement(&woken);
            SetEvent(done);
        });
    }
    for (int i = 1; i <= 3; ++i) {
        SetEvent(event);
        ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
        EXPECT_EQ(InterlockedExchangeAdd(&woken, 0), i);
    }
    for (std::thread& waiter : waiters) waiter.join();
    CloseHandle(event);
    CloseHandle(done);
}

TEST(Events, WaitsStillWorkWhileTheirThreadEnds) {
    // A thread's own objects end in the reverse order of their making: one made before the
    // thread's first wait ends after the layer's per-thread state, and may still wait then.
    HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE answer = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD lateResult = 0;
    struct LateWaiter {
        HANDLE Arrived, Answer;
        DWORD* Result;
        ~LateWaiter() {
            SetEvent(Arrived);
            *Result = WaitForSingleObject(Answer, 10000);
        }
    };
    std::thread ending([&] {
        thread_local LateWaiter late{arrived, answer, &lateResult};
        (void)late;
        WaitForSingleObject(answer, 0);
    });
    EXPECT_EQ(WaitForSingleObject(arrived, 10000), WAIT_OBJECT_0);
    SetEvent(answer);
    ending.join();
    EXPECT_EQ(lateResult, WAIT_OBJECT_0);
    CloseHandle(arrived);
    CloseHandle(answer);
}

TEST(Events, BadHandlesFail) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    struct Case {
        const char* what;
        HANDLE handle;
    } cases[] = {{"closed", event}, {"null", nullptr}, {"invalid", INVALID_HANDLE_VALUE}};
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(c.handle, 0), WAIT_FAILED) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << c.what;
        EXPECT_FALSE(SetEvent(c.handle)) << c.what;
        EXPECT_FALSE(CloseHandle(c.handle)) << c.what;
    }
}

TEST(Events, AHandleClosedOnOneThreadFailsOnEveryThreadThatUsedIt) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE used = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL setAfterClose = TRUE;
    DWORD waitAfterClose = 0;
    DWORD error = 0;
    std::thread user([&] {
        SetEvent(event);
        SetEvent(used);
        WaitForSingleObject(closed, INFINITE);
        waitAfterClose = WaitForSingleObject(event, 0);
        setAfterClose = SetEvent(event);
        error = GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(used, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(event));
    SetEvent(closed);
    user.join();
    EXPECT_EQ(waitAfterClose, WAIT_FAILED);
    EXPECT_FALSE(setAfterClose);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(used);
    CloseHandle(closed);
}

TEST(Events, AHandleOfAnotherKindIsNoEvent) {
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);  // a thread is waitable
    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ResetEvent(thread));
    CloseHandle(thread);
}

TEST(Events, AWaitTakesAsManyObjectsAsAllowed) {
    EventSet events({});
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i)
        events.handles.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    SetEvent(events.handles.back());
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, events.handles.data(), FALSE, 0),
              static_cast<DWORD>(WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, events.handles.data(), FALSE, 0),
              WAIT_FAILED);
}

TEST(CriticalSections, AreReentrantAndExclusive) {
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    EnterCriticalSection(&lock);
    EnterCriticalSection(&lock);
    EXPECT_TRUE(TryEnterCriticalSection(&lock));
    BOOL otherGotIt = TRUE;
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&lock); }).join();
    EXPECT_FALSE(otherGotIt);
    LeaveCriticalSection(&lock);
    LeaveCriticalSection(&lock);
    LeaveCriticalSection(&lock);
    std::thread([&] {
        otherGotIt = TryEnterCriticalSection(&lock);
        if (otherGotIt) LeaveCriticalSection(&lock);
    }).join();
    EXPECT_TRUE(otherGotIt);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&lock);
                ++counter;
                LeaveCriticalSection(&lock);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&lock);
}

TEST(Interlocked, CountsAcrossThreadsAndReturnsTheNewValue) {
    LONG volatile value = 0;
    EXPECT_EQ(InterlockedIncrement(&value), 1);
    EXPECT_EQ(InterlockedDecrement(&value), 0);
    EXPECT_EQ(InterlockedDecrement(&value), -1);
    EXPECT_EQ(InterlockedExchange(&value, 5), -1);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 4), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 5), 5);
    EXPECT_EQ(value, 9);
    value = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedIncrement(&value);
                InterlockedIncrement(&value);
                InterlockedDecrement(&value);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(value, 80000);
}

struct ThreadProbe {
    DWORD seenId = 0;
    DWORD lastError = 0;
    HANDLE go = nullptr;
};

DWORD WINAPI ProbeThread(LPVOID parameter) {
    auto* probe = static_cast<ThreadProbe*>(parameter);
    if (probe->go) WaitForSingleObject(probe->go, INFINITE);
    probe->seenId = GetCurrentThreadId();
    SetLastError(1234);
    probe->lastError = GetLastError();
    return 42;
}

TEST(Threads, RunSignalTheirHandleAndKeepTheirOwnLastError) {
    ThreadProbe probe;
    probe.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    SetLastError(7);
    HANDLE thread = CreateThread(nullptr, 0, ProbeThread, &probe, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    SetEvent(probe.go);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(probe.seenId, id);
    EXPECT_EQ(probe.lastError, 1234u);
    EXPECT_EQ(GetLastError(), 7u);
    CloseHandle(thread);
    CloseHandle(probe.go);
}

TEST(Threads, SuspendedThreadStartsOnResume) {
    ThreadProbe probe;
    HANDLE thread = CreateThread(nullptr, 0, ProbeThread, &probe, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_NE(probe.seenId, 0u);
    CloseHandle(thread);
}

TEST(Threads, PriorityIsKeptAndCheckedForRange) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ThreadProbe probe;
    probe.go = go;
    HANDLE thread = CreateThread(nullptr, 0, ProbeThread, &probe, 0, nullptr);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    for (int priority :
         {THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL}) {
        EXPECT_TRUE(SetThreadPriority(thread, priority));
        EXPECT_EQ(GetThreadPriority(thread), priority);
    }
    EXPECT_FALSE(SetThreadPriority(thread, 7));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetEvent(go);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(go);
}

TEST(Clock, MillisecondClocksAdvanceWithSleep) {
    DWORD start = timeGetTime();
    DWORD ticks = GetTickCount();
    Sleep(0);
    Sleep(25);
    EXPECT_GE(static_cast<DWORD>(timeGetTime() - start), 24u);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - ticks), 24u);
}

}  // namespace
