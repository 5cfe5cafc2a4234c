// Hidden windows and message queues: posting, cross-thread sends with and without a reply in
// time, the wake hook and the quit request.
#include <gtest/gtest.h>

#include "platform/PlatformHooks.h"
#include "windows.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr UINT kTestMessage = WM_USER + 1;
constexpr UINT kOtherMessage = WM_USER + 2;

struct Seen {
    UINT message;
    WPARAM wParam;
    DWORD thread;
};

// What the test window's procedure saw; the procedure finds it through GWLP_USERDATA.
struct Recorder {
    std::mutex mutex;
    std::vector<Seen> seen;

    std::vector<Seen> Snapshot() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (recorder != nullptr && message >= WM_USER) {
        std::lock_guard lock(recorder->mutex);
        recorder->seen.push_back({message, wParam, GetCurrentThreadId()});
        return static_cast<LRESULT>(wParam * 2);
    }
    if (message == WM_CREATE || message == WM_DESTROY) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        if (message == WM_CREATE && create->lpCreateParams != nullptr)
            *static_cast<int*>(create->lpCreateParams) += 1;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

void RegisterTestClass() {
    static const bool registered = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = RecordingProc;
        windowClass.cbWndExtra = 4;
        windowClass.lpszClassName = "k419TestWindow";
        return RegisterClassA(&windowClass) != 0;
    }();
    ASSERT_TRUE(registered);
}

// A hidden window of the calling thread with a recorder attached.
struct TestWindow {
    TestWindow() {
        RegisterTestClass();
        hwnd = CreateWindowExA(0, "K419TESTWINDOW", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                               &created);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&recorder));
    }
    ~TestWindow() {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        k419::platform::SetThreadWakeHook(nullptr);
        k419::platform::PumpPendingMessages();
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
        }
    }
    HWND hwnd = nullptr;
    int created = 0;
    Recorder recorder;
};

TEST(Windows, ClassesWindowsAndWindowData) {
    TestWindow window;
    ASSERT_NE(window.hwnd, nullptr);
    EXPECT_EQ(window.created, 1);
    EXPECT_TRUE(IsWindow(window.hwnd));

    WNDCLASSA duplicate{};
    duplicate.lpfnWndProc = RecordingProc;
    duplicate.lpszClassName = "k419testwindow";
    EXPECT_EQ(RegisterClassA(&duplicate), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    EXPECT_EQ(CreateWindowExA(0, "k419NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));

    EXPECT_EQ(SetWindowLongA(window.hwnd, 0, 0x1234), 0);
    EXPECT_EQ(GetWindowLongA(window.hwnd, 0), 0x1234);
    EXPECT_EQ(GetWindowLongA(window.hwnd, 1), 0);  // would reach past the 4 extra bytes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(GetWindowThreadProcessId(window.hwnd, nullptr), GetCurrentThreadId());

    // Only the owner thread may destroy it.
    BOOL destroyedElsewhere = TRUE;
    std::thread([&] { destroyedElsewhere = DestroyWindow(window.hwnd); }).join();
    EXPECT_FALSE(destroyedElsewhere);
    ASSERT_TRUE(DestroyWindow(window.hwnd));
    EXPECT_FALSE(IsWindow(window.hwnd));
    EXPECT_FALSE(PostMessageA(window.hwnd, kTestMessage, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(Messages, PostedMessagesKeepTheirOrderAcrossThreads) {
    TestWindow window;
    std::atomic<int> wakes{0};
    k419::platform::SetThreadWakeHook([&] { ++wakes; });
    std::thread poster([&] {
        for (WPARAM i = 0; i < 50; ++i) PostMessageA(window.hwnd, kTestMessage, i, 0);
    });
    for (WPARAM i = 50; i < 60; ++i) PostMessageA(window.hwnd, kOtherMessage, i, 0);
    poster.join();
    EXPECT_EQ(wakes.load(), 60);  // every post, from either thread, woke the owner
    EXPECT_EQ(k419::platform::PumpPendingMessages(), 60);
    std::vector<Seen> seen = window.recorder.Snapshot();
    ASSERT_EQ(seen.size(), 60u);
    WPARAM nextFromPoster = 0;
    WPARAM nextFromSelf = 50;
    for (const Seen& s : seen) {
        EXPECT_EQ(s.thread, GetCurrentThreadId());
        if (s.message == kTestMessage) {
            EXPECT_EQ(s.wParam, nextFromPoster++);
        } else {
            EXPECT_EQ(s.wParam, nextFromSelf++);
        }
    }
}

TEST(Messages, PeekFiltersIncludeBothEnds) {
    TestWindow window;
    constexpr UINT first = WM_USER + 10, last = WM_USER + 12;
    for (UINT message : {first - 1, first, first + 1, last, last + 1})
        PostMessageA(window.hwnd, message, 0, 0);
    std::vector<UINT> taken;
    MSG message;
    while (PeekMessageA(&message, nullptr, first, last, PM_REMOVE | PM_NOYIELD))
        taken.push_back(message.message);
    EXPECT_EQ(taken, (std::vector<UINT>{first, first + 1, last}));
}

TEST(Messages, SendFromAWorkerRunsOnTheOwnerThreadWhenItPumps) {
    TestWindow window;
    std::atomic<int> wakes{0};
    k419::platform::SetThreadWakeHook([&] { ++wakes; });
    std::atomic<bool> finished{false};
    LRESULT sent = 0;
    DWORD_PTR result = 0;
    std::thread worker([&] {
        sent = SendMessageTimeoutA(window.hwnd, kTestMessage, 21, 0, SMTO_BLOCK, 10000, &result);
        finished = true;
    });
    while (!finished) k419::platform::WaitForMessage(1000);
    worker.join();
    EXPECT_NE(sent, 0);
    EXPECT_EQ(result, 42u);
    EXPECT_GE(wakes.load(), 1);
    std::vector<Seen> seen = window.recorder.Snapshot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread, GetCurrentThreadId());

    // From the owner thread itself the procedure runs directly.
    EXPECT_EQ(SendMessageA(window.hwnd, kTestMessage, 5, 0), 10);
}

TEST(Messages, SendTimesOutWhenTheOwnerDoesNotPumpAndNeverRunsLater) {
    TestWindow window;
    HANDLE woken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    k419::platform::SetThreadWakeHook([&] { SetEvent(woken); });
    LRESULT sent = 1;
    DWORD error = 0;
    std::thread worker([&] {
        DWORD_PTR result = 0;
        sent = SendMessageTimeoutA(window.hwnd, kTestMessage, 1, 0, SMTO_BLOCK, 100, &result);
        error = GetLastError();
    });
    EXPECT_EQ(WaitForSingleObject(woken, 10000), WAIT_OBJECT_0);  // the hook heard of it
    worker.join();
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_TIMEOUT));
    k419::platform::PumpPendingMessages();
    EXPECT_TRUE(window.recorder.Snapshot().empty());
    CloseHandle(woken);
}

TEST(Messages, PeekRunsSentMessagesBeforeReturningPostedOnes) {
    TestWindow window;
    PostMessageA(window.hwnd, kOtherMessage, 1, 0);
    HANDLE queued = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    k419::platform::SetThreadWakeHook([&] { SetEvent(queued); });
    std::thread worker([&] { SendMessageA(window.hwnd, kTestMessage, 2, 0); });
    ASSERT_EQ(WaitForSingleObject(queued, 10000), WAIT_OBJECT_0);
    MSG message{};
    ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    worker.join();
    EXPECT_EQ(message.message, kOtherMessage);
    std::vector<Seen> seen = window.recorder.Snapshot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, kTestMessage);
    DispatchMessageA(&message);
    EXPECT_EQ(window.recorder.Snapshot().size(), 2u);
    CloseHandle(queued);
}

TEST(Messages, ThreadsSendingToEachOtherDoNotDeadlock) {
    TestWindow window;
    HWND workerWindow = nullptr;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<LRESULT> answer{0};
    std::thread worker([&] {
        TestWindow own;
        workerWindow = own.hwnd;
        SetEvent(ready);
        // While the main thread's send to this thread waits, this thread sends back.
        answer = SendMessageA(window.hwnd, kTestMessage, 3, 0);
        while (!stop) k419::platform::WaitForMessage(50);
    });
    ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
    LRESULT back = SendMessageA(workerWindow, kTestMessage, 4, 0);
    while (answer == 0) k419::platform::WaitForMessage(50);
    stop = true;
    worker.join();
    EXPECT_EQ(back, 8);
    EXPECT_EQ(answer.load(), 6);
    CloseHandle(ready);
}

TEST(Messages, SendsAndRepliesBackAndForthLoseNoWakeUp) {
    // Each send parks its sender until the reply; messages posted to the sender meanwhile
    // must not end that wait early, and no reply may be missed.
    TestWindow window;
    constexpr WPARAM Sends = 3000;
    std::atomic<DWORD> workerId{0};
    std::atomic<bool> finished{false};
    WPARAM wrong = 0;
    const DWORD mainId = GetCurrentThreadId();
    std::thread worker([&] {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_NOYIELD);  // makes its queue
        workerId = GetCurrentThreadId();
        for (WPARAM i = 1; i <= Sends; ++i) {
            DWORD_PTR result = 0;
            if (!SendMessageTimeoutA(window.hwnd, kTestMessage, i, 0, SMTO_BLOCK, 10000, &result) ||
                result != 2 * i)
                ++wrong;
        }
        finished = true;
        PostThreadMessageA(mainId, kOtherMessage, 0, 0);
    });
    std::thread poster([&] {
        while (workerId == 0) std::this_thread::yield();
        while (!finished) {
            PostThreadMessageA(workerId, kOtherMessage, 0, 0);
            std::this_thread::yield();
        }
    });
    while (!finished) k419::platform::WaitForMessage(1000);
    worker.join();
    poster.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(window.recorder.Snapshot().size(), Sends);
}

TEST(Messages, QuitRequestAndWaitForMessages) {
    TestWindow window;
    EXPECT_FALSE(k419::platform::WaitForMessage(0));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD me = GetCurrentThreadId();
    std::thread poster([&] { PostThreadMessageA(me, kOtherMessage, 7, 0); });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 10000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    poster.join();
    SetEvent(event);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1)
        << "a pending message comes first";
    MSG message{};
    ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(message.message, kOtherMessage);
    EXPECT_EQ(message.hwnd, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);

    PostQuitMessage(3);
    PostMessageA(window.hwnd, kTestMessage, 1, 0);
    EXPECT_TRUE(k419::platform::WaitForMessage(0));
    EXPECT_EQ(k419::platform::PumpPendingMessages(), 1);  // the quit request stays queued
    EXPECT_FALSE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 3u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    CloseHandle(event);
}

TEST(Messages, WindowsOfAThreadThatEndedAreGone) {
    HWND orphan = nullptr;
    std::thread([&] {
        RegisterTestClass();
        orphan = CreateWindowExA(0, "k419TestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                 nullptr);
    }).join();
    ASSERT_NE(orphan, nullptr);
    EXPECT_FALSE(IsWindow(orphan));
    DWORD_PTR result = 0;
    EXPECT_EQ(SendMessageTimeoutA(orphan, kTestMessage, 1, 0, SMTO_BLOCK, 100, &result), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace

namespace {
HANDLE replySeen = nullptr;
BOOL repliedFirst = FALSE;
BOOL repliedAgain = TRUE;

// Answers its sender early, then waits for the sender to have gone on: without the early
// answer both threads would wait for each other until the send's limit.
LRESULT CALLBACK ReplyingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kTestMessage) return DefWindowProcA(hwnd, message, wParam, lParam);
    repliedFirst = ReplyMessage(77);
    repliedAgain = ReplyMessage(78);
    WaitForSingleObject(replySeen, 10000);
    return 99;  // too late: the sender already has its answer
}
}  // namespace

TEST(Messages, ReplyMessageLetsTheSenderGoOnWhileTheProcedureRuns) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ReplyingProc;
    windowClass.lpszClassName = "k419ReplyWindow";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND hwnd = CreateWindowExA(0, "k419ReplyWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
    replySeen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReplyMessage(1));  // no sent message is running here

    std::atomic<bool> finished{false};
    DWORD_PTR result = 0;
    LRESULT sent = 0;
    std::thread worker([&] {
        sent = SendMessageTimeoutA(hwnd, kTestMessage, 0, 0, SMTO_BLOCK, 5000, &result);
        SetEvent(replySeen);
        finished = true;
    });
    const DWORD started = timeGetTime();
    while (!finished) k419::platform::WaitForMessage(1000);
    worker.join();
    EXPECT_LT(timeGetTime() - started, 4000u);  // answered, not timed out
    EXPECT_NE(sent, 0);
    EXPECT_EQ(result, 77u);
    EXPECT_TRUE(repliedFirst);
    EXPECT_FALSE(repliedAgain);
    DestroyWindow(hwnd);
    CloseHandle(replySeen);
}
