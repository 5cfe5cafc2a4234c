// The serial port component: opening (building the dispatcher, opening the line and passing
// the configuration down), closing (also from inside a handler, where the dispatcher is
// released only after the delivery returns), moving to another port number, and telling the
// port's users of both.
#include "serial/ComPort.h"

#include <windows.h>

#include <exception>

#include "serial/CommErrors.h"
#include "serial/ComPortInternal.h"
#include "serial/Dispatcher.h"
#include "serial/PortSelection.h"
#include "serial/Win32Dispatcher.h"

using k419::comport::DeliveryWindow;
using k419::comport::Raise;

// =============================================================================================
// Open and close

void TCustomComPort::SetOpen(bool value) {
    if (value == FOpen) return;
    if (Loading()) {
        FOpen = value;
        FOpenAfterLoad = value;
        return;
    }
    if (value) {
        if (FPortState == psClosed)
            StartPort();
        else
            FReopenPending = true;
        return;
    }
    const TLifeWatch life(*this);
    std::exception_ptr failure;
    try {
        ShutPort();
    } catch (...) {
        failure = std::current_exception();
    }
    if (life.Destroyed()) {
        if (failure) std::rethrow_exception(failure);
        return;
    }
    if (FReopenPending) {
        FReopenPending = false;
        StartPort();
    }
    if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::StartPort() {
    if (FPortState != psClosed) return;
    if (FTapiMode != tmOn) ResolvePortNumber();
    FDispatcher = BuildDispatcher();
    if (!FDispatcher) Raise(ecNullApi);
    try {
        if (FTapiMode == tmOn && FDispatcher->DeviceHandle <= 0) Raise(ecNotOpenedByTapi);
        OpenLine();
        FPortState = psOpen;
        RefreshEventInterest();
        FForceApply = true;
        SetTracing(FTracing);
        SetLogging(FLogging);
        SetHWFlowOptions(FHWFlowOptions);
        SetSWFlowOptions(FSWFlowOptions);
        SetXOnChar(FXOnChar);
        SetXOffChar(FXOffChar);
        SetAvailTriggerLevel(FAvailTriggerLevel);
        SetDTR(FDTR);
        SetRTS(FRTS);
        SetUseMSRShadow(FUseMSRShadow);
        SetUseEventWord(FUseEventWord);
        SetCommNotificationLevel(FCommNotificationLevel);
        SetRS485Mode(FRS485Mode);
        FForceApply = false;
        FOpen = true;
        SetEventWindow(true);
        if (FSavedTriggersValid) {
            FSavedTriggersValid = false;
            FDispatcher->ReinstateTriggers(*FSavedTriggerSet);
        }
        NotifyPortOpened();
    } catch (...) {
        DiscardFailedOpen();
        throw;
    }
}

void TCustomComPort::DiscardFailedOpen() {
    FForceApply = false;
    try {
        if (FEventWindow) SetEventWindow(false);
    } catch (...) {
    }
    if (FDispatcher) {
        // The device layer's threads may already run: close before the dispatcher goes.
        FDispatcher->ClosePort();
        FDispatcher.reset();
    }
    FPortState = psClosed;
    FOpen = false;
}

std::unique_ptr<TBaseDispatcher> TCustomComPort::BuildDispatcher() {
    if (FDispatcherFactory) return FDispatcherFactory(*this);
    if (FDeviceLayer != dlWin32) Raise(ecNullApi);
    if (FTapiMode == tmOn)
        return std::make_unique<TTapi32Dispatcher>(
            this, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(FTapiDeviceHandle)));
    return std::make_unique<TWin32Dispatcher>(this);
}

void TCustomComPort::OpenLine() {
    const std::string name =
        FTapiMode == tmOn ? std::string() : "\\\\.\\COM" + std::to_string(FComNumber);
    int32_t rc = FDispatcher->OpenPort(name.c_str(), FBaud, FParity, FDataBits, FStopBits, FInSize,
                                       FOutSize, FDTR, FRTS);
    if (rc >= 0) return;
    if (rc == ecAccessDenied)
        rc = ecAlreadyOpen;
    else if (rc == ecFileNotFound || rc == ecPathNotFound)
        rc = ecBadId;
    Raise(rc);
}

void TCustomComPort::ResolvePortNumber() {
    if (FComNumber != 0) return;
    if (!FPromptForPort) Raise(ecNoPortSelected);
    TComSelectForm form;
    if (form.ShowModal() != mrOk) Raise(ecNoPortSelected);
    const int32_t number = form.SelectedPortNumber();
    if (number <= 0 || number > 0xFFFF) Raise(ecNoPortSelected);
    SetComNumber(static_cast<uint16_t>(number));
}

void TCustomComPort::ShutPort() {
    FOpen = false;
    if (!IsOpen()) return;
    const TLifeWatch life(*this);

    // A trace or log that cannot be written, or a port user that fails, must not leave the
    // port half closed: the close completes and the first failure is raised afterwards.
    std::exception_ptr failure;
    auto guarded = [&failure](auto&& step) {
        try {
            step();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    };
    guarded([this] { SetTracing(tlDump); });
    guarded([this] { SetLogging(tlDump); });
    // Whatever was not written is gone with the dispatcher.
    FTracing = tlOff;
    FLogging = tlOff;
    FPortState = psClosing;
    guarded([this] { NotifyPortClosing(); });
    if (life.Destroyed()) {
        if (failure) std::rethrow_exception(failure);
        return;
    }

    FDispatcher->SnapshotTriggers(*FSavedTriggerSet);
    FSavedTriggersValid = true;
    FDispatcher->ClosePort();
    TBaseDispatcher& dispatcher = *FDispatcher;
    if (dispatcher.InNotification || dispatcher.ClosePending || dispatcher.ThreadsRunning) {
        // A notification is being delivered (this close may run inside its handler): the
        // worker threads end only after it returns, and the dispatcher may not go before.
        // The window releases it once the threads have ended. When this close runs inside
        // the handler of this dispatcher's notification, the dispatch thread waits for that
        // send: answer it now, so it sees the close and ends instead of waiting out its limit.
        // Only that send: the innermost one may belong to another port, whose delivery must
        // go on waiting for its handler.
        if (dispatcher.InNotification && FEventWindow && DeliveryWindow() == FEventWindow)
            ReplyMessage(0);
        const bool posted =
            FEventWindow &&
            PostMessageA(
                FEventWindow, ReleaseDispatcherMsg, 0,
                static_cast<LPARAM>(static_cast<uint32_t>(dispatcher.DispatcherIndex) << 16));
        // Pumped messages may delete this component; its destructor then finishes the release.
        for (;;) {
            if (life.Destroyed()) {
                if (failure) std::rethrow_exception(failure);
                return;
            }
            if (posted ? !FDispatcher : !FDispatcher->ThreadsRunning) break;
            PumpOneMessage();
        }
        if (!posted) ReleaseDispatcher();
    } else {
        ReleaseDispatcher();
    }
    FPortState = psClosed;
    if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::ReleaseDispatcher() {
    if (FEventWindow) SetEventWindow(false);
    FDispatcher.reset();
}

void TCustomComPort::MoveToPort(uint16_t number) {
    FDispatcher->SnapshotTriggers(*FSavedTriggerSet);
    const TTraceLogState tracing = FTracing;
    const TTraceLogState logging = FLogging;
    const TLifeWatch life(*this);
    std::exception_ptr failure;
    try {
        ShutPort();
    } catch (...) {
        failure = std::current_exception();  // the port is closed all the same
    }
    if (life.Destroyed()) {
        if (failure) std::rethrow_exception(failure);
        return;
    }
    // The move opens the port anyway; a reopen requested during the close is part of it.
    FReopenPending = false;
    FComNumber = number;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
    if (life.Destroyed()) return;
    if (FDispatcher) FDispatcher->ReinstateTriggers(*FSavedTriggerSet);
    if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::Loaded() {
    TBaseComponent::Loaded();
    if (FOpenAfterLoad) FOpen = true;
    if (!FOpen) return;
    FOpenAfterLoad = false;
    if (FPortState != psClosed) return;
    try {
        StartPort();
    } catch (const std::exception& e) {
        FOpen = false;
        ApplicationHandleException(e);
    }
}

TBaseDispatcher* TCustomComPort::ActiveDispatcher() {
    if (!FDispatcher && !IsOpen() && !Loading() && FAutoOpen) SetOpen(true);
    return FDispatcher.get();
}

TBaseDispatcher* TCustomComPort::RequireDispatcher() {
    TBaseDispatcher* dispatcher = ActiveDispatcher();
    if (!dispatcher) throw ECommNotOpen(ecNotOpen);
    return dispatcher;
}

// =============================================================================================
// Port users

void TCustomComPort::RegisterUserWindow(HWND window) {
    if (window == nullptr) return;
    FPortUsers.push_back({window, {}, FNextUserId++});
}

void TCustomComPort::DeregisterUserWindow(HWND window) {
    std::erase_if(FPortUsers, [window](const TPortUser& user) { return user.Window == window; });
}

uint32_t TCustomComPort::RegisterUserCallback(TPortCallback callback) {
    if (!callback) return 0;
    const uint32_t id = FNextUserId++;
    FPortUsers.push_back({nullptr, std::move(callback), id});
    return id;
}

void TCustomComPort::DeregisterUserCallback(uint32_t id) {
    std::erase_if(FPortUsers,
                  [id](const TPortUser& user) { return !user.Window && user.Id == id; });
}

void TCustomComPort::NotifyPortOpened() {
    // A copy: a user may register or deregister while it is told.
    const std::vector<TPortUser> users = FPortUsers;
    for (auto user = users.rbegin(); user != users.rend(); ++user) {
        if (user->Window)
            SendMessageA(user->Window, PortOpenedMsg, 0, 0);
        else
            user->Callback(this, true);
    }
    if (FPortOpenedHandler) FPortOpenedHandler(this);
}

void TCustomComPort::NotifyPortClosing() {
    const std::vector<TPortUser> users = FPortUsers;
    for (auto user = users.rbegin(); user != users.rend(); ++user) {
        if (user->Window)
            SendMessageA(user->Window, PortClosingMsg, 0, 0);
        else
            user->Callback(this, false);
    }
    if (FPortClosingHandler) FPortClosingHandler(this);
}
