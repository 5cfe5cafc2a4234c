// The dispatcher's notification handlers and triggers, the checks that fire them and the
// delivery of notifications.
#include "serial/Dispatcher.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t RingMask = DispatchBufferSize - 1;

// Tick values of the millisecond clock divided by 55: the tick count runs from 0 to
// 78,090,314 and then starts again at 0.
constexpr int64_t TicksPerClockWrap = 78090315;

// Handler records not marked deleted.
template <class List>
size_t LiveCount(const List& list) {
    return static_cast<size_t>(
        std::count_if(list.begin(), list.end(), [](const auto& r) { return !r.Deleted; }));
}

// Case folding for triggers that ignore case. Arriving bytes are matched one at a time, so
// only single-byte (ASCII) letters are folded, in the trigger and in the data alike: folding
// a multi-byte letter in the trigger (as CharUpperBuffA does under a UTF-8 code page) would
// make it unmatchable by bytes that are folded one by one.
char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

uint32_t LogValueOf(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

}  // namespace

bool AdvanceMatch(uint32_t (&state)[MaxTriggerLength], uint8_t ch, uint32_t length, bool ignoreCase,
                  const char* text) {
    if (ignoreCase) ch = static_cast<uint8_t>(FoldCase(static_cast<char>(ch)));
    length = std::min(length, MaxTriggerLength);
    const uint8_t first = static_cast<uint8_t>(text[0]);
    bool matched = false;
    bool started = false;
    bool examine = true;
    for (uint32_t i = 0; i < length; ++i) {
        if (examine) {
            uint32_t p = state[i];
            if (static_cast<uint8_t>(text[p]) == ch) {
                if (p == length - 1) {
                    matched = true;
                    std::fill(std::begin(state), std::end(state), 0u);
                } else {
                    state[i] = p + 1;
                }
            } else if (first == ch) {
                state[i] = 1;
                started = true;
            } else {
                state[i] = 0;
            }
        }
        if (state[i] == 1) started = true;
        // At most one new partial match starts per character: once one has, only slots with a
        // match in progress are looked at.
        if (i + 1 < length) examine = state[i + 1] != 0 || (!started && first == ch);
    }
    return matched;
}

void FreeSavedTriggers(SavedTriggerSet& set) {
    set.Timers.reset();
    set.Data.reset();
    set.Status.reset();
}

// =============================================================================================
// Handlers and triggers

bool TBaseDispatcher::AnyoneListens() const {
    if (!DeliveryOn) return false;
    const auto windows = LiveCount(NotifyWindows);
    return LiveCount(NotifyMethods) + LiveCount(NotifyProcs) +
               (windows > 1 || EventsAssigned ? windows : 0) >
           0;
}

void TBaseDispatcher::SetDeliveryMode(int32_t mode) {
    TCriticalSectionHold hold(DispatcherLock);
    const bool listened = AnyoneListens();
    const bool handlersPresent =
        LiveCount(NotifyWindows) > 1 || LiveCount(NotifyProcs) > 0 || LiveCount(NotifyMethods) > 0;
    switch (mode) {
        case 0:
            DeliveryOn = handlersPresent || EventsAssigned;
            break;
        case 1:
            EventsAssigned = true;
            DeliveryOn = true;
            break;
        case 2:
            EventsAssigned = false;
            DeliveryOn = handlersPresent;
            break;
        default:
            break;
    }
    // Bytes announced while nobody listened are announced again to the first listener: with
    // a full buffer no later arrival would.
    if (!listened && AnyoneListens()) RequestDataRecheck(true);
}

void TBaseDispatcher::AddNotifyWindow(HWND window) {
    TCriticalSectionHold hold(DispatcherLock);
    NotifyWindows.push_back({window, false});
    DeliveryOn = true;
    if (Log.LogOn()) AddLogEntry(lkTrgHdAlc, lsWindow, LogValueOf(window));
    RequestDataRecheck(true);
}

void TBaseDispatcher::RemoveNotifyWindow(HWND window) {
    TCriticalSectionHold hold(DispatcherLock);
    auto it = std::find_if(NotifyWindows.begin(), NotifyWindows.end(),
                           [window](const auto& r) { return r.Window == window && !r.Deleted; });
    if (it == NotifyWindows.end()) {
        SetDeliveryMode(0);
        return;
    }
    if (Log.LogOn()) AddLogEntry(lkTrgHdDsp, lsWindow, LogValueOf(window));
    if (InNotification) {
        it->Deleted = true;
        PurgePending = true;
    } else {
        NotifyWindows.erase(it);
    }
}

void TBaseDispatcher::AddNotifyProc(TNotifyProc proc) {
    if (!proc) return;
    TCriticalSectionHold hold(DispatcherLock);
    NotifyProcs.push_back({proc, false});
    SetDeliveryMode(0);
    RequestDataRecheck(true);
    if (Log.LogOn())
        AddLogEntry(lkTrgHdAlc, lsProcedure, LogValueOf(reinterpret_cast<const void*>(proc)));
}

int32_t TBaseDispatcher::RemoveNotifyProc(TNotifyProc proc) {
    TCriticalSectionHold hold(DispatcherLock);
    auto it = std::find_if(NotifyProcs.begin(), NotifyProcs.end(),
                           [proc](const auto& r) { return r.Proc == proc && !r.Deleted; });
    if (it == NotifyProcs.end()) return ecBadArgument;
    if (Log.LogOn())
        AddLogEntry(lkTrgHdDsp, lsProcedure, LogValueOf(reinterpret_cast<const void*>(proc)));
    if (InNotification) {
        it->Deleted = true;
        PurgePending = true;
    } else {
        NotifyProcs.erase(it);
        SetDeliveryMode(0);
    }
    return ecOK;
}

void TBaseDispatcher::AddNotifyMethod(TNotifyMethod method, bool synchronised) {
    if (!method) return;
    TCriticalSectionHold hold(DispatcherLock);
    NotifyMethods.push_back({method, false, synchronised});
    SetDeliveryMode(0);
    RequestDataRecheck(true);
    if (Log.LogOn()) AddLogEntry(lkTrgHdAlc, lsMethod, LogValueOf(method.Object));
}

int32_t TBaseDispatcher::RemoveNotifyMethod(TNotifyMethod method) {
    TCriticalSectionHold hold(DispatcherLock);
    auto it = std::find_if(NotifyMethods.begin(), NotifyMethods.end(),
                           [&method](const auto& r) { return r.Method == method && !r.Deleted; });
    if (it == NotifyMethods.end()) return ecBadArgument;
    if (Log.LogOn()) AddLogEntry(lkTrgHdDsp, lsMethod, LogValueOf(method.Object));
    if (InNotification) {
        it->Deleted = true;
        PurgePending = true;
    } else {
        NotifyMethods.erase(it);
        SetDeliveryMode(0);
    }
    return ecOK;
}

void TBaseDispatcher::PurgeDeletedRecords() {
    auto purge = [](auto& list, auto deleted) {
        for (size_t i = list.size(); i-- > 0;)
            if (deleted(list[i])) list.erase(list.begin() + static_cast<ptrdiff_t>(i));
    };
    auto marked = [](const auto& r) { return r.Deleted; };
    auto removed = [](const auto& r) { return r.Handle == 0; };
    purge(NotifyWindows, marked);
    purge(NotifyProcs, marked);
    purge(NotifyMethods, marked);
    purge(TimerTriggers, removed);
    purge(DataTriggers, removed);
    purge(StatusTriggers, removed);
}

void TBaseDispatcher::SetAvailLevel(uint32_t level) {
    TCriticalSectionHold hold(DispatcherLock);
    AvailLevelValue = level;
    if (Log.LogOn()) AddLogEntry(lkTrDatChg, lsAvailLevel, level);
}

uint32_t TBaseDispatcher::AvailLevel() {
    TCriticalSectionHold hold(DispatcherLock);
    return AvailLevelValue;
}

bool TBaseDispatcher::HandleInUse(int32_t handle) const {
    int32_t number = handle >> 3;
    auto uses = [number](const auto& list) {
        return std::any_of(list.begin(), list.end(), [number](const auto& r) {
            return r.Handle != 0 && r.Handle >> 3 == number;
        });
    };
    return uses(TimerTriggers) || uses(DataTriggers) || uses(StatusTriggers);
}

// Handles are (n << 3) | kind with the smallest free n, so they fit the 16-bit handle of the
// component's events and no two triggers share a number, whatever their kind.
int32_t TBaseDispatcher::AllocateHandle(int32_t kind) {
    for (int32_t number = 1; number < 8192; ++number) {
        int32_t handle = number << 3 | kind;
        if (!HandleInUse(handle)) return handle;
    }
    return ecNoMoreTriggers;
}

int32_t TBaseDispatcher::AddDataTrigger(const char* text, bool ignoreCase) {
    if (!text || !*text) return ecBadArgument;
    size_t length = std::strlen(text);
    if (length > MaxTriggerLength) return ecTriggerTooLong;
    TCriticalSectionHold hold(DispatcherLock);
    int32_t handle = AllocateHandle(0);
    if (handle < 0) return handle;
    TDataTrigger trigger;
    trigger.Handle = handle;
    trigger.Length = static_cast<uint32_t>(length);
    trigger.IgnoreCase = ignoreCase;
    std::memcpy(trigger.Text, text, length);
    if (ignoreCase) std::transform(trigger.Text, trigger.Text + length, trigger.Text, FoldCase);
    DataTriggers.push_back(trigger);
    if (Log.LogOn()) AddLogEntry(5, lsData, static_cast<uint32_t>(handle));
    return handle;
}

int32_t TBaseDispatcher::AddTimerTrigger() {
    TCriticalSectionHold hold(DispatcherLock);
    int32_t handle = AllocateHandle(0);
    if (handle < 0) return handle;
    TTimerTrigger trigger;
    trigger.Handle = handle;
    TimerTriggers.push_back(trigger);
    if (Log.LogOn()) AddLogEntry(5, lsTimer, static_cast<uint32_t>(handle));
    return handle;
}

int32_t TBaseDispatcher::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    TCriticalSectionHold hold(DispatcherLock);
    for (auto& trigger : TimerTriggers) {
        if (handle == 0 || trigger.Handle != handle) continue;
        trigger.Ticks = ticks;
        if (activate) {
            trigger.StartTicks = static_cast<int32_t>(Ticks());
            trigger.ExpireTicks = trigger.StartTicks + ticks;
        }
        trigger.Armed = activate;
        if (activate && WakeForPeriodicCheck) WakeForPeriodicCheck();
        return ecOK;
    }
    return ecBadTriggerHandle;
}

int32_t TBaseDispatcher::AddStatusTrigger(int32_t kind) {
    if (kind < stModem || kind > stOutSent) return ecBadArgument;
    TCriticalSectionHold hold(DispatcherLock);
    int32_t handle = AllocateHandle(kind);
    if (handle < 0) return handle;
    TStatusTrigger trigger;
    trigger.Handle = handle;
    trigger.Kind = kind;
    StatusTriggers.push_back(trigger);
    uint8_t kindByte = static_cast<uint8_t>(kind);
    if (Log.LogOn()) AddLogEntry(5, 15, static_cast<uint32_t>(handle), &kindByte, 1);
    return handle;
}

int32_t TBaseDispatcher::SetStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    TCriticalSectionHold hold(DispatcherLock);
    for (auto& trigger : StatusTriggers) {
        if (handle == 0 || trigger.Handle != handle) continue;
        trigger.Value = value;
        trigger.Armed = activate;
        trigger.Fired = 0;
        if (activate && WakeForPeriodicCheck) WakeForPeriodicCheck();
        return ecOK;
    }
    return ecBadTriggerHandle;
}

int32_t TBaseDispatcher::RemoveTrigger(int32_t handle) {
    if (handle == 0) return ecBadTriggerHandle;
    TCriticalSectionHold hold(DispatcherLock);
    // During a delivery the checks may still be walking the lists: the record only goes idle
    // and loses its handle; the end of the delivery frees it.
    auto remove = [this](auto& list, auto it, auto makeIdle) {
        if (InNotification) {
            makeIdle(*it);
            it->Handle = 0;
            PurgePending = true;
        } else {
            list.erase(it);
        }
    };
    auto byHandle = [handle](const auto& r) { return r.Handle == handle; };
    if (auto it = std::find_if(TimerTriggers.begin(), TimerTriggers.end(), byHandle);
        it != TimerTriggers.end()) {
        if (Log.LogOn()) AddLogEntry(6, lsTimer, static_cast<uint32_t>(handle));
        remove(TimerTriggers, it, [](TTimerTrigger& t) { t.Armed = 0; });
        return ecOK;
    }
    if (auto it = std::find_if(DataTriggers.begin(), DataTriggers.end(), byHandle);
        it != DataTriggers.end()) {
        if (Log.LogOn()) AddLogEntry(6, lsData, static_cast<uint32_t>(handle));
        remove(DataTriggers, it, [](TDataTrigger& t) {
            t.Length = 0;
            t.Matched = 0;
        });
        return ecOK;
    }
    if (auto it = std::find_if(StatusTriggers.begin(), StatusTriggers.end(), byHandle);
        it != StatusTriggers.end()) {
        uint8_t kindByte = static_cast<uint8_t>(it->Kind);
        if (Log.LogOn()) AddLogEntry(6, 15, static_cast<uint32_t>(handle), &kindByte, 1);
        remove(StatusTriggers, it, [](TStatusTrigger& t) {
            t.Kind = stNotActive;
            t.Armed = 0;
        });
        return ecOK;
    }
    return ecBadTriggerHandle;
}

void TBaseDispatcher::ClearAllTriggers() {
    TCriticalSectionHold hold(DispatcherLock);
    AvailLevelValue = 0;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
}

void TBaseDispatcher::SnapshotTriggers(SavedTriggerSet& set) {
    TCriticalSectionHold hold(DispatcherLock);
    FreeSavedTriggers(set);
    set.AvailLevel = AvailLevelValue;
    auto copyLive = [](const auto& list) {
        using List = std::decay_t<decltype(list)>;
        auto copy = std::make_unique<List>();
        for (const auto& record : list)
            if (record.Handle != 0) copy->push_back(record);
        return copy;
    };
    set.Timers = copyLive(TimerTriggers);
    set.Data = copyLive(DataTriggers);
    set.Status = copyLive(StatusTriggers);
}

void TBaseDispatcher::ReinstateTriggers(const SavedTriggerSet& set) {
    TCriticalSectionHold hold(DispatcherLock);
    AvailLevelValue = set.AvailLevel;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    if (set.Timers) TimerTriggers = *set.Timers;
    if (set.Data) DataTriggers = *set.Data;
    if (set.Status) StatusTriggers = *set.Status;
    if (WakeForPeriodicCheck) WakeForPeriodicCheck();
}

void TBaseDispatcher::ResetStatusMarks() {
    TCriticalSectionHold hold(DispatcherLock);
    for (size_t i = StatusTriggers.size(); i-- > 0;) StatusTriggers[i].Fired = 0;
    StatusFired = false;
}

void TBaseDispatcher::ResetDataMatches() {
    TCriticalSectionHold hold(DispatcherLock);
    for (size_t i = DataTriggers.size(); i-- > 0;)
        std::fill(std::begin(DataTriggers[i].Matches), std::end(DataTriggers[i].Matches), 0u);
}

// =============================================================================================
// Checks and delivery

bool TBaseDispatcher::RunStatusLoop() {
    while (CheckStatusTriggers())
        if (ClosePending) break;
    return !ClosePending;
}

bool TBaseDispatcher::ProcessDeviceEvent(uint32_t mask) {
    if (mask & ModemEventBits) {
        RefreshModemDeltas();
        if (!InNotification) {
            if (!RunStatusLoop()) return false;
            if (StatusFired) ResetStatusMarks();
        }
    }
    if (mask & LineEventBits) {
        RefreshLineStatus();
        if (!InNotification) {
            if (!RunStatusLoop()) return false;
            if (StatusFired) ResetStatusMarks();
        }
    }
    if (mask & ReceiveEventBit) {
        if (!ProcessReceivedData()) return false;
        if (StatusFired) ResetStatusMarks();
    }
    if (EventDoneSignal != INVALID_HANDLE_VALUE) SetEvent(EventDoneSignal);
    return true;
}

bool TBaseDispatcher::ProcessReceivedData() {
    for (uint32_t round = 1; round <= ReceiveRounds; ++round) {
        const uint64_t before = ArrivedCount;
        // The fill may reuse the room of bytes that handlers took: their matches come first.
        if (!ScanTakenBytes()) return false;
        FillDispatchBuffer();
        // Bytes this fill had no room for were announced by their event already, and no later
        // event may come for them (a full driver queue raises none). Once handlers have made
        // room they are read at once, in a further round; bytes that arrive meanwhile bring
        // an event of their own, so a fill that found room for everything ends the rounds.
        bool roomRanOut;
        {
            TCriticalSectionHold hold(InputLock);
            roomRanOut = DispatchBuffer.Full();
        }
        // A further round that reads nothing (an empty device, a full buffer) ends it; the
        // bound lets the timer and status checks in between a stream that never pauses.
        if (round > 1 && ArrivedCount == before) return true;
        if (InNotification) return true;
        if (!RunStatusLoop()) return false;
        while (CheckDataTriggers())
            if (ClosePending) break;
        if (ClosePending) return false;
        if (!roomRanOut) return true;
    }
    return true;
}

void TBaseDispatcher::RequestDataRecheck(bool reannounce) {
    if (reannounce) AvailReannounce = true;
    DataRecheckPending = true;
    if (WakeForPeriodicCheck) WakeForPeriodicCheck();
}

void TBaseDispatcher::RecheckReceivedData() {
    if (ClosePending || InNotification || !DataRecheckPending.exchange(false)) return;
    // Bytes announced while nobody could be told (the open registers its window after the
    // delivery mode) are announced again; with a full buffer no later arrival would do it.
    if (AvailReannounce.exchange(false) && AvailUnheard) AvailPostedCount = ~uint64_t{0};
    StatusFired = false;
    ProcessReceivedData();
    if (StatusFired) ResetStatusMarks();
}

void TBaseDispatcher::PeriodicCheck() {
    if (ClosePending || InNotification) return;
    StatusFired = false;
    bool again;
    do {
        again = CheckStatusTriggers();
        if (!again) again = CheckTimerTriggers();
    } while (again && !ClosePending);
    if (StatusFired) ResetStatusMarks();
}

bool TBaseDispatcher::PeriodicCheckNeeded() {
    TCriticalSectionHold hold(DispatcherLock);
    auto armed = [](const auto& trigger) { return trigger.Armed != 0; };
    return std::any_of(TimerTriggers.begin(), TimerTriggers.end(), armed) ||
           std::any_of(StatusTriggers.begin(), StatusTriggers.end(), armed);
}

TBaseDispatcher::TInputView TBaseDispatcher::ViewInput() {
    TCriticalSectionHold hold(InputLock);
    TInputView view;
    view.Buffer = DispatchBuffer.Storage();
    view.Tail = static_cast<uint32_t>(DispatchBuffer.Tail());
    view.Head = static_cast<uint32_t>(DispatchBuffer.Head());
    view.Waiting = RingCount();
    view.Relative = RelativeReads;
    view.Taken = TakenByHandler;
    view.Arrived = ArrivedCount;
    return view;
}

TBaseDispatcher::TMatchFound TBaseDispatcher::FindNextMatch(const TInputView& view,
                                                            uint64_t limit) {
    TCriticalSectionHold hold(DispatcherLock);
    TMatchFound found;
    // Bytes never examined and already overwritten cannot be examined any more.
    if (view.Arrived - ScannedCount > DispatchBufferSize) {
        ScannedCount = view.Arrived - DispatchBufferSize;
        ScanCharFed = false;
    }
    const bool anyActive = std::any_of(DataTriggers.begin(), DataTriggers.end(),
                                       [](const TDataTrigger& t) { return t.Length != 0; });
    if (!anyActive && ScannedCount < limit) {
        ScannedCount = limit;
        ScanCharFed = false;
    }
    while (ScannedCount < limit) {
        const uint32_t p = static_cast<uint32_t>(ScannedCount) & RingMask;
        const uint8_t ch = view.Buffer[p];
        bool anyMatch = false;
        uint32_t longest = 0;
        for (TDataTrigger& trigger : DataTriggers) {
            if (trigger.Length == 0) continue;
            // A byte already fed (an avail notification went out ahead of its match) must not
            // advance the partial matches a second time.
            if (!trigger.Matched && !ScanCharFed)
                trigger.Matched = AdvanceMatch(trigger.Matches, ch, trigger.Length,
                                               trigger.IgnoreCase != 0, trigger.Text)
                                      ? 0xFFFFFFFFu
                                      : 0;
            if (trigger.Matched) {
                anyMatch = true;
                longest = std::max(longest, trigger.Length);
            }
        }
        ScanCharFed = true;
        if (anyMatch) {
            found.Action = TMatchFound::Data;
            if (AvailLevelValue != 0 && AvailPostedCount != ScannedCount) {
                // Waiting bytes up to and including p; none when p was already taken.
                const uint32_t offset = (p - view.Tail) & RingMask;
                const uint32_t through = offset < view.Waiting ? offset + 1 : 0;
                found.Before =
                    int64_t{through} - (view.Relative ? int64_t{view.Taken} : 0) - longest;
                if (found.Before >= int64_t{AvailLevelValue}) {
                    found.Action = TMatchFound::Avail;
                    AvailPostedCount = ScannedCount;
                    if (Log.LogOn())
                        AddLogEntry(lkTrigger, lsAvail, static_cast<uint32_t>(found.Before));
                }
            }
            return found;
        }
        ++ScannedCount;
        ScanCharFed = false;
    }
    return found;
}

bool TBaseDispatcher::NotifyDataMatches() {
    bool result = true;
    size_t index;
    {
        TCriticalSectionHold hold(DispatcherLock);
        index = DataTriggers.size();
    }
    while (index-- > 0 && !ClosePending) {
        int32_t handle;
        uint32_t length;
        {
            TCriticalSectionHold hold(DispatcherLock);
            if (index >= DataTriggers.size()) break;
            TDataTrigger& trigger = DataTriggers[index];
            if (!trigger.Matched || trigger.Length == 0) continue;
            trigger.Matched = 0;
            handle = trigger.Handle;
            length = trigger.Length;
            if (Log.LogOn()) AddLogEntry(lkTrigger, lsData, static_cast<uint32_t>(handle));
        }
        result = DeliverNotification(TriggerDataMsg, static_cast<uint32_t>(handle),
                                     static_cast<uint16_t>(length));
    }
    ++ScannedCount;
    ScanCharFed = false;
    return result;
}

bool TBaseDispatcher::AnnounceWaiting(const TInputView& view) {
    const uint32_t n = InputUsed();
    {
        TCriticalSectionHold hold(DispatcherLock);
        if (AvailLevelValue == 0 || AvailPostedCount == view.Arrived || n < AvailLevelValue)
            return false;
        AvailPostedCount = view.Arrived;
        if (Log.LogOn()) AddLogEntry(lkTrigger, lsAvail, n);
    }
    return DeliverNotification(TriggerAvailMsg, n, 0);
}

bool TBaseDispatcher::CheckDataTriggers() { return CheckDataTriggersUpTo(~uint64_t{0}); }

bool TBaseDispatcher::CheckDataTriggersUpTo(uint64_t limit) {
    const TInputView view = ViewInput();
    if (!view.Buffer) return false;
    const TMatchFound found = FindNextMatch(view, std::min(limit, view.Arrived));
    switch (found.Action) {
        case TMatchFound::Avail:
            return DeliverNotification(TriggerAvailMsg, static_cast<uint32_t>(found.Before), 0);
        case TMatchFound::Data:
            return NotifyDataMatches();
        default:
            // Only a scan that reached the head knows what is waiting.
            return limit >= view.Arrived && AnnounceWaiting(view);
    }
}

bool TBaseDispatcher::ScanTakenBytes() {
    while (!InNotification && !ClosePending) {
        uint64_t limit;
        {
            TCriticalSectionHold hold(InputLock);
            const uint32_t waiting = RingCount();
            if (ArrivedCount - ScannedCount <= waiting) return true;
            limit = ArrivedCount - waiting;
        }
        const uint64_t scanned = ScannedCount;
        const uint64_t posted = AvailPostedCount;
        CheckDataTriggersUpTo(limit);
        if (ScannedCount == scanned && AvailPostedCount == posted) break;
    }
    return !ClosePending;
}

bool TBaseDispatcher::CheckStatusTriggers() {
    int32_t handle = 0;
    uint32_t data = 0;
    {
        TCriticalSectionHold hold(DispatcherLock);
        bool fired = false;
        for (size_t i = 0; i < StatusTriggers.size() && !fired; ++i) {
            TStatusTrigger& trigger = StatusTriggers[i];
            if (!trigger.Armed || trigger.Fired) continue;
            switch (trigger.Kind) {
                case stModem:
                    fired = ((trigger.Value & 0xFF) ^ (ModemStatusShadow & 0xFF)) &
                            (trigger.Value >> 8);
                    break;
                case stLine: {
                    uint32_t errors = LineErrors;
                    if (trigger.Value & errors) {
                        fired = true;
                        trigger.Value = static_cast<uint16_t>(errors);
                    }
                    break;
                }
                case stOutBuffFree: {
                    uint32_t n = OutputFree();
                    if (n >= trigger.Value) {
                        fired = true;
                        data = n;
                    }
                    break;
                }
                case stOutBuffUsed: {
                    uint32_t n = OutputUsed();
                    if (n <= trigger.Value) {
                        fired = true;
                        data = n;
                    }
                    break;
                }
                case stOutSent:
                    fired = OutputSent.exchange(false);
                    break;
                default:
                    break;
            }
            if (fired) {
                trigger.Armed = 0;
                trigger.Fired = 1;
                StatusFired = true;
                handle = trigger.Handle;
                if (Log.LogOn()) AddLogEntry(lkTrigger, lsStatus, static_cast<uint32_t>(handle));
            }
        }
        if (!fired) return false;
    }
    return DeliverNotification(TriggerStatusMsg, static_cast<uint32_t>(handle),
                               static_cast<uint16_t>(data));
}

bool TBaseDispatcher::CheckTimerTriggers() {
    int32_t handle = 0;
    {
        TCriticalSectionHold hold(DispatcherLock);
        const int64_t now = Ticks();
        bool expired = false;
        for (size_t i = 0; i < TimerTriggers.size() && !expired; ++i) {
            TTimerTrigger& trigger = TimerTriggers[i];
            if (!trigger.Armed) continue;
            if (now >= trigger.StartTicks) {
                expired = now > trigger.ExpireTicks;
            } else {
                // The clock has wrapped since the timer was armed: count the ticks across the
                // wrap, so that the timer fires on time rather than about 25 days late.
                int64_t elapsed = now + TicksPerClockWrap - trigger.StartTicks;
                expired = elapsed > int64_t{trigger.ExpireTicks} - trigger.StartTicks;
            }
            if (expired) {
                trigger.Armed = 0;
                handle = trigger.Handle;
                if (Log.LogOn()) AddLogEntry(lkTrigger, lsTimer, static_cast<uint32_t>(handle));
            }
        }
        if (!expired) return false;
    }
    return DeliverNotification(TriggerTimerMsg, static_cast<uint32_t>(handle), 0);
}

template <class Call>
bool TBaseDispatcher::RunHandler(Call&& call) {
    {
        TCriticalSectionHold hold(InputLock);
        TakenByHandler = 0;
    }
    try {
        call();
    } catch (...) {
        // A handler's failure is its own: the other handlers and the dispatch thread go on,
        // and the application learns of it as it does of its window handlers' failures.
        if (ReportHandlerFailure)
            ReportHandlerFailure(std::current_exception());
        else
            ApplicationHandleException(std::current_exception(), UnknownHandlerFailure);
    }
    if (ClosePending) return false;
    TCriticalSectionHold hold(InputLock);
    MostTaken = std::max(MostTaken, TakenByHandler);
    return true;
}

template <class Record, class Call>
bool TBaseDispatcher::DeliverToList(const std::vector<Record>& list, size_t count, Call&& call) {
    for (size_t i = 0; i < count; ++i) {
        Record record;
        {
            TCriticalSectionHold hold(DispatcherLock);
            if (i < list.size()) record = list[i];
        }
        if (!RunHandler([&] {
                if (!record.Deleted) call(record);
            }))
            return false;
    }
    return true;
}

bool TBaseDispatcher::BeginDelivery(uint32_t message, TDeliveryCounts& counts) {
    {
        TCriticalSectionHold hold(DispatcherLock);
        if (message == TriggerAvailMsg) AvailUnheard = !AnyoneListens();
        if (!DeliveryOn) return false;
        InNotification = true;
        counts.Methods = NotifyMethods.size();
        counts.Procs = NotifyProcs.size();
        // The component's own window hears only what the component asked for.
        counts.Windows = LiveCount(NotifyWindows) > 1 || EventsAssigned ? NotifyWindows.size() : 0;
    }
    TCriticalSectionHold hold(InputLock);
    MostTaken = 0;
    RelativeReads = message == TriggerAvailMsg || message == TriggerDataMsg;
    return true;
}

bool TBaseDispatcher::EndDelivery(uint32_t message, uint32_t wParam, bool complete) {
    bool result = complete;
    {
        TCriticalSectionHold hold(InputLock);
        if (RelativeReads) {
            RelativeReads = false;
            if (complete) {
                DispatchBuffer.Drop(MostTaken);
                if (message == TriggerAvailMsg && MostTaken != wParam) result = false;
            }
        }
        if (complete) TakenByHandler = 0;
    }
    TCriticalSectionHold hold(DispatcherLock);
    InNotification = false;
    if (PurgePending) {
        PurgeDeletedRecords();
        PurgePending = false;
        SetDeliveryMode(0);
    }
    return result;
}

bool TBaseDispatcher::DeliverNotification(uint32_t message, uint32_t wParam, uint16_t data) {
    TDeliveryCounts counts;
    if (!BeginDelivery(message, counts)) return true;
    const int32_t lParam =
        static_cast<int32_t>((static_cast<uint32_t>(DispatcherIndex) << 16) + data);
    // Each handler starts reading where the first one did; afterwards the buffer advances by
    // the most any of them took. A close stops the delivery after the current handler.
    const bool complete =
        DeliverToList(NotifyMethods, counts.Methods,
                      [&](const TNotifyMethodRecord& record) {
                          if (!record.Method) return;
                          if (record.Synchronised && SyncCall)
                              SyncCall(message, wParam, lParam, record.Method);
                          else
                              record.Method(message, wParam, lParam);
                      }) &&
        DeliverToList(NotifyProcs, counts.Procs,
                      [&](const TNotifyProcRecord& record) {
                          if (record.Proc) record.Proc(message, wParam, lParam);
                      }) &&
        DeliverToList(NotifyWindows, counts.Windows, [&](const TNotifyWindowRecord& record) {
            if (!record.Window) return;
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(record.Window, message, wParam, lParam, SMTO_BLOCK,
                                NotificationSendLimit, &answer);
        });
    return EndDelivery(message, wParam, complete);
}
