// Triggers and their delivery: avail, data, status and timer triggers, the handler lists, the
// relative reads of a delivery and the handling of lists changed by handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "DispatcherFake.h"

namespace {

std::string Take(TBaseDispatcher& d, uint32_t n) {
    std::string s(n, '\0');
    EXPECT_EQ(d.TakeInput(reinterpret_cast<uint8_t*>(s.data()), n), static_cast<int32_t>(n));
    return s;
}

std::vector<uint32_t> Messages(const Recorder& r) {
    std::vector<uint32_t> m;
    for (const Notice& n : r.Notices) m.push_back(n.Msg);
    return m;
}

// An open dispatcher with one recording method handler.
struct Fixture {
    FakeDispatcher d;
    Recorder r;
    explicit Fixture(uint32_t availLevel = 0) {
        EXPECT_EQ(d.Open(), 0);
        d.AddNotifyMethod(r.Method());
        d.SetAvailLevel(availLevel);
    }
};

TEST(DispatcherAvail, OneNotificationPerArrivalPosition) {
    Fixture f(1);
    f.r.Action = [&](const Notice& n) {
        if (n.wParam >= 13) Take(f.d, 12);
    };
    f.d.Feed(std::string(13, 'x'));
    f.d.FillDispatchBuffer();
    EXPECT_FALSE(f.d.CheckDataTriggers());  // 12 of 13 taken
    ASSERT_EQ(f.r.Notices.size(), 1u);
    EXPECT_EQ(f.r.Notices[0].Msg, TriggerAvailMsg);
    EXPECT_EQ(f.r.Notices[0].wParam, 13u);
    EXPECT_EQ(f.d.DispatchBuffer.Tail(), 12u);
    EXPECT_EQ(f.d.InputUsed(), 1u);

    f.d.ProcessDeviceEvent(EV_RXCHAR);
    f.d.PeriodicCheck();
    EXPECT_EQ(f.r.Notices.size(), 1u);
    f.d.Arrive("y");
    ASSERT_EQ(f.r.Notices.size(), 2u);
    EXPECT_EQ(f.r.Notices[1].wParam, 2u);
}

TEST(DispatcherAvail, EveryHandlerReadsTheSameBytesAndTheMostTakenLeaves) {
    struct Case {
        uint32_t first, second, tail;
    } cases[] = {{5, 5, 5}, {2, 5, 5}, {5, 0, 5}, {0, 0, 0}, {8, 3, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "," + std::to_string(c.second));
        Fixture f(1);
        Recorder other;
        f.d.AddNotifyMethod(other.Method());
        std::string seen[2];
        f.r.Action = [&](const Notice&) { seen[0] = Take(f.d, c.first); };
        other.Action = [&](const Notice&) { seen[1] = Take(f.d, c.second); };
        f.d.Arrive("01234567");
        EXPECT_EQ(seen[0], std::string("01234567").substr(0, c.first));
        EXPECT_EQ(seen[1], std::string("01234567").substr(0, c.second));
        EXPECT_EQ(f.d.DispatchBuffer.Tail(), c.tail);
        EXPECT_EQ(f.d.InputUsed(), 8 - c.tail);
    }
}

TEST(DispatcherData, MatchesAreFoundWhereTheyComplete) {
    struct Case {
        const char* text;
        bool ignoreCase;
        const char* input;
        std::vector<size_t> at;  // input positions that complete a match
    } cases[] = {
        {"AB", false, "AAB", {2}},
        {"AB", false, "ABAB", {1, 3}},
        {"AAB", false, "AAAB", {3}},
        {"AA", false, "AAA", {1, 2}},
        {"AA", false, "AAAA", {1, 2}},  // a completion clears every slot
        {"ABA", false, "AABABA", {3, 5}},
        {"OK", true, "ok", {1}},
        {"ok", true, "xOkx", {2}},
        // ASCII letters fold, a UTF-8 letter matches as it stands, whatever the code page
        {"ok\xc3\xa9", true, "OK\xc3\xa9", {3}},
        {"ok\xc3\xa9", true, "ok\xc3\x89", {}},
        {"AB", false, "ab", {}},
        {"ABC", false, "ABABC", {4}},
        {"\r\n", false, "a\r\r\nb", {3}},
        {"1234567890123456789012", false, "01234567890123456789012", {22}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + c.input);
        Fixture f;
        int32_t handle = f.d.AddDataTrigger(c.text, c.ignoreCase);
        ASSERT_GT(handle, 0);
        std::vector<size_t> at;
        for (size_t i = 0; c.input[i]; ++i) {
            size_t before = f.r.Notices.size();
            f.d.Arrive(std::string(1, c.input[i]));
            if (f.r.Notices.size() != before) at.push_back(i);
        }
        EXPECT_EQ(at, c.at);
        for (const Notice& n : f.r.Notices) {
            EXPECT_EQ(n.Msg, TriggerDataMsg);
            EXPECT_EQ(n.wParam, static_cast<uint32_t>(handle));
            EXPECT_EQ(n.lParam & 0xFFFF, static_cast<int32_t>(std::strlen(c.text)));
        }
        // The same bytes in one read give the same count.
        Fixture g;
        g.d.AddDataTrigger(c.text, c.ignoreCase);
        g.d.Arrive(c.input);
        EXPECT_EQ(g.r.Notices.size(), c.at.size());
    }
}

TEST(DispatcherData, BytesAheadOfAMatchAreAnnouncedFirst) {
    for (bool takeThem : {true, false}) {
        SCOPED_TRACE(takeThem);
        Fixture f(1);
        int32_t x = f.d.AddDataTrigger("X", false);
        f.r.Action = [&](const Notice& n) {
            if (n.Msg == TriggerAvailMsg && takeThem) Take(f.d, n.wParam);
        };
        f.d.Arrive("abcX");
        ASSERT_GE(f.r.Notices.size(), 1u);
        EXPECT_EQ(f.r.Notices[0].Msg, TriggerAvailMsg);
        EXPECT_EQ(f.r.Notices[0].wParam, 3u);
        if (takeThem) {
            ASSERT_EQ(f.r.Notices.size(), 3u);
            EXPECT_EQ(f.r.Notices[1].Msg, TriggerDataMsg);
            EXPECT_EQ(f.r.Notices[1].wParam, static_cast<uint32_t>(x));
            EXPECT_EQ(f.r.Notices[2].wParam, 1u);  // the matched byte itself
        } else {
            EXPECT_EQ(f.r.Notices.size(), 1u);
            f.d.Arrive("y");
            EXPECT_EQ(Messages(f.r),
                      (std::vector<uint32_t>{TriggerAvailMsg, TriggerDataMsg, TriggerAvailMsg}));
            EXPECT_EQ(f.r.Notices[2].wParam, 5u);
        }
    }
}

TEST(DispatcherData, MatchesInBytesAHandlerTookAreNotifiedBeforeTheFillReusesThem) {
    // The usual avail handler takes everything waiting, also bytes behind a match that the
    // matchers have not seen yet; more than the buffer holds arrives at once.
    Fixture f(1);
    int32_t ab = f.d.AddDataTrigger("AB", false);
    f.r.Action = [&](const Notice& n) {
        if (n.Msg == TriggerAvailMsg) Take(f.d, f.d.InputUsed());
    };
    std::string burst = "cAB";
    for (int i = 0; i < 2000; ++i) burst += "AB";
    f.d.Arrive(burst + std::string(9000, 'x'));
    EXPECT_EQ(f.d.DriverCount(), 0u);
    const auto matches =
        std::count_if(f.r.Notices.begin(), f.r.Notices.end(), [&](const Notice& n) {
            return n.Msg == TriggerDataMsg && n.wParam == static_cast<uint32_t>(ab);
        });
    EXPECT_EQ(matches, 2001);
}

TEST(DispatcherData, AByteIsFedToTheMatchersOnlyOnce) {
    // "cAB": AB completes at B with one byte ahead, so the avail goes first; the B must not
    // then complete "BB" when the scan comes back to it.
    Fixture f(1);
    int32_t ab = f.d.AddDataTrigger("AB", false);
    f.d.AddDataTrigger("BB", false);
    f.d.Arrive("cAB");
    f.d.Arrive("x");
    std::vector<uint32_t> handles;
    for (const Notice& n : f.r.Notices)
        if (n.Msg == TriggerDataMsg) handles.push_back(n.wParam);
    EXPECT_EQ(handles, std::vector<uint32_t>{static_cast<uint32_t>(ab)});
}

TEST(DispatcherData, TriggersCompletingOnOneByteAreNotifiedLastFirst) {
    Fixture f;
    int32_t b = f.d.AddDataTrigger("B", false);
    int32_t ab = f.d.AddDataTrigger("AB", false);
    f.d.Arrive("AB");
    ASSERT_EQ(f.r.Notices.size(), 2u);
    EXPECT_EQ(f.r.Notices[0].wParam, static_cast<uint32_t>(ab));
    EXPECT_EQ(f.r.Notices[0].lParam & 0xFFFF, 2);
    EXPECT_EQ(f.r.Notices[1].wParam, static_cast<uint32_t>(b));
}

TEST(DispatcherData, AFlushResetsPartialMatches) {
    Fixture f;
    f.d.AddDataTrigger("AB", false);
    f.d.Arrive("A");
    f.d.FlushInput();
    f.d.Arrive("B");
    EXPECT_TRUE(f.r.Notices.empty());
}

std::string Pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i * 7 + i / 251));
    return s;
}

TEST(DispatcherRefill, WhatTheDeviceStillHoldsIsReadAsHandlersMakeRoomUpToABound) {
    // More than the dispatch buffer holds arrives with one receive event. Each delivery empties
    // the buffer; the rest follows at once, in order, for as many rounds as the bound allows,
    // and the remainder with the next event.
    const uint32_t total = (ReceiveRounds + 1) * DispatchBufferSize;
    const std::string data = Pattern(total + 10);
    Fixture f(1);
    std::string got;
    f.r.Action = [&](const Notice& n) {
        if (n.Msg == TriggerAvailMsg) got += Take(f.d, n.wParam);
    };
    f.d.Feed(data);
    f.d.ProcessDeviceEvent(EV_RXCHAR);
    EXPECT_EQ(f.r.Notices.size(), ReceiveRounds);
    EXPECT_EQ(got.size(), ReceiveRounds * DispatchBufferSize);
    EXPECT_EQ(f.d.DriverCount(), DispatchBufferSize + 10);
    f.d.ProcessDeviceEvent(EV_RXCHAR);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);

    // A handler that leaves the bytes ends the rounds: nothing more is read or announced.
    Fixture idle(1);
    idle.d.Feed(std::string(DispatchBufferSize + 100, 'x'));
    idle.d.ProcessDeviceEvent(EV_RXCHAR);
    EXPECT_EQ(idle.r.Notices.size(), 1u);
    EXPECT_EQ(idle.d.DriverCount(), 100u);
}

TEST(DispatcherRefill, AFullBufferAnnouncedToNobodyIsAnnouncedWhenARecipientComes) {
    // The component's open switches delivery on before it registers its window. A stream
    // that fills the buffer meanwhile was announced to nobody, and a full buffer has no later
    // arrival that would announce it.
    for (bool byProcedure : {false, true}) {
        SCOPED_TRACE(byProcedure);
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        int wakes = 0;
        d.WakeForPeriodicCheck = [&] { ++wakes; };
        d.SetAvailLevel(1);
        d.SetDeliveryMode(1);
        d.Arrive(std::string(DispatchBufferSize + 50, 'x'));
        EXPECT_EQ(d.InputUsed(), DispatchBufferSize);

        static std::vector<uint32_t> announced;
        static TBaseDispatcher* target;
        announced.clear();
        target = &d;
        auto takeAll = [](uint32_t msg, uint32_t wParam, int32_t) {
            if (msg != TriggerAvailMsg) return;
            announced.push_back(wParam);
            std::string s(wParam, '\0');
            target->TakeInput(reinterpret_cast<uint8_t*>(s.data()), wParam);
        };
        Recorder r;
        r.Action = [&](const Notice& n) { takeAll(n.Msg, n.wParam, 0); };
        if (byProcedure)
            d.AddNotifyProc(takeAll);
        else
            d.AddNotifyMethod(r.Method());
        EXPECT_EQ(wakes, 1);
        d.RecheckReceivedData();
        EXPECT_EQ(announced, (std::vector<uint32_t>{DispatchBufferSize, 50}));
        EXPECT_EQ(d.InputUsed(), 0u);
        EXPECT_EQ(d.DriverCount(), 0u);
        // Asked once, done once; and what was heard is not announced again to a newcomer.
        d.RecheckReceivedData();
        d.Arrive("abc");
        EXPECT_EQ(announced.size(), 3u);
        Recorder late;
        d.AddNotifyMethod(late.Method());
        d.RecheckReceivedData();
        EXPECT_EQ(announced.size(), 3u);
        EXPECT_TRUE(late.Notices.empty());
    }
}

TEST(DispatcherRefill, TakingFromAFullBufferOutsideADeliveryFetchesWhatTheDeviceHeld) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    int wakes = 0;
    d.WakeForPeriodicCheck = [&] { ++wakes; };
    const std::string data = Pattern(DispatchBufferSize + 300);
    d.Arrive(data);
    ASSERT_EQ(d.DriverCount(), 300u);
    std::string got = Take(d, 100);
    EXPECT_EQ(wakes, 1);
    got += Take(d, 100);
    EXPECT_EQ(wakes, 1);  // the buffer was no longer full
    d.RecheckReceivedData();
    EXPECT_EQ(d.DriverCount(), 100u);  // as much as there was room for
    got += Take(d, static_cast<uint32_t>(d.InputUsed()));
    EXPECT_EQ(wakes, 2);
    d.RecheckReceivedData();
    EXPECT_EQ(d.DriverCount(), 0u);
    got += Take(d, static_cast<uint32_t>(d.InputUsed()));
    EXPECT_TRUE(got == data);
}

TEST(DispatcherRefill, TakingFromAFullBufferInsideATimerDeliveryFetchesWhatTheDeviceHeld) {
    Fixture f;
    int wakes = 0;
    f.d.WakeForPeriodicCheck = [&] { ++wakes; };
    f.d.Arrive(Pattern(DispatchBufferSize + 300));
    const int32_t timer = f.d.AddTimerTrigger();
    ASSERT_EQ(f.d.SetTimerTrigger(timer, 1, true), 0);
    f.r.Action = [&](const Notice& n) {
        if (n.Msg == TriggerTimerMsg) Take(f.d, 100);
    };
    const int wakesBefore = wakes;
    f.d.Now = 1000;
    f.d.PeriodicCheck();
    ASSERT_EQ(f.r.Notices.size(), 1u);
    EXPECT_EQ(wakes, wakesBefore + 1);
    f.d.RecheckReceivedData();  // what the woken dispatch thread does
    EXPECT_EQ(f.d.DriverCount(), 200u);
    EXPECT_EQ(f.d.InputUsed(), DispatchBufferSize);
}

TEST(DispatcherDelivery, LParamCarriesTheTableSlotAndTheData) {
    ASSERT_TRUE(DispatcherTable().empty());
    FakeDispatcher first, second;
    Fixture f;
    ASSERT_EQ(f.d.DispatcherIndex, 2);
    f.d.AddDataTrigger("HELLO", false);
    f.d.Arrive("HELLO");
    ASSERT_EQ(f.r.Notices.size(), 1u);
    EXPECT_EQ(f.r.Notices[0].lParam, 0x00020005);
}

TEST(DispatcherDelivery, HandlersRemovedDuringADeliveryAreSkippedAndPurgedAfterwards) {
    Fixture f(1);
    Recorder second, third;
    f.r.Action = [&](const Notice&) { EXPECT_EQ(f.d.RemoveNotifyMethod(f.r.Method()), 0); };
    second.Action = [&](const Notice&) { f.d.RemoveNotifyMethod(third.Method()); };
    f.d.AddNotifyMethod(second.Method());
    f.d.AddNotifyMethod(third.Method());
    f.d.Arrive("a");
    EXPECT_EQ(f.r.Notices.size(), 1u);
    EXPECT_EQ(second.Notices.size(), 1u);
    EXPECT_TRUE(third.Notices.empty());
    EXPECT_EQ(f.d.NotifyMethods.size(), 1u);
    EXPECT_TRUE(f.d.DeliveryOn);

    second.Action = [&](const Notice&) { f.d.RemoveNotifyMethod(second.Method()); };
    f.d.Arrive("b");
    f.d.Arrive("c");
    EXPECT_EQ(second.Notices.size(), 2u);
    EXPECT_TRUE(f.d.NotifyMethods.empty());
    EXPECT_FALSE(f.d.DeliveryOn);
    EXPECT_EQ(f.d.RemoveNotifyMethod(second.Method()), ecBadArgument);
}

TEST(DispatcherDelivery, ATriggerRemovedByAHandlerIsNotNotifiedAgain) {
    Fixture f;
    int32_t b = f.d.AddDataTrigger("B", false);
    int32_t ab = f.d.AddDataTrigger("AB", false);
    f.r.Action = [&](const Notice& n) {
        if (n.wParam == static_cast<uint32_t>(ab)) {
            EXPECT_EQ(f.d.RemoveTrigger(b), 0);
            EXPECT_EQ(f.d.DataTriggers.size(), 2u);  // only marked while delivering
        }
    };
    f.d.Arrive("AB");
    ASSERT_EQ(f.r.Notices.size(), 1u);
    EXPECT_EQ(f.d.DataTriggers.size(), 1u);
    EXPECT_EQ(f.d.RemoveTrigger(b), ecBadTriggerHandle);
}

TEST(DispatcherDelivery, ProceduresRunAfterMethodsAndSynchronisedMethodsGoThroughSyncCall) {
    static std::vector<uint32_t> procCalls;
    procCalls.clear();
    Fixture f(1);
    Recorder synced;
    int syncCalls = 0;
    f.d.SyncCall = [&](uint32_t m, uint32_t w, int32_t l, const TNotifyMethod& h) {
        ++syncCalls;
        h(m, w, l);
    };
    f.d.AddNotifyMethod(synced.Method(), true);
    TNotifyProc proc = [](uint32_t msg, uint32_t, int32_t) { procCalls.push_back(msg); };
    f.d.AddNotifyProc(proc);
    f.d.Arrive("a");
    EXPECT_EQ(syncCalls, 1);
    EXPECT_EQ(f.r.Notices.size(), 1u);
    EXPECT_EQ(synced.Notices.size(), 1u);
    EXPECT_EQ(procCalls, std::vector<uint32_t>{TriggerAvailMsg});
    EXPECT_EQ(f.d.RemoveNotifyProc(proc), 0);
    EXPECT_EQ(f.d.RemoveNotifyProc(proc), ecBadArgument);
}

TEST(DispatcherDelivery, DeliveryModeFollowsHandlersAndTheComponentsInterest) {
    struct Case {
        int windows;
        bool proc;
        std::vector<int32_t> modes;
        bool on, assigned;
    } cases[] = {
        {1, false, {}, true, false},    // registering a window switches delivery on
        {1, false, {2}, false, false},  // the component's window alone, no events
        {2, false, {2}, true, false},     {1, true, {2}, true, false},
        {1, false, {1}, true, true},      {1, false, {1, 0}, true, true},
        {1, false, {2, 7}, false, false}, {0, false, {0}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.windows * 10 + c.proc);
        FakeDispatcher d;
        for (int i = 0; i < c.windows; ++i) d.AddNotifyWindow(reinterpret_cast<HWND>(0x100 + i));
        if (c.proc) d.AddNotifyProc([](uint32_t, uint32_t, int32_t) {});
        for (int32_t m : c.modes) d.SetDeliveryMode(m);
        EXPECT_EQ(d.DeliveryOn, c.on);
        EXPECT_EQ(d.EventsAssigned, c.assigned);
    }
}

TEST(DispatcherDelivery, WithDeliveryOffEveryNotificationCountsAsDelivered) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.AddNotifyWindow(reinterpret_cast<HWND>(0x100));
    d.SetDeliveryMode(2);
    d.Feed("abc");
    d.FillDispatchBuffer();
    EXPECT_TRUE(d.DeliverNotification(TriggerAvailMsg, 3, 0));
    EXPECT_FALSE(d.InNotification);
    EXPECT_EQ(d.InputUsed(), 3u);
    d.RemoveNotifyWindow(reinterpret_cast<HWND>(0x100));
    EXPECT_TRUE(d.NotifyWindows.empty());
}

// What the test window was sent, and the dispatcher its procedure reads from.
std::vector<Notice> windowNotices;
std::string windowRead;
TBaseDispatcher* windowTarget = nullptr;

LRESULT CALLBACK TestWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg < TriggerAvailMsg || msg > TriggerStatusMsg)
        return DefWindowProcA(window, msg, wParam, lParam);
    windowNotices.push_back({msg, static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam)});
    if (msg == TriggerAvailMsg) windowRead += Take(*windowTarget, 1);
    return 0;
}

TEST(DispatcherDelivery, WindowsAreSentNotificationsOnTheirOwnThread) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = TestWindowProc;
    windowClass.lpszClassName = "k419DispatcherTestWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    windowNotices.clear();
    windowRead.clear();

    FakeDispatcher d;
    windowTarget = &d;
    ASSERT_EQ(d.Open(), 0);
    d.AddNotifyWindow(window);
    d.SetAvailLevel(1);
    d.Arrive("ab");  // the component's window alone, and no events wanted: nothing is sent
    EXPECT_TRUE(windowNotices.empty());

    d.SetDeliveryMode(1);
    const DWORD mainThread = GetCurrentThreadId();
    std::atomic<bool> done{false};
    std::thread dispatch([&] {
        d.Arrive("cd");
        done = true;
        PostThreadMessageA(mainThread, WM_USER, 0, 0);
    });
    // Waits as a Win32 thread does; the peek runs the dispatch thread's sent message.
    while (!done) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG sent;
        PeekMessageA(&sent, nullptr, 0, 0, PM_NOREMOVE);
    }
    dispatch.join();
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    }

    ASSERT_EQ(windowNotices.size(), 1u);
    EXPECT_EQ(windowNotices[0].Msg, TriggerAvailMsg);
    EXPECT_EQ(windowNotices[0].wParam, 4u);
    EXPECT_EQ(windowNotices[0].lParam, d.DispatcherIndex << 16);
    EXPECT_EQ(windowRead, "a");
    EXPECT_EQ(d.InputUsed(), 3u);
    d.RemoveNotifyWindow(window);
    DestroyWindow(window);
}

TEST(DispatcherStatus, StatusTriggersFireOnceWithTheirData) {
    struct Case {
        const char* what;
        int32_t kind;
        uint16_t value;
        std::function<void(FakeDispatcher&)> before, cause;
        uint32_t data;
    } cases[] = {
        {"output used, ring empty", stOutBuffUsed, 0, nullptr, nullptr, 0},
        {"output used, ring drains", stOutBuffUsed, 0,
         [](FakeDispatcher& d) { d.PutOutputByte('a'), d.PutOutputByte('b'); },
         [](FakeDispatcher& d) { d.SendFromRing(2); }, 0},
        {"output free", stOutBuffFree, 4000, [](FakeDispatcher& d) { d.PutOutputByte('a'); },
         nullptr, 4095},
        {"modem: CTS drops", stModem, 0x1010, nullptr,
         [](FakeDispatcher& d) { d.ModemLines = 0, d.ProcessDeviceEvent(EV_CTS); }, 0},
        {"line error", stLine, 0x02, nullptr,
         [](FakeDispatcher& d) { d.PendingErrors = 0x06, d.ProcessDeviceEvent(EV_ERR); }, 0},
        {"output sent", stOutSent, 0, [](FakeDispatcher& d) { d.OutputSent = false; },
         [](FakeDispatcher& d) { d.PutOutputByte('a'); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDispatcher d;
        d.ModemLines = MS_CTS_ON;
        ASSERT_EQ(d.Open(), 0);
        Recorder r;
        d.AddNotifyMethod(r.Method());
        int32_t handle = d.AddStatusTrigger(c.kind);
        ASSERT_GT(handle, 0);
        EXPECT_EQ(StatusKindOf(handle), c.kind);
        if (c.before) c.before(d);
        ASSERT_EQ(d.SetStatusTrigger(handle, c.value, true), 0);
        if (c.cause) {
            d.PeriodicCheck();
            EXPECT_TRUE(r.Notices.empty());
            c.cause(d);
        }
        d.PeriodicCheck();
        ASSERT_EQ(r.Notices.size(), 1u);
        EXPECT_EQ(r.Notices[0].Msg, TriggerStatusMsg);
        EXPECT_EQ(r.Notices[0].wParam, static_cast<uint32_t>(handle));
        EXPECT_EQ(static_cast<uint32_t>(r.Notices[0].lParam & 0xFFFF), c.data);
        d.PeriodicCheck();
        EXPECT_EQ(r.Notices.size(), 1u);  // disarmed
    }
}

TEST(DispatcherTimer, TimersFireAfterTheirTicksAlsoAcrossTheClockWrap) {
    struct Case {
        uint32_t armedAt;
        int32_t ticks;
        uint32_t notYet, due;
    } cases[] = {
        {55 * 100, 2, 55 * 102 + 54, 55 * 103},
        {0xFFFFFFFFu - 55, 3, 55 * 1, 55 * 2},  // armed at tick 78090313, the clock wraps
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.armedAt);
        Fixture f;
        f.d.Now = c.armedAt;
        int32_t handle = f.d.AddTimerTrigger();
        ASSERT_EQ(f.d.SetTimerTrigger(handle, c.ticks, true), 0);
        f.d.Now = c.notYet;
        f.d.PeriodicCheck();
        EXPECT_TRUE(f.r.Notices.empty());
        f.d.Now = c.due;
        f.d.PeriodicCheck();
        f.d.PeriodicCheck();
        ASSERT_EQ(f.r.Notices.size(), 1u);
        EXPECT_EQ(f.r.Notices[0].Msg, TriggerTimerMsg);
        EXPECT_EQ(f.r.Notices[0].wParam, static_cast<uint32_t>(handle));
    }
}

TEST(DispatcherTriggers, TriggerRecordsAreCheckedAndFilledAsTheChecksExpectThem) {
    FakeDispatcher d;
    EXPECT_EQ(d.AddDataTrigger("", false), ecBadArgument);
    EXPECT_EQ(d.AddDataTrigger(std::string(23, 'a').c_str(), false), ecTriggerTooLong);
    EXPECT_GT(d.AddDataTrigger(std::string(22, 'a').c_str(), false), 0);
    int32_t ok = d.AddDataTrigger("ok\xc3\xa9", true);
    EXPECT_STREQ(d.DataTriggers.back().Text, "OK\xc3\xa9");
    EXPECT_EQ(d.AddStatusTrigger(0), ecBadArgument);
    EXPECT_EQ(d.AddStatusTrigger(6), ecBadArgument);
    int32_t status = d.AddStatusTrigger(stOutSent);
    int32_t timer = d.AddTimerTrigger();
    EXPECT_EQ(StatusKindOf(status), stOutSent);
    EXPECT_EQ(StatusKindOf(timer), 0);
    EXPECT_NE(ok >> 3, status >> 3);
    EXPECT_NE(timer >> 3, status >> 3);
    EXPECT_LT(status, 0x10000);
    EXPECT_EQ(d.SetTimerTrigger(status, 1, true), ecBadTriggerHandle);
    EXPECT_EQ(d.SetStatusTrigger(timer, 1, true), ecBadTriggerHandle);
    EXPECT_EQ(d.RemoveTrigger(0), ecBadTriggerHandle);
    EXPECT_EQ(d.RemoveTrigger(timer), 0);
    EXPECT_EQ(d.AddTimerTrigger(), timer);  // the freed number is used again
}

TEST(DispatcherTriggers, SavedTriggersComeBackIntoANewDispatcher) {
    SavedTriggerSet set;
    {
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        d.SetAvailLevel(7);
        d.AddDataTrigger("OK", true);
        d.SetTimerTrigger(d.AddTimerTrigger(), 10, true);
        d.AddStatusTrigger(stOutBuffFree);
        d.SnapshotTriggers(set);
        ASSERT_TRUE(set.Data && set.Timers && set.Status);
        EXPECT_EQ(std::memcmp(set.Data->data(), d.DataTriggers.data(), sizeof(TDataTrigger)), 0);
    }
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    EXPECT_EQ(d.AvailLevel(), 0u);
    d.ReinstateTriggers(set);
    EXPECT_EQ(d.AvailLevel(), 7u);
    ASSERT_EQ(d.DataTriggers.size(), 1u);
    EXPECT_STREQ(d.DataTriggers[0].Text, "OK");
    EXPECT_EQ(d.TimerTriggers.size(), 1u);
    EXPECT_EQ(d.TimerTriggers[0].Armed, 1);
    EXPECT_EQ(d.StatusTriggers.size(), 1u);

    FreeSavedTriggers(set);
    EXPECT_FALSE(set.Data || set.Timers || set.Status);
    d.ReinstateTriggers(set);
    EXPECT_TRUE(d.DataTriggers.empty() && d.TimerTriggers.empty() && d.StatusTriggers.empty());

    d.SetAvailLevel(3);
    d.AddDataTrigger("X", false);
    d.ClosePort();
    ASSERT_EQ(d.Open(), 0);  // every open starts without triggers
    EXPECT_EQ(d.AvailLevel(), 0u);
    EXPECT_TRUE(d.DataTriggers.empty());
}

}  // namespace
