// Notification handlers and trigger records of the dispatcher, and the matching of received
// characters against a data trigger's text.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

inline constexpr uint32_t MaxTriggerLength = 22;

// Status trigger kinds; a status trigger's handle carries its kind in its low three bits.
enum : int32_t {
    stNotActive = 0,
    stModem = 1,
    stLine = 2,
    stOutBuffFree = 3,
    stOutBuffUsed = 4,
    stOutSent = 5,
};
inline int32_t StatusKindOf(int32_t handle) { return handle & 7; }

// A procedure handler: called with the message number, wParam and lParam.
using TApdNotifyProc = void (*)(uint32_t Msg, uint32_t wParam, int32_t lParam);

// A method handler: code plus the object it is called with. Two methods are the same handler
// when both parts are equal. MakeNotifyMethod<&T::Member>(object) builds one from a member
// function void T::Member(uint32_t Msg, uint32_t wParam, int32_t lParam).
struct TApdNotifyMethod {
    void (*Code)(void* Object, uint32_t Msg, uint32_t wParam, int32_t lParam) = nullptr;
    void* Object = nullptr;

    explicit operator bool() const { return Code != nullptr; }
    bool operator==(const TApdNotifyMethod&) const = default;
    void operator()(uint32_t Msg, uint32_t wParam, int32_t lParam) const {
        Code(Object, Msg, wParam, lParam);
    }
};

template <auto Member, class T>
TApdNotifyMethod MakeNotifyMethod(T* object) {
    return {
        [](void* o, uint32_t m, uint32_t w, int32_t l) { (static_cast<T*>(o)->*Member)(m, w, l); },
        object};
}

struct TNotifyWindowRecord {
    HWND Window = nullptr;
    bool Deleted = false;
};
struct TNotifyProcRecord {
    TApdNotifyProc Proc = nullptr;
    bool Deleted = false;
};
struct TNotifyMethodRecord {
    TApdNotifyMethod Method;
    bool Deleted = false;
    bool Synchronised = false;  // run on the main thread through SyncCall
};

// ---------------------------------------------------------------------------------------------
// Trigger records. They are copied whole when the component saves and restores its triggers.
// A handle of 0 marks a record removed during a delivery; it is freed when the delivery ends.

struct TTimerTrigger {
    int32_t Handle = 0;
    int32_t StartTicks = 0;   // clock / 55 ms when armed
    int32_t ExpireTicks = 0;  // StartTicks + Ticks
    int32_t Ticks = 0;        // the interval last set
    int32_t Reserved = 0;
    int32_t Armed = 0;
};
static_assert(sizeof(TTimerTrigger) == 24);

struct TDataTrigger {
    int32_t Handle = 0;
    uint32_t Length = 0;  // of Text; 0: idle
    uint32_t Matches[MaxTriggerLength] = {};
    uint32_t Matched = 0;  // all ones once the text has arrived, until it is notified
    int32_t IgnoreCase = 0;
    char Text[24] = {};  // upper case when IgnoreCase is set
};
static_assert(sizeof(TDataTrigger) == 128);

struct TStatusTrigger {
    int32_t Handle = 0;
    int32_t Kind = stNotActive;
    // stModem: high byte selects modem status bits, low byte holds the levels that do not fire;
    // stLine: line error bits; stOutBuffFree / stOutBuffUsed: the byte count threshold.
    uint16_t Value = 0;
    uint8_t Armed = 0;
    uint8_t Fired = 0;  // fired in the current sweep
};
static_assert(sizeof(TStatusTrigger) == 12);

// What the component keeps of a dispatcher's triggers between a close and the next open.
struct SavedTriggerSet {
    uint32_t AvailLevel = 0;
    std::unique_ptr<std::vector<TTimerTrigger>> Timers;
    std::unique_ptr<std::vector<TDataTrigger>> Data;
    std::unique_ptr<std::vector<TStatusTrigger>> Status;
};

// Feeds one received character to a data trigger's match state (one partial-match position
// per slot, 0 = idle). Returns true when text (length bytes, upper case when ignoreCase) has
// just been completed; then every position is reset. Overlapping occurrences are found.
bool AdvanceMatch(uint32_t (&state)[MaxTriggerLength], uint8_t ch, uint32_t length, bool ignoreCase,
                  const char* text);

// Frees the set's three lists and marks them absent.
void FreeSavedTriggers(SavedTriggerSet& set);
