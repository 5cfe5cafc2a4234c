// The serial port component's notification window and events: the hidden window that the
// dispatcher's notifications reach on the port's thread, their routing to the component of the
// notification's dispatcher, and the raisers of the OnTrigger family of events.
#include "serial/ComPort.h"

#include <windows.h>

#include <exception>
#include <mutex>

#include "serial/CommErrors.h"
#include "serial/ComPortInternal.h"
#include "serial/Dispatcher.h"

using k419::comport::DeliveryWindow;
using k419::comport::Raise;

namespace {

constexpr const char* ComWindowClassName = "awComWindow";
// How long a deferred release waits for news before it looks at the worker threads again.
constexpr DWORD ReleaseRetryWaitMs = 10;

// The class is registered once per process and never unregistered.
bool RegisterComWindowClass(WNDPROC procedure) {
    static std::mutex mutex;
    static bool registered = false;
    std::lock_guard hold(mutex);
    if (registered) return true;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.cbWndExtra = 4;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = ComWindowClassName;
    registered = RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

// Calls a handler through a copy of it: a handler may replace itself, or delete the component
// that holds it, while it runs.
template <class Event, class... Args>
void CallEvent(const Event& event, Args... args) {
    if (!event) return;
    const Event running = event;
    running(args...);
}

void ReportHandlerFailure(const std::exception& e) {
    // Off the main thread nobody could show the message; the notification still counts as
    // handled.
    if (IsMainThread()) ApplicationHandleException(e);
}

}  // namespace

struct TCustomComPort::TEventWindowProcedure {
    static LRESULT CALLBACK Run(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    // Finds the component of the notification's dispatcher and raises its events; true when
    // a deferred release has to be tried again later.
    static bool DeliverToOwner(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
};

// =============================================================================================
// Notification window and events

void TCustomComPort::SetEventWindow(bool create) {
    if (create) {
        if (FEventWindow) return;
        if (!RegisterComWindowClass(&TEventWindowProcedure::Run)) Raise(ecNoHandles);
        HWND window = CreateWindowExA(0, ComWindowClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
        if (!window) Raise(ecNoHandles);
        FEventWindow = window;
        FDispatcher->AddNotifyWindow(window);
        return;
    }
    if (!FEventWindow) return;
    HWND window = FEventWindow;
    FEventWindow = nullptr;
    if (FDispatcher) FDispatcher->RemoveNotifyWindow(window);
    DestroyWindow(window);
}

LRESULT CALLBACK TCustomComPort::TEventWindowProcedure::Run(HWND window, UINT msg, WPARAM wParam,
                                                            LPARAM lParam) {
    switch (msg) {
        case TriggerAvailMsg:
        case TriggerDataMsg:
        case TriggerTimerMsg:
        case TriggerStatusMsg:
        case ReleaseDispatcherMsg:
        case DeviceLostMsg:
            break;
        default:
            return DefWindowProcA(window, msg, wParam, lParam);
    }
    // The dispatcher sends the trigger messages and waits; the release message is posted.
    struct TDeliveryScope {
        HWND Outer = DeliveryWindow();
        ~TDeliveryScope() { DeliveryWindow() = Outer; }
    } scope;
    DeliveryWindow() =
        msg != ReleaseDispatcherMsg && msg != DeviceLostMsg && InSendMessage() ? window : nullptr;
    if (DeliverToOwner(window, msg, wParam, lParam)) {
        // The worker threads have not ended yet. Look again later, but give their end (or
        // anything else for this thread) a moment to arrive first, so that a waiting close
        // does not spin; the table lock is not held meanwhile.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ReleaseRetryWaitMs, QS_ALLINPUT);
        PostMessageA(window, ReleaseDispatcherMsg, 0, lParam);
    }
    return 0;
}

bool TCustomComPort::TEventWindowProcedure::DeliverToOwner(HWND window, UINT msg, WPARAM wParam,
                                                           LPARAM lParam) {
    // Held through the handlers, so that no dispatcher in the table can go away meanwhile;
    // it is re-entrant, so handlers may still open and close ports.
    TCriticalSectionHold hold(DispatcherTableLock());
    const auto index = static_cast<int32_t>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
    TBaseDispatcher* dispatcher = DispatcherInSlot(index);
    if (!dispatcher || !dispatcher->Owner) return false;
    TCustomComPort* port = dispatcher->Owner->AsComPort();
    // A message for a window that no longer belongs to the slot's owner (the slot was taken
    // again after a release) is stale.
    if (!port || port->FEventWindow != window) return false;
    bool retryRelease = false;
    try {
        retryRelease = port->HandleNotification(*dispatcher, msg, wParam, lParam);
    } catch (const std::exception& e) {
        ReportHandlerFailure(e);
    } catch (...) {
        ReportHandlerFailure(Exception(UnknownHandlerFailure));
    }
    return retryRelease;
}

bool TCustomComPort::HandleNotification(TBaseDispatcher& dispatcher, uint32_t msg, uintptr_t wParam,
                                        intptr_t lParam) {
    const TLifeWatch life(*this);
    const auto handle = static_cast<uint16_t>(wParam);
    const auto data =
        msg == TriggerAvailMsg ? handle : static_cast<uint16_t>(static_cast<uint32_t>(lParam));
    if (msg == DeviceLostMsg) {
        // Not a trigger: only the owner's handler hears of it, and only for the port's current
        // dispatcher (a message still queued after a close and reopen is stale).
        if (FDispatcher.get() == &dispatcher && FDeviceLostHandler) {
            const TNotifyEvent handler = FDeviceLostHandler;
            handler(this);
        }
        return false;
    }
    if (msg == ReleaseDispatcherMsg) {
        if (FDispatcher.get() != &dispatcher) return false;
        // The worker threads end only after the delivery that started the close has returned.
        // Until then the message goes round again, unseen by the handlers, so that OnTrigger
        // hears of the release once.
        if (dispatcher.ThreadsRunning) return true;
        // The release must happen even when the handler fails, or the waiting close would
        // never return.
        std::exception_ptr failure;
        try {
            FireTrigger(static_cast<uint16_t>(msg), handle, data);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!life.Destroyed()) ReleaseDispatcher();  // else the destructor has released it
        if (failure) std::rethrow_exception(failure);
        return false;
    }
    FireTrigger(static_cast<uint16_t>(msg), handle, data);
    if (life.Destroyed()) return false;
    switch (msg) {
        case TriggerAvailMsg:
            FireTriggerAvail(handle);
            break;
        case TriggerDataMsg:
            FireTriggerData(handle);
            break;
        case TriggerTimerMsg:
            FireTriggerTimer(handle);
            break;
        case TriggerStatusMsg:
            FireTriggerStatus(handle);
            if (life.Destroyed()) return false;
            switch (StatusKindOf(handle)) {
                case stModem:
                    FireTriggerModemStatus();
                    break;
                case stLine: {
                    const bool lineBreak = LineBreakSeen();
                    FireTriggerLineError(LastLineError(), lineBreak);
                    break;
                }
                case stOutBuffFree:
                    FireTriggerOutbuffFree();
                    break;
                case stOutBuffUsed:
                    FireTriggerOutbuffUsed();
                    break;
                case stOutSent:
                    FireTriggerOutSent();
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
    return false;
}

void TCustomComPort::RefreshEventInterest() {
    if (!IsOpen()) return;
    const bool wanted = FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus ||
                        FOnTriggerTimer || FOnTriggerLineError || FOnTriggerModemStatus ||
                        FOnTriggerOutbuffFree || FOnTriggerOutbuffUsed || FOnTriggerOutSent;
    FDispatcher->SetDeliveryMode(wanted ? 1 : 2);
}

void TCustomComPort::SetOnTrigger(TTriggerEvent handler) {
    FOnTrigger = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler) {
    FOnTriggerAvail = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerData(TTriggerDataEvent handler) {
    FOnTriggerData = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent handler) {
    FOnTriggerStatus = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent handler) {
    FOnTriggerTimer = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler) {
    FOnTriggerLineError = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerModemStatus(TNotifyEvent handler) {
    FOnTriggerModemStatus = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent handler) {
    FOnTriggerOutbuffFree = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent handler) {
    FOnTriggerOutbuffUsed = std::move(handler);
    RefreshEventInterest();
}
void TCustomComPort::SetOnTriggerOutSent(TNotifyEvent handler) {
    FOnTriggerOutSent = std::move(handler);
    RefreshEventInterest();
}

void TCustomComPort::FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
    CallEvent(FOnTrigger, static_cast<TObject*>(this), Msg, TriggerHandle, Data);
}
void TCustomComPort::FireTriggerAvail(uint16_t Count) {
    CallEvent(FOnTriggerAvail, static_cast<TObject*>(this), Count);
}
void TCustomComPort::FireTriggerData(uint16_t TriggerHandle) {
    CallEvent(FOnTriggerData, static_cast<TObject*>(this), TriggerHandle);
}
void TCustomComPort::FireTriggerStatus(uint16_t TriggerHandle) {
    CallEvent(FOnTriggerStatus, static_cast<TObject*>(this), TriggerHandle);
}
void TCustomComPort::FireTriggerTimer(uint16_t TriggerHandle) {
    CallEvent(FOnTriggerTimer, static_cast<TObject*>(this), TriggerHandle);
}
void TCustomComPort::FireTriggerLineError(uint16_t Error, bool LineBreak) {
    CallEvent(FOnTriggerLineError, static_cast<TObject*>(this), Error, LineBreak);
}
void TCustomComPort::FireTriggerModemStatus() {
    CallEvent(FOnTriggerModemStatus, static_cast<TObject*>(this));
}
void TCustomComPort::FireTriggerOutbuffFree() {
    CallEvent(FOnTriggerOutbuffFree, static_cast<TObject*>(this));
}
void TCustomComPort::FireTriggerOutbuffUsed() {
    CallEvent(FOnTriggerOutbuffUsed, static_cast<TObject*>(this));
}
void TCustomComPort::FireTriggerOutSent() {
    CallEvent(FOnTriggerOutSent, static_cast<TObject*>(this));
}
void TCustomComPort::FireWaitChar(char C) {
    CallEvent(FOnWaitChar, static_cast<TObject*>(this), C);
}
