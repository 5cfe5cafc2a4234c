// Hidden windows, per-thread message queues, posted and sent messages.
#include "PlatformHooks.h"
#include "PlatformInternal.h"

#include <sched.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

using k419::platform::detail::CurrentParker;
using k419::platform::detail::Parker;
using k419::platform::detail::Waitable;

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

struct ThreadQueue;

struct SentMessage {
    enum class State { Queued, Running, Done, Failed, Abandoned };
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    State state = State::Queued;
    LRESULT result = 0;
    std::shared_ptr<ThreadQueue> sender;
};

struct ThreadQueue {
    DWORD threadId = 0;
    bool alive = true;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    // Only the owner thread waits on its queue: for new messages, and, as a sender, for the
    // reply to its own send. waitToken is the token of that wait while it lasts, else 0.
    std::shared_ptr<Parker> parker;
    uint32_t waitToken = 0;
    // Set whenever a message arrives, for MsgWaitForMultipleObjects.
    std::shared_ptr<Waitable> arrival = std::make_shared<Waitable>(true, false);
    std::function<void()> wakeHook;
    std::function<void()> toolkitHook;
    bool quitPending = false;
    int quitCode = 0;
};

struct WindowClass {
    std::string name;
    ATOM atom;
    WNDCLASSA info;
};

struct Window {
    HWND hwnd;
    WNDPROC proc;
    std::shared_ptr<ThreadQueue> owner;
    std::string className;
    HINSTANCE instance;
    LONG_PTR userData = 0;
    std::vector<BYTE> extra;
    bool destroying = false;
};

// One lock for queues, windows and classes: message traffic is light, and a single lock keeps
// sends, replies, posts and window destruction free of ordering problems.
struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
    std::vector<WindowClass> classes;
    uintptr_t nextWindow = 0x10000;
    ATOM nextAtom = 0xC000;
};

Registry& Reg() {
    static Registry* registry = new Registry;  // outlives threads that end during exit
    return *registry;
}

void ShutdownQueue(const std::shared_ptr<ThreadQueue>& queue);

struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() {
        if (queue) ShutdownQueue(queue);
    }
};

thread_local QueueHolder currentQueue;
thread_local int sendDepth = 0;
// The sent messages whose window procedures are running on this thread, innermost last.
thread_local std::vector<std::shared_ptr<SentMessage>> runningSent;
thread_local bool inToolkitHook = false;

std::shared_ptr<ThreadQueue> CurrentQueue() {
    if (!currentQueue.queue) {
        auto queue = std::make_shared<ThreadQueue>();
        queue->threadId = GetCurrentThreadId();
        queue->parker = CurrentParker();
        std::lock_guard lock(Reg().mutex);
        Reg().queues[queue->threadId] = queue;
        currentQueue.queue = queue;
    }
    return currentQueue.queue;
}

std::shared_ptr<Window> FindWindowLocked(HWND hwnd) {
    auto it = Reg().windows.find(reinterpret_cast<uintptr_t>(hwnd));
    return it == Reg().windows.end() ? nullptr : it->second;
}

// A wake-up of a queue's owner, noted under the registry lock and delivered after it: a thread
// woken under the lock would at once find it held.
struct OwnerWake {
    std::shared_ptr<Parker> parker;
    uint32_t token = 0;
    void Deliver() const {
        if (token != 0) parker->Unpark(token);
    }
};

OwnerWake WakeOf(const ThreadQueue& queue) { return {queue.parker, queue.waitToken}; }

// Waits on the caller's own queue (the registry lock held, and held again on return) until it
// is woken or the deadline passes; false on the deadline.
bool WaitOnOwnQueue(ThreadQueue& queue, Lock& lock, Clock::time_point deadline) {
    const uint32_t token = queue.parker->Prepare();
    queue.waitToken = token;
    lock.unlock();
    const bool woken = queue.parker->Park(token, deadline);
    lock.lock();
    queue.waitToken = 0;
    return woken;
}

// Wakes the owner of a queue; the lock is released before the wake hook runs, since a hook
// may take locks of its own toolkit.
void WakeQueue(const std::shared_ptr<ThreadQueue>& queue, Lock& lock) {
    std::function<void()> hook = queue->wakeHook;
    const std::shared_ptr<ThreadQueue> held = queue;  // the caller's may live in the registry
    const OwnerWake wake = WakeOf(*queue);
    lock.unlock();
    // After the unlock: the woken owner goes on at once instead of blocking on the lock. The
    // arrival is already in the queue, so an owner that looks before these wake-ups finds it.
    wake.Deliver();
    held->arrival->Set();
    if (hook) hook();
}

// Records the outcome of a sent message, under the registry lock. Returns the wake-up of its
// sender, which the caller delivers once the lock is released.
[[nodiscard]] OwnerWake FinishSent(const std::shared_ptr<SentMessage>& message,
                                   SentMessage::State state, LRESULT result) {
    // A sender that gave up waits for something else by now.
    if (message->state != SentMessage::State::Queued &&
        message->state != SentMessage::State::Running)
        return {};
    message->state = state;
    message->result = result;
    return WakeOf(*message->sender);
}

void ShutdownQueue(const std::shared_ptr<ThreadQueue>& queue) {
    std::lock_guard lock(Reg().mutex);
    queue->alive = false;
    Reg().queues.erase(queue->threadId);
    for (auto it = Reg().windows.begin(); it != Reg().windows.end();) {
        if (it->second->owner == queue) {
            it = Reg().windows.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& message : queue->sent) FinishSent(message, SentMessage::State::Failed, 0).Deliver();
    queue->sent.clear();
    queue->posted.clear();
    queue->wakeHook = nullptr;
    queue->toolkitHook = nullptr;
}

// Runs every message sent to the calling thread; returns how many ran.
int ProcessSentMessages(const std::shared_ptr<ThreadQueue>& queue) {
    int count = 0;
    Lock lock(Reg().mutex);
    while (!queue->sent.empty()) {
        std::shared_ptr<SentMessage> message = queue->sent.front();
        queue->sent.pop_front();
        std::shared_ptr<Window> window = FindWindowLocked(message->hwnd);
        if (!window) {
            FinishSent(message, SentMessage::State::Failed, 0).Deliver();
            continue;
        }
        message->state = SentMessage::State::Running;
        WNDPROC proc = window->proc;
        lock.unlock();
        LRESULT result = 0;
        ++sendDepth;
        runningSent.push_back(message);
        try {
            result = proc(message->hwnd, message->message, message->wParam, message->lParam);
        } catch (...) {
            runningSent.pop_back();
            --sendDepth;
            lock.lock();
            FinishSent(message, SentMessage::State::Done, 0).Deliver();
            throw;
        }
        runningSent.pop_back();
        --sendDepth;
        lock.lock();
        const OwnerWake wake = FinishSent(message, SentMessage::State::Done, result);
        lock.unlock();
        wake.Deliver();
        lock.lock();
        ++count;
    }
    return count;
}

void GiveToolkitATurn(const std::shared_ptr<ThreadQueue>& queue) {
    if (inToolkitHook) return;
    std::function<void()> hook;
    {
        std::lock_guard lock(Reg().mutex);
        hook = queue->toolkitHook;
    }
    if (!hook) return;
    inToolkitHook = true;
    try {
        hook();
    } catch (...) {
        inToolkitHook = false;
        throw;
    }
    inToolkitHook = false;
}

bool Matches(const MSG& message, HWND hwnd, UINT first, UINT last) {
    if (hwnd == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) {
        if (message.hwnd != nullptr) return false;
    } else if (hwnd != nullptr && message.hwnd != hwnd) {
        return false;
    }
    return (first == 0 && last == 0) || (message.message >= first && message.message <= last);
}

// Waits until a posted message or quit request is pending, running sent messages meanwhile.
bool WaitForInput(const std::shared_ptr<ThreadQueue>& queue, Clock::time_point deadline) {
    for (;;) {
        ProcessSentMessages(queue);
        Lock lock(Reg().mutex);
        if (!queue->sent.empty()) continue;
        if (!queue->posted.empty() || queue->quitPending) return true;
        if (!WaitOnOwnQueue(*queue, lock, deadline)) {
            if (!queue->sent.empty()) continue;
            return !queue->posted.empty() || queue->quitPending;
        }
    }
}

BOOL PostToQueue(const std::shared_ptr<ThreadQueue>& queue, Lock& lock, HWND hwnd, UINT message,
                 WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = timeGetTime();
    queue->posted.push_back(msg);
    WakeQueue(queue, lock);
    return TRUE;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

WindowClass* FindClassLocked(LPCSTR name) {
    for (WindowClass& windowClass : Reg().classes) {
        if (IS_INTRESOURCE(name) ? windowClass.atom == LOWORD(name)
                                 : EqualsIgnoringCase(windowClass.name, name))
            return &windowClass;
    }
    return nullptr;
}

HWND AsHwnd(uintptr_t value) { return reinterpret_cast<HWND>(value); }

}  // namespace

namespace k419::platform {

void SetThreadWakeHook(std::function<void()> hook) {
    auto queue = CurrentQueue();
    std::lock_guard lock(Reg().mutex);
    queue->wakeHook = std::move(hook);
}

void SetThreadToolkitHook(std::function<void()> hook) {
    auto queue = CurrentQueue();
    std::lock_guard lock(Reg().mutex);
    queue->toolkitHook = std::move(hook);
}

int PumpPendingMessages() {
    auto queue = CurrentQueue();
    int count = ProcessSentMessages(queue);
    size_t budget;
    {
        std::lock_guard lock(Reg().mutex);
        budget = queue->posted.size();
    }
    // Only the messages pending at the start: a procedure that posts again (a retry) must
    // not keep this call going forever.
    for (; budget > 0; --budget) {
        MSG message{};
        {
            std::lock_guard lock(Reg().mutex);
            auto it = std::find_if(queue->posted.begin(), queue->posted.end(),
                                   [](const MSG& m) { return m.message != WM_QUIT; });
            if (it == queue->posted.end()) break;
            message = *it;
            queue->posted.erase(it);
        }
        DispatchMessageA(&message);
        ++count;
        count += ProcessSentMessages(queue);
    }
    return count;
}

bool WaitForMessage(uint32_t timeoutMs) {
    auto queue = CurrentQueue();
    GiveToolkitATurn(queue);
    Clock::time_point deadline = timeoutMs == INFINITE
                                     ? Clock::time_point::max()
                                     : Clock::now() + std::chrono::milliseconds(timeoutMs);
    return WaitForInput(queue, deadline);
}

}  // namespace k419::platform

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr ||
        IS_INTRESOURCE(lpWndClass->lpszClassName) || lpWndClass->lpfnWndProc == nullptr ||
        lpWndClass->cbWndExtra < 0 || lpWndClass->cbWndExtra > 40) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard lock(Reg().mutex);
    if (FindClassLocked(lpWndClass->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    WindowClass windowClass{lpWndClass->lpszClassName, Reg().nextAtom++, *lpWndClass};
    Reg().classes.push_back(windowClass);
    Reg().classes.back().info.lpszClassName = Reg().classes.back().name.c_str();
    Reg().classes.back().info.lpszMenuName = nullptr;
    return windowClass.atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE) {
    std::lock_guard lock(Reg().mutex);
    WindowClass* windowClass = lpClassName ? FindClassLocked(lpClassName) : nullptr;
    if (!windowClass) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (auto& [value, window] : Reg().windows) {
        if (EqualsIgnoringCase(window->className, windowClass->name.c_str())) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    Reg().classes.erase(Reg().classes.begin() + (windowClass - Reg().classes.data()));
    return TRUE;
}

BOOL WINAPI GetClassInfoA(HINSTANCE, LPCSTR lpClassName, LPWNDCLASSA lpWndClass) {
    std::lock_guard lock(Reg().mutex);
    WindowClass* windowClass = lpClassName ? FindClassLocked(lpClassName) : nullptr;
    if (!windowClass || lpWndClass == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *lpWndClass = windowClass->info;
    return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
    auto owner = CurrentQueue();
    auto window = std::make_shared<Window>();
    {
        std::lock_guard lock(Reg().mutex);
        WindowClass* windowClass = lpClassName ? FindClassLocked(lpClassName) : nullptr;
        if (!windowClass) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
        window->hwnd = AsHwnd(Reg().nextWindow);
        Reg().nextWindow += 4;
        window->proc = windowClass->info.lpfnWndProc;
        window->owner = owner;
        window->className = windowClass->name;
        window->instance = hInstance;
        window->extra.assign(static_cast<size_t>(windowClass->info.cbWndExtra), 0);
        Reg().windows[reinterpret_cast<uintptr_t>(window->hwnd)] = window;
    }
    CREATESTRUCTA create{};
    create.lpCreateParams = lpParam;
    create.hInstance = hInstance;
    create.hMenu = hMenu;
    create.hwndParent = hWndParent;
    create.cy = nHeight;
    create.cx = nWidth;
    create.y = Y;
    create.x = X;
    create.style = static_cast<LONG>(dwStyle);
    create.lpszName = lpWindowName;
    create.lpszClass = window->className.c_str();
    create.dwExStyle = dwExStyle;
    LPARAM createParam = reinterpret_cast<LPARAM>(&create);
    if (!window->proc(window->hwnd, WM_NCCREATE, 0, createParam)) {
        std::lock_guard lock(Reg().mutex);
        Reg().windows.erase(reinterpret_cast<uintptr_t>(window->hwnd));
        SetLastError(ERROR_CANCELLED);
        return nullptr;
    }
    if (window->proc(window->hwnd, WM_CREATE, 0, createParam) == -1) {
        DestroyWindow(window->hwnd);
        SetLastError(ERROR_CANCELLED);
        return nullptr;
    }
    return window->hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    std::shared_ptr<Window> window;
    {
        std::lock_guard lock(Reg().mutex);
        window = FindWindowLocked(hWnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (window->owner->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (window->destroying) return TRUE;
        window->destroying = true;
    }
    WNDPROC proc;
    {
        std::lock_guard lock(Reg().mutex);
        proc = window->proc;
    }
    proc(hWnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard lock(Reg().mutex);
        proc = window->proc;
    }
    proc(hWnd, WM_NCDESTROY, 0, 0);
    std::lock_guard lock(Reg().mutex);
    Reg().windows.erase(reinterpret_cast<uintptr_t>(hWnd));
    auto& queue = *window->owner;
    std::erase_if(queue.posted, [&](const MSG& m) { return m.hwnd == hWnd; });
    for (auto it = queue.sent.begin(); it != queue.sent.end();) {
        if ((*it)->hwnd == hWnd) {
            FinishSent(*it, SentMessage::State::Failed, 0).Deliver();
            it = queue.sent.erase(it);
        } else {
            ++it;
        }
    }
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    std::lock_guard lock(Reg().mutex);
    return FindWindowLocked(hWnd) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
    switch (Msg) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        default:
            return 0;
    }
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    std::lock_guard lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    switch (nIndex) {
        case GWLP_USERDATA:
            previous = window->userData;
            window->userData = dwNewLong;
            return previous;
        case GWLP_WNDPROC:
            if (dwNewLong == 0) break;
            previous = reinterpret_cast<LONG_PTR>(window->proc);
            window->proc = reinterpret_cast<WNDPROC>(dwNewLong);
            return previous;
        default:
            if (nIndex >= 0 &&
                static_cast<size_t>(nIndex) + sizeof(LONG_PTR) <= window->extra.size()) {
                std::memcpy(&previous, window->extra.data() + nIndex, sizeof previous);
                std::memcpy(window->extra.data() + nIndex, &dwNewLong, sizeof dwNewLong);
                return previous;
            }
            break;
    }
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    std::lock_guard lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (nIndex) {
        case GWLP_USERDATA:
            return window->userData;
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->proc);
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(window->instance);
        default:
            if (nIndex >= 0 &&
                static_cast<size_t>(nIndex) + sizeof(LONG_PTR) <= window->extra.size()) {
                LONG_PTR value = 0;
                std::memcpy(&value, window->extra.data() + nIndex, sizeof value);
                return value;
            }
            break;
    }
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
    if (nIndex < 0) return static_cast<LONG>(SetWindowLongPtrA(hWnd, nIndex, dwNewLong));
    std::lock_guard lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (static_cast<size_t>(nIndex) + sizeof(LONG) > window->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG previous = 0;
    std::memcpy(&previous, window->extra.data() + nIndex, sizeof previous);
    std::memcpy(window->extra.data() + nIndex, &dwNewLong, sizeof dwNewLong);
    return previous;
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
    if (nIndex < 0) return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex));
    std::lock_guard lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (static_cast<size_t>(nIndex) + sizeof(LONG) > window->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG value = 0;
    std::memcpy(&value, window->extra.data() + nIndex, sizeof value);
    return value;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    std::lock_guard lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId) *lpdwProcessId = GetCurrentProcessId();
    return window->owner->threadId;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == nullptr) return PostThreadMessageA(GetCurrentThreadId(), Msg, wParam, lParam);
    Lock lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return PostToQueue(window->owner, lock, hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (idThread == GetCurrentThreadId()) CurrentQueue();
    Lock lock(Reg().mutex);
    auto it = Reg().queues.find(idThread);
    if (it == Reg().queues.end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return PostToQueue(it->second, lock, nullptr, Msg, wParam, lParam);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(hWnd, Msg, wParam, lParam, SMTO_NORMAL, INFINITE, &result);
    return static_cast<LRESULT>(result);
}

LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult) {
    if (lpdwResult) *lpdwResult = 0;
    auto sender = CurrentQueue();
    Lock lock(Reg().mutex);
    auto window = FindWindowLocked(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->owner == sender) {
        WNDPROC proc = window->proc;
        lock.unlock();
        LRESULT result = proc(hWnd, Msg, wParam, lParam);
        if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(result);
        return TRUE;
    }
    auto message = std::make_shared<SentMessage>();
    message->hwnd = hWnd;
    message->message = Msg;
    message->wParam = wParam;
    message->lParam = lParam;
    message->sender = sender;
    std::shared_ptr<ThreadQueue> owner = window->owner;
    owner->sent.push_back(message);
    WakeQueue(owner, lock);

    const Clock::time_point deadline = uTimeout == INFINITE
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(uTimeout);
    lock.lock();
    for (;;) {
        if (message->state == SentMessage::State::Done) {
            if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(message->result);
            return TRUE;
        }
        if (message->state == SentMessage::State::Failed) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (!(fuFlags & SMTO_BLOCK) && !sender->sent.empty()) {
            lock.unlock();
            ProcessSentMessages(sender);
            lock.lock();
            continue;
        }
        if (!WaitOnOwnQueue(*sender, lock, deadline) &&
            (message->state == SentMessage::State::Queued ||
             message->state == SentMessage::State::Running)) {
            // Withdraw a message that has not started, so it never runs against state its
            // sender may already have released; a running one finishes unobserved.
            std::erase(owner->sent, message);
            message->state = SentMessage::State::Abandoned;
            SetLastError(ERROR_TIMEOUT);
            return 0;
        }
    }
}

BOOL WINAPI InSendMessage(void) { return sendDepth > 0 ? TRUE : FALSE; }

BOOL WINAPI ReplyMessage(LRESULT lResult) {
    if (runningSent.empty()) return FALSE;
    std::shared_ptr<SentMessage> message = runningSent.back();
    Lock lock(Reg().mutex);
    if (message->state != SentMessage::State::Running) return FALSE;
    FinishSent(message, SentMessage::State::Done, lResult).Deliver();
    return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto queue = CurrentQueue();
    GiveToolkitATurn(queue);
    ProcessSentMessages(queue);
    {
        std::lock_guard lock(Reg().mutex);
        auto it = std::find_if(queue->posted.begin(), queue->posted.end(), [&](const MSG& m) {
            return Matches(m, hWnd, wMsgFilterMin, wMsgFilterMax);
        });
        if (it != queue->posted.end()) {
            *lpMsg = *it;
            if (wRemoveMsg & PM_REMOVE) queue->posted.erase(it);
            return TRUE;
        }
        bool quitWanted = (wMsgFilterMin == 0 && wMsgFilterMax == 0) ||
                          (WM_QUIT >= wMsgFilterMin && WM_QUIT <= wMsgFilterMax);
        if (queue->quitPending && quitWanted) {
            *lpMsg = MSG{};
            lpMsg->message = WM_QUIT;
            lpMsg->wParam = static_cast<WPARAM>(queue->quitCode);
            lpMsg->time = timeGetTime();
            if (wRemoveMsg & PM_REMOVE) queue->quitPending = false;
            return TRUE;
        }
    }
    // As on Win32, an empty look gives up the time slice, so a polling loop does not starve
    // the threads it waits for.
    if (!(wRemoveMsg & PM_NOYIELD)) sched_yield();
    return FALSE;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    auto queue = CurrentQueue();
    for (;;) {
        if (PeekMessageA(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, PM_REMOVE | PM_NOYIELD))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        // Wait for any new arrival (it may not match the filter; look again then).
        Lock lock(Reg().mutex);
        size_t posted = queue->posted.size();
        while (queue->sent.empty() && queue->posted.size() == posted && !queue->quitPending)
            WaitOnOwnQueue(*queue, lock, Clock::time_point::max());
    }
}

BOOL WINAPI WaitMessage(void) {
    WaitForInput(CurrentQueue(), Clock::time_point::max());
    return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (lpMsg == nullptr || lpMsg->hwnd == nullptr) return 0;
    WNDPROC proc;
    {
        std::lock_guard lock(Reg().mutex);
        auto window = FindWindowLocked(lpMsg->hwnd);
        if (!window || window->owner->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        proc = window->proc;
    }
    return proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

void WINAPI PostQuitMessage(int nExitCode) {
    auto queue = CurrentQueue();
    Lock lock(Reg().mutex);
    queue->quitPending = true;
    queue->quitCode = nExitCode;
    WakeQueue(queue, lock);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                       DWORD dwMilliseconds, DWORD) {
    if (fWaitAll || nCount >= MAXIMUM_WAIT_OBJECTS || (nCount > 0 && pHandles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto queue = CurrentQueue();
    k419::platform::detail::WaitList objects;
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = k419::platform::detail::LookupHandleAs<Waitable>(pHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.Add(std::move(object));
    }
    {
        std::lock_guard lock(Reg().mutex);
        if (!queue->sent.empty() || !queue->posted.empty() || queue->quitPending)
            return WAIT_OBJECT_0 + nCount;
        queue->arrival->Reset();  // under the lock: an arrival after this look sets it again
    }
    objects.Add(queue->arrival);
    return k419::platform::detail::WaitForWaitables(objects.Objects(), false, dwMilliseconds);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // The program's own module: resources are looked up among the embedded blobs whatever
    // module handle is given, so any stable non-null value serves.
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
}
