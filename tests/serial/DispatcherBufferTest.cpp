// The dispatcher's open and close sequence, dispatch buffer, output ring and status shadows,
// over the scripted device layer; and the same paths with real threads on both sides.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <thread>

#include "DispatcherFake.h"

namespace {

std::string Seq(size_t n, size_t start = 0) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((start + i) % 251));
    return s;
}

std::string Take(TBaseDispatcher& d, uint32_t n) {
    std::string s(n, '\0');
    EXPECT_EQ(d.TakeInput(reinterpret_cast<uint8_t*>(s.data()), n), static_cast<int32_t>(n));
    return s;
}

int32_t Put(TBaseDispatcher& d, const std::string& s) {
    return d.PutOutput(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

TEST(DispatcherOpen, OpenSetsTheLineAndStartsTheThreadsLast) {
    FakeDispatcher d;
    d.Now = 5000;
    ASSERT_EQ(d.Open(), 0);
    EXPECT_EQ(d.StartCalls, 1);
    EXPECT_EQ(d.OpenTime, 5000u);
    EXPECT_EQ(d.Dcb.BaudRate, 9600u);
    EXPECT_EQ(d.Dcb.ByteSize, 8);
    EXPECT_EQ(d.Dcb.Parity, NOPARITY);
    EXPECT_EQ(d.Dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.CurrentBaud, 9600);
    // DTR high and RTS low, then once more after the line settings were written.
    EXPECT_EQ(d.LineCalls, (std::vector<int32_t>{SETDTR, CLRRTS, SETDTR, CLRRTS}));
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_EQ(d.OutputFree(), 4096u);
    EXPECT_EQ(d.OpenPort("COM2", 9600, 0, 8, 1, 64, 64, true, true), ecAlreadyOpen);
}

TEST(DispatcherOpen, AFailedOpenReportsTheCauseAndLeavesThePortClosed) {
    struct Case {
        const char* what;
        std::function<void(FakeDispatcher&)> inject;
        int32_t rc;
        int32_t closes;
    } cases[] = {
        {"no such device", [](FakeDispatcher& d) { d.OpenResult = -1, d.OpenError = 2; }, -2, 0},
        {"held by another", [](FakeDispatcher& d) { d.OpenResult = -1, d.OpenError = 5; }, -5, 0},
        {"own signals", [](FakeDispatcher& d) { d.OpenResult = -8, d.OpenError = 5; }, -8, 0},
        {"no reason given", [](FakeDispatcher& d) { d.OpenResult = -1; }, -1, 0},
        {"queue sizes", [](FakeDispatcher& d) { d.SizeQueuesOk = false, d.SizeQueuesError = 87; },
         -87, 1},
        {"queue sizes, no reason", [](FakeDispatcher& d) { d.SizeQueuesOk = false; }, ecMemory, 1},
        {"line settings", [](FakeDispatcher& d) { d.ApplyResult = -31; }, -31, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDispatcher d;
        c.inject(d);
        EXPECT_EQ(d.Open(), c.rc);
        EXPECT_EQ(d.CloseCalls, c.closes);
        EXPECT_EQ(d.StartCalls, 0);
        EXPECT_LT(d.DeviceHandle, 0);
        EXPECT_FALSE(d.DispatchBuffer.Allocated());
        uint8_t b;
        EXPECT_EQ(d.TakeInput(&b, 1), ecBufferIsEmpty);
        EXPECT_EQ(d.PutOutputByte('x'), ecNotOpen);
        d.Feed("abc");
        EXPECT_FALSE(d.FillDispatchBuffer());
    }
}

TEST(DispatcherBuffer, RingCountTellsAFullBufferFromAnEmptyOne) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    EXPECT_EQ(d.DispatchBuffer.Head(), d.DispatchBuffer.Tail());
    EXPECT_EQ(d.InputUsed(), 0u);

    d.Feed(Seq(9000));
    EXPECT_TRUE(d.FillDispatchBuffer());
    EXPECT_EQ(d.DispatchBuffer.Head(), d.DispatchBuffer.Tail());
    EXPECT_TRUE(d.DispatchBuffer.Full());
    EXPECT_EQ(d.InputUsed(), 8192u);
    // Nothing is overwritten: what does not fit stays in the driver, also on the next event.
    EXPECT_EQ(d.DriverCount(), 9000u - 8192u);
    EXPECT_TRUE(d.FillDispatchBuffer());
    EXPECT_EQ(d.DriverCount(), 9000u - 8192u);

    EXPECT_EQ(Take(d, 100), Seq(100));
    EXPECT_TRUE(d.FillDispatchBuffer());
    EXPECT_EQ(d.InputUsed(), 8192u);
    EXPECT_EQ(Take(d, 8192), Seq(8192, 100));
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_FALSE(d.DispatchBuffer.Full());
}

TEST(DispatcherBuffer, ReadsAcrossTheEndComeOutInOrder) {
    struct Case {
        uint32_t before;  // bytes read and taken first, moving the indices
        uint32_t tail;    // tail after taking 5 more
    } cases[] = {{8190, 3}, {8187, 0}, {0, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        d.Feed(Seq(c.before));
        d.FillDispatchBuffer();
        if (c.before) Take(d, c.before);
        d.Feed(Seq(5, 1000));
        EXPECT_TRUE(d.FillDispatchBuffer());
        EXPECT_EQ(d.InputUsed(), 5u);
        EXPECT_EQ(Take(d, 5), Seq(5, 1000));
        EXPECT_EQ(d.DispatchBuffer.Tail(), c.tail);
        EXPECT_EQ(d.DispatchBuffer.Head(), c.tail);
    }
}

TEST(DispatcherBuffer, AskingForOneByteTooManyTakesNothing) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.Feed("0123456789");
    d.FillDispatchBuffer();
    uint8_t b[16];
    EXPECT_EQ(d.TakeInput(b, 11), ecBufferIsEmpty);
    EXPECT_EQ(d.InputUsed(), 10u);
    EXPECT_EQ(d.DispatchBuffer.Tail(), 0u);
    EXPECT_EQ(d.TakeInput(b, 0), 0);

    // During a notification the reads are relative to what this handler already took.
    Recorder r;
    r.Action = [&](const Notice&) {
        uint8_t x[16];
        EXPECT_EQ(d.TakeInput(x, 4), 4);
        EXPECT_EQ(d.InputUsed(), 6u);
        EXPECT_EQ(d.TakeInput(x, 7), ecBufferIsEmpty);
        EXPECT_EQ(d.InputUsed(), 6u);
        EXPECT_EQ(d.TakeInput(x, 6), 6);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(x), 6), "456789");
        EXPECT_EQ(d.DispatchBuffer.Tail(), 0u);  // nothing leaves the buffer while handlers run
    };
    d.AddNotifyMethod(r.Method());
    d.SetAvailLevel(1);
    EXPECT_TRUE(d.CheckDataTriggers());
    ASSERT_EQ(r.Notices.size(), 1u);
    EXPECT_EQ(d.InputUsed(), 0u);
    EXPECT_EQ(d.DispatchBuffer.Tail(), 10u);
}

TEST(DispatcherBuffer, FlushDuringAnAvailNotificationDropsEverythingOnceItEnds) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    Recorder r;
    r.Action = [&](const Notice& n) {
        if (n.wParam != 8) return;
        Take(d, 3);
        d.Feed("still in driver");
        EXPECT_EQ(d.FlushInput(), 0);
        EXPECT_EQ(d.InputUsed(), 0u);
        EXPECT_EQ(d.DriverCount(), 0u);
    };
    d.AddNotifyMethod(r.Method());
    d.SetAvailLevel(1);
    d.Arrive("abcdefgh");
    EXPECT_EQ(d.DispatchBuffer.Tail(), d.DispatchBuffer.Head());
    EXPECT_EQ(d.InputUsed(), 0u);
    d.Arrive("xy");
    ASSERT_EQ(r.Notices.size(), 2u);
    EXPECT_EQ(r.Notices[1].wParam, 2u);
    EXPECT_EQ(Take(d, 2), "xy");
}

TEST(DispatcherBuffer, ABadReadCountStoresNothing) {
    // A count below 0 or above what was offered is a failed read.
    for (int32_t bad : {-1, 8193, 100000}) {
        SCOPED_TRACE(bad);
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        d.Feed("abc");
        d.ReadOverride = bad;
        d.FillDispatchBuffer();
        EXPECT_EQ(d.InputUsed(), 0u);
        EXPECT_EQ(d.ReadErrors, 1);
    }
}

TEST(DispatcherOutput, ExactlyTheFreeRoomFitsAndFillsTheRing) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(16), 0);
    EXPECT_EQ(Put(d, "0123456789"), 0);
    EXPECT_EQ(d.OutputUsed(), 10u);
    EXPECT_EQ(d.OutputFree(), 6u);
    EXPECT_EQ(Put(d, "abcdefg"), ecOutputBufferTooSmall);
    EXPECT_EQ(d.Sent.size(), 10u);
    EXPECT_EQ(Put(d, "abcdef"), 0);
    EXPECT_TRUE(d.OutRing.Full());
    EXPECT_EQ(d.OutputFree(), 0u);
    EXPECT_EQ(d.PutOutputByte('x'), ecOutputBufferTooSmall);
    d.SendFromRing(16);
    EXPECT_EQ(d.OutputUsed(), 0u);
    EXPECT_EQ(d.PutOutput(nullptr, 0), 0);
}

TEST(DispatcherOutput, FailuresQueueNothingAndNeverMarkTheRingFull) {
    {
        SCOPED_TRACE("device layer fails");
        FakeDispatcher d;
        ASSERT_EQ(d.Open(16), 0);
        d.QueueResult = -1;
        d.PendingErrors = 0x02;
        EXPECT_EQ(Put(d, std::string(16, 'x')), ecPutBlockFail);
        EXPECT_FALSE(d.OutRing.Full());
        EXPECT_EQ(d.RingBytes(), 0u);
        EXPECT_EQ(d.LineErrors, 0x02u);
    }
    {
        SCOPED_TRACE("RS-485 without UART address");
        FakeDispatcher d;
        ASSERT_EQ(d.Open(16), 0);
        d.SetPlatformIsNT(false);
        d.Rs485 = true;
        d.LineCalls.clear();
        EXPECT_EQ(Put(d, std::string(16, 'x')), ecBaseAddressNotSet);
        EXPECT_FALSE(d.OutRing.Full());
        EXPECT_TRUE(d.Sent.empty());
        d.UartBaseAddress = 0x3F8;
        EXPECT_EQ(d.PutOutputByte('x'), 0);
        EXPECT_EQ(d.LineCalls, std::vector<int32_t>{SETRTS});
    }
}

TEST(DispatcherStatus, LineErrorsComeOutMostImportantFirst) {
    struct Case {
        uint32_t pending;
        int32_t code;
        uint32_t left;
    } cases[] = {{0x06, 2, 0}, {0x10, 9, 0x10}, {0x1F, 1, 0x10}, {0x0C, 3, 0},
                 {0x08, 4, 0}, {0x00, 0, 0},    {0x11, 1, 0x10}};
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pending);
        d.LineErrors = c.pending;
        EXPECT_EQ(d.TakeLineError(), c.code);
        EXPECT_EQ(d.LineErrors, c.left);
    }
    d.LineErrors = 0x10;
    EXPECT_TRUE(d.TakeLineBreak());
    EXPECT_FALSE(d.TakeLineBreak());
}

TEST(DispatcherStatus, SendingKeepsLineErrorsThatWereNotYetAskedFor) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.PendingErrors = 0x10;
    d.ProcessDeviceEvent(EV_BREAK);
    d.PendingErrors = 0x02;
    EXPECT_EQ(d.PutOutputByte('K'), 0);
    EXPECT_EQ(d.TakeLineError(), 2);
    EXPECT_TRUE(d.TakeLineBreak());
}

TEST(DispatcherStatus, ModemDeltasMarkEveryChangedLineAndTheRingEdge) {
    FakeDispatcher d;
    d.ModemLines = MS_CTS_ON | MS_DSR_ON;
    ASSERT_EQ(d.Open(), 0);
    EXPECT_EQ(d.ModemStatusShadow, 0x30u);
    d.ModemLines = MS_DSR_ON | MS_RLSD_ON;
    d.RingEdgeSeen = true;
    d.ProcessDeviceEvent(EV_CTS);
    EXPECT_EQ(d.ModemStatusShadow, 0xA0u | 0x01u | 0x08u | 0x04u);
    EXPECT_EQ(d.ReadModemStatus(0xF0), 0xADu);
    EXPECT_EQ(d.ModemStatusShadow, 0xA0u);
    d.SetOptionBits(0x10);
    d.SetOptionBits(0x01);
    d.ClearOptionBits(0x01);
    EXPECT_EQ(d.OptionBits, 0x10u);
}

TEST(DispatcherClose, CloseInsideAHandlerWaitsForTheDispatchThreadToEnd) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    Recorder first, second;
    first.Action = [&](const Notice&) {
        Take(d, 3);
        d.ClosePort();
        EXPECT_TRUE(d.ClosePending);
    };
    d.AddNotifyMethod(first.Method());
    d.AddNotifyMethod(second.Method());
    d.SetAvailLevel(1);
    EXPECT_FALSE(d.Arrive("hello"));
    EXPECT_EQ(first.Notices.size(), 1u);
    EXPECT_TRUE(second.Notices.empty());
    EXPECT_FALSE(d.InNotification);
    EXPECT_EQ(d.CloseCalls, 1);
    EXPECT_TRUE(d.DispatchBuffer.Allocated());
    EXPECT_EQ(d.DispatchBuffer.Tail(), 0u);
    d.PeriodicCheck();

    // The dispatch thread ends because of ClosePending; ThreadEnded finishes the close.
    d.ReleaseOnThreadEnd = true;
    InterlockedIncrement(&d.LiveThreadCount);
    d.ThreadEnded(nullptr);
    EXPECT_FALSE(d.DispatchBuffer.Allocated());
    EXPECT_FALSE(d.OutRing.Allocated());
    EXPECT_EQ(d.StopCalls, 1);
    EXPECT_FALSE(d.ThreadsRunning);
}

TEST(DispatcherClose, TheLastThreadToEndClearsThreadsRunning) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    auto* a = reinterpret_cast<TDispatcherThread*>(0x10);
    auto* b = reinterpret_cast<TDispatcherThread*>(0x20);
    d.OutThread = b;
    InterlockedIncrement(&d.LiveThreadCount);
    InterlockedIncrement(&d.LiveThreadCount);
    d.ThreadEnded(a);
    EXPECT_TRUE(d.ThreadsRunning);
    EXPECT_EQ(d.OutThread, b);
    d.ThreadEnded(b);
    EXPECT_EQ(d.OutThread, nullptr);
    EXPECT_FALSE(d.ThreadsRunning);
    EXPECT_TRUE(d.DispatchBuffer.Allocated());  // no release was asked for
}

TEST(DispatcherTableTest, SlotsAreReusedAndNeverMoveWhileTheirDispatcherLives) {
    TCriticalSectionHold hold(DispatcherTableLock());
    ASSERT_TRUE(DispatcherTable().empty());
    auto a = std::make_unique<FakeDispatcher>();
    auto b = std::make_unique<FakeDispatcher>();
    auto c = std::make_unique<FakeDispatcher>();
    EXPECT_EQ(c->DispatcherIndex, 2);
    b.reset();
    EXPECT_EQ(DispatcherTable().size(), 3u);
    EXPECT_EQ(DispatcherInSlot(1), nullptr);
    FakeDispatcher d;
    EXPECT_EQ(d.DispatcherIndex, 1);
    c.reset();
    EXPECT_EQ(DispatcherTable().size(), 2u);
    EXPECT_EQ(DispatcherInSlot(0), a.get());
    EXPECT_EQ(DispatcherInSlot(1), &d);
    EXPECT_EQ(DispatcherInSlot(2), nullptr);
    EXPECT_EQ(DispatcherInSlot(-1), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Real threads: the test thread plays the dispatch thread, a second thread the application.

TEST(DispatcherThreads, TheApplicationReadsAndWritesWhileTheDispatchSideFills) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(256), 0);
    d.SetAvailLevel(1);
    constexpr size_t Total = 100000;
    constexpr size_t ToSend = 3000;
    const std::string expected = Seq(Total);

    std::string received;
    size_t sent = 0;
    std::atomic<bool> failed{false};
    std::thread application([&] {
        uint8_t buffer[97];
        while ((received.size() < Total || sent < ToSend) && !failed) {
            uint32_t n = std::min<uint32_t>(d.InputUsed(), sizeof buffer);
            if (n != 0) {
                if (d.TakeInput(buffer, n) != static_cast<int32_t>(n)) failed = true;
                received.append(reinterpret_cast<char*>(buffer), n);
            }
            if (sent < ToSend && d.PutOutputByte(static_cast<uint8_t>(sent)) == 0) ++sent;
            if (n == 0) std::this_thread::yield();
        }
    });
    size_t fed = 0;
    while (!failed && (fed < Total || d.DriverCount() != 0 || d.InputUsed() != 0 ||
                       d.RingBytes() != 0 || d.SentCount() < ToSend)) {
        if (fed < Total && d.DriverCount() < 4096) {
            size_t n = std::min<size_t>(Total - fed, 1 + fed % 700);
            d.Feed(expected.substr(fed, n));
            fed += n;
        }
        d.ProcessDeviceEvent(EV_RXCHAR);
        d.SendFromRing((d.RingBytes() + 1) / 2);
        d.PeriodicCheck();
        std::this_thread::yield();
    }
    application.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(received, expected);
    ASSERT_EQ(d.Sent.size(), ToSend);
    for (size_t i = 0; i < ToSend; ++i) ASSERT_EQ(d.Sent[i], static_cast<uint8_t>(i));
}

TEST(DispatcherThreads, ASynchronisedHandlerReadsFramesOnTheMainThread) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.SetAvailLevel(1);

    // The main thread's queue of handler calls, as SyncCall hands them over.
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;
    bool finished = false;
    d.SyncCall = [&](uint32_t msg, uint32_t wParam, int32_t lParam, const TNotifyMethod& h) {
        std::promise<void> done;
        {
            std::lock_guard<std::mutex> hold(mutex);
            job = [&] {
                h(msg, wParam, lParam);
                done.set_value();
            };
        }
        wake.notify_all();
        done.get_future().wait();
    };
    std::string frames;
    Recorder r;
    r.Action = [&](const Notice&) {
        while (d.InputUsed() >= 12) frames += Take(d, 12);
    };
    d.AddNotifyMethod(r.Method(), true);

    const std::string stream = Seq(12 * 400);
    std::thread dispatch([&] {
        for (size_t at = 0; at < stream.size(); at += 7) d.Arrive(stream.substr(at, 7));
        {
            std::lock_guard<std::mutex> hold(mutex);
            finished = true;
        }
        wake.notify_all();
    });
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return job || finished; });
        if (job) {
            auto run = std::move(job);
            job = nullptr;
            lock.unlock();
            run();
        } else {
            break;
        }
    }
    dispatch.join();
    EXPECT_EQ(frames, stream);
    EXPECT_EQ(d.InputUsed(), 0u);
}

}  // namespace
