// The Win32 device layer over real pseudo-terminals: the test holds the master (the far end),
// the dispatcher opens the slave as a COM port, and the test's thread is the main thread that
// pumps platform messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/CommErrors.h"
#include "serial/Win32Dispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

class TestPty {
  public:
    explicit TestPty(int comNumber) : Variable("K419_COM" + std::to_string(comNumber)) {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[256];
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0 ||
            ptsname_r(Master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal");
        fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
        setenv(Variable.c_str(), name, 1);
        PortName = "\\\\.\\COM" + std::to_string(comNumber);
    }
    ~TestPty() { HangUp(); }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    void HangUp() {
        if (Master >= 0) ::close(Master);
        Master = -1;
    }
    bool Write(const std::string& data) {
        for (size_t done = 0; done < data.size();) {
            ssize_t n = ::write(Master, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            pollfd fd{Master, POLLOUT, 0};
            if (n < 0 && errno != EAGAIN) return false;
            if (::poll(&fd, 1, 10000) <= 0) return false;
        }
        return true;
    }
    // Reads until count bytes came, or until nothing came for quietMs.
    std::string Read(size_t count, int quietMs = 10000) {
        std::string data;
        while (data.size() < count) {
            char buffer[65536];
            ssize_t n = ::read(Master, buffer, std::min(sizeof buffer, count - data.size()));
            if (n > 0) {
                data.append(buffer, static_cast<size_t>(n));
                continue;
            }
            pollfd fd{Master, POLLIN, 0};
            if ((n < 0 && errno != EAGAIN) || ::poll(&fd, 1, quietMs) <= 0) break;
        }
        return data;
    }

    // Reads until what came ends with tail; false after timeoutMs without it.
    bool ReadUntilEndsWith(const std::string& tail, std::string& data, int timeoutMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (data.size() < tail.size() ||
               data.compare(data.size() - tail.size(), tail.size(), tail) != 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{Master, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[65536];
            ssize_t n = ::read(Master, buffer, sizeof buffer);
            if (n < 0 && errno != EAGAIN) return false;
            if (n > 0) data.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    std::string Variable;
    std::string PortName;
    int Master = -1;
};

// Opens the protected state to the tests.
class TestDispatcher : public TWin32Dispatcher {
  public:
    TestDispatcher() : TWin32Dispatcher(nullptr) {}
    ~TestDispatcher() override {
        ClosePort();
        while (ThreadsRunning) PumpOneMessage();
    }
    int32_t Open(const TestPty& pty, uint32_t outSize = 4096) {
        return OpenPort(pty.PortName.c_str(), 9600, 0, 8, 1, 4096, outSize, true, false);
    }
    using TBaseDispatcher::ComThread;
    using TBaseDispatcher::DispatchBuffer;
    using TBaseDispatcher::DispThread;
    using TBaseDispatcher::OutRing;
    using TBaseDispatcher::OutThread;
    using TWin32Dispatcher::WriteOutput;
    bool MustStop() const { return ThreadsMustStop; }
};

// Runs no threads, so the test drives the output ring writer itself.
class RingDispatcher : public TestDispatcher {
  public:
    void StartThreads() override {}
    void StopThreads() override {}
};

bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        PumpOneMessage();
    }
    return true;
}

std::string Pattern(size_t length, unsigned seed = 0) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
    return data;
}

struct Note {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    DWORD Thread;
};

// A hidden window of the test's thread that records the notifications it is sent.
class TestWindow {
  public:
    TestWindow() {
        static const bool registered = [] {
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = &TestWindow::Proc;
            windowClass.lpszClassName = "Win32DispatcherTestWindow";
            return RegisterClassA(&windowClass) != 0;
        }();
        EXPECT_TRUE(registered);
        Handle = CreateWindowExA(0, "Win32DispatcherTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, nullptr, nullptr);
        SetWindowLongPtrA(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~TestWindow() { DestroyWindow(Handle); }

    HWND Handle;
    std::vector<Note> Notes;
    std::function<void(const Note&)> OnNote;

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (!self || msg < TriggerAvailMsg || msg > TriggerStatusMsg)
            return DefWindowProcA(window, msg, wParam, lParam);
        self->Notes.push_back({msg, wParam, lParam, GetCurrentThreadId()});
        if (self->OnNote) self->OnNote(self->Notes.back());
        return 0;
    }
};

void ListenForAvail(TBaseDispatcher& d, TestWindow& window) {
    d.AddNotifyWindow(window.Handle);
    d.SetDeliveryMode(1);
    d.SetAvailLevel(1);
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

TEST(Win32DispatcherPty, ArrivingBytesAreAnnouncedToAWindowOfTheMainThread) {
    TestPty pty(71);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    TestWindow window;
    std::string taken;
    // As the front panel does: a frame is taken only once a 13th byte has arrived.
    window.OnNote = [&](const Note& note) {
        if (note.Msg != TriggerAvailMsg || note.WParam < 13) return;
        uint8_t frame[12];
        ASSERT_EQ(d.TakeInput(frame, 12), 12);
        taken.append(reinterpret_cast<char*>(frame), 12);
    };
    ListenForAvail(d, window);

    ASSERT_TRUE(pty.Write("ABCDEFGHIJKLM"));
    ASSERT_TRUE(PumpUntil([&] { return !taken.empty(); }));
    EXPECT_EQ(taken, "ABCDEFGHIJKL");
    const Note& frame = window.Notes.back();
    EXPECT_EQ(frame.WParam, 13u);
    EXPECT_EQ(frame.LParam >> 16, d.DispatcherIndex);
    EXPECT_EQ(frame.Thread, GetCurrentThreadId());

    // The byte left unread is announced again only together with the next arrival.
    const size_t before = window.Notes.size();
    ASSERT_TRUE(pty.Write("N"));
    ASSERT_TRUE(PumpUntil([&] { return window.Notes.size() > before; }));
    EXPECT_EQ(window.Notes.size(), before + 1);
    EXPECT_EQ(window.Notes.back().WParam, 2u);
    EXPECT_EQ(d.InputUsed(), 2u);
}

TEST(Win32DispatcherPty, SynchronisedHandlersRunOnTheMainThreadAndTheirReadsCount) {
    TestPty pty(72);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    struct Probe {
        TestDispatcher* D;
        DWORD Thread = 0;
        std::string Taken;
        void Handle(uint32_t msg, uint32_t wParam, int32_t) {
            if (msg != TriggerAvailMsg) return;
            Thread = GetCurrentThreadId();
            std::string bytes(wParam, '\0');
            if (D->TakeInput(reinterpret_cast<uint8_t*>(bytes.data()), wParam) > 0) Taken += bytes;
        }
    } probe{&d, 0, {}};
    d.AddNotifyMethod(MakeNotifyMethod<&Probe::Handle>(&probe), true);
    d.SetAvailLevel(1);

    ASSERT_TRUE(pty.Write("hello"));
    ASSERT_TRUE(PumpUntil([&] { return probe.Taken.size() == 5; }));
    EXPECT_EQ(probe.Taken, "hello");
    EXPECT_EQ(probe.Thread, GetCurrentThreadId());
    EXPECT_TRUE(PumpUntil([&] { return d.InputUsed() == 0; }));
}

TEST(Win32DispatcherPty, OutputReachesTheFarEndInOrderThroughTheOutputThread) {
    TestPty pty(73);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty, 4096), 0);
    const std::string stream = Pattern(64 * 1024, 3);
    std::string received;
    std::thread reader([&] { received = pty.Read(stream.size()); });
    // 1000-byte blocks against a 4096-byte ring: the pending bytes wrap again and again.
    for (size_t at = 0; at < stream.size(); at += 1000) {
        const std::string block = stream.substr(at, 1000);
        int32_t rc;
        while ((rc = d.PutOutput(reinterpret_cast<const uint8_t*>(block.data()),
                                 static_cast<uint32_t>(block.size()))) == ecOutputBufferTooSmall)
            PumpOneMessage();
        ASSERT_EQ(rc, 0);
    }
    reader.join();
    EXPECT_TRUE(received == stream) << "received " << received.size() << " bytes";
    EXPECT_TRUE(PumpUntil([&] { return d.OutputUsed() == 0; }));
}

TEST(Win32DispatcherRing, PendingBytesAreWrittenAsOneBlockInOrder) {
    constexpr uint32_t Size = 64;
    struct Case {
        const char* Name;
        uint32_t Start;  // where the empty ring's head and tail are before queuing
        uint32_t Count;
        uint32_t HeadAfterQueue;
    } cases[] = {
        {"plain", 10, 20, 30},
        {"exactly the room up to the end leaves the head at 0", 40, 24, 0},
        {"wrapping", 40, 50, 26},
        {"full from the middle", 40, 64, 40},
        {"full from the start", 0, 64, 0},
    };
    TestPty pty(74);
    RingDispatcher d;
    ASSERT_EQ(d.Open(pty, Size), 0);
    unsigned seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string filler(c.Start, 'f');
        ASSERT_TRUE(d.OutRing.Put(reinterpret_cast<const uint8_t*>(filler.data()), c.Start));
        d.OutRing.Drop(c.Start);
        const std::string data = Pattern(c.Count, ++seed);
        ASSERT_EQ(d.PutOutput(reinterpret_cast<const uint8_t*>(data.data()), c.Count), 0);
        EXPECT_EQ(d.OutRing.Head(), c.HeadAfterQueue);
        EXPECT_EQ(d.OutRing.Full(), c.Count == Size);
        EXPECT_EQ(d.OutputUsed(), c.Count);

        d.WriteOutput();
        EXPECT_EQ(pty.Read(c.Count), data);
        EXPECT_EQ(d.OutRing.Head(), 0u);
        EXPECT_EQ(d.OutRing.Tail(), 0u);
        EXPECT_FALSE(d.OutRing.Full());
        EXPECT_EQ(d.OutputUsed(), 0u);
        // Wrapped bytes were rotated to the start of the ring to go out in one write.
        if (c.Start + c.Count > Size) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.OutRing.Storage()), c.Count),
                      data);
        }
    }
}

TEST(Win32DispatcherPty, AFlushDuringAStalledWriteEmptiesTheRingAndOutputGoesOn) {
    TestPty pty(75);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty, 4096), 0);
    // The far end reads nothing, so the pseudo-terminal fills and the output thread's write
    // stays pending; the ring fills up behind it.
    const std::string stream = Pattern(256 * 1024, 9);
    size_t queued = 0;
    for (int stalledTurns = 0; queued < stream.size() && stalledTurns < 30;) {
        const uint32_t room = std::min<uint32_t>(d.OutputFree(), 4096);
        const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(stream.size() - queued));
        if (n == 0) {
            ++stalledTurns;
            PumpOneMessage();
            continue;
        }
        ASSERT_EQ(d.PutOutput(reinterpret_cast<const uint8_t*>(stream.data() + queued), n), 0);
        queued += n;
        stalledTurns = 0;
    }
    ASSERT_LT(queued, stream.size()) << "the far end never stalled";

    EXPECT_EQ(d.FlushOutput(), 0);
    EXPECT_EQ(d.OutputUsed(), 0u);
    ASSERT_EQ(d.PutOutput(reinterpret_cast<const uint8_t*>("END!"), 4), 0);
    std::string received;
    ASSERT_TRUE(pty.ReadUntilEndsWith("END!", received));
    // What arrived before the marker is the start of the stream, nothing out of place.
    const std::string before = received.substr(0, received.size() - 4);
    EXPECT_TRUE(stream.compare(0, before.size(), before) == 0);
}

TEST(Win32DispatcherPty, StartingTwiceAndStoppingTwiceAreRefused) {
    TestPty pty(76);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    auto raised = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const Exception& e) {
            return e.what();
        }
        return "nothing raised";
    };
    EXPECT_EQ(raised([&] { d.StartThreads(); }), "Dispatcher already started");
    EXPECT_TRUE(d.ThreadsRunning);
    EXPECT_EQ(raised([&] { d.StopThreads(); }), "nothing raised");
    EXPECT_FALSE(d.ThreadsRunning);
    EXPECT_EQ(d.ComThread, nullptr);
    EXPECT_EQ(d.DispThread, nullptr);
    EXPECT_EQ(d.OutThread, nullptr);
    EXPECT_EQ(raised([&] { d.StopThreads(); }), "Dispatcher not running");
    d.ClosePort();
    EXPECT_EQ(d.DeviceHandle, -1);
}

TEST(Win32DispatcherPty, ClosingInsideAHandlerReleasesOnlyWhenTheDispatchThreadHasEnded) {
    TestPty pty(77);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    TestWindow window;
    bool closed = false, pendingAfterClose = false, buffersAfterClose = false;
    window.OnNote = [&](const Note&) {
        if (closed) return;
        closed = true;
        d.ClosePort();
        pendingAfterClose = d.ClosePending;
        buffersAfterClose = d.DispatchBuffer.Allocated() && d.OutRing.Allocated();
    };
    ListenForAvail(d, window);

    ASSERT_TRUE(pty.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_TRUE(pendingAfterClose);
    EXPECT_TRUE(buffersAfterClose);
    EXPECT_EQ(d.DeviceHandle, -1);
    ASSERT_TRUE(PumpUntil([&] { return !d.ThreadsRunning; }));
    EXPECT_FALSE(d.DispatchBuffer.Allocated());
    EXPECT_FALSE(d.OutRing.Allocated());
    EXPECT_EQ(d.DispThread, nullptr);
    EXPECT_EQ(window.Notes.size(), 1u);
}

TEST(Win32DispatcherPty, OpeningAMissingOrAHeldPortFails) {
    TestPty pty(78);
    TestDispatcher holder;
    ASSERT_EQ(holder.Open(pty), 0);
    struct Case {
        const char* Name;
        const char* Port;
        int32_t Expected;
    } cases[] = {
        {"missing", "\\\\.\\COM79", ecFileNotFound},
        {"held by another", "\\\\.\\COM78", ecAccessDenied},
    };
    setenv("K419_COM79", "/nonexistent/k419-tty", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TestDispatcher d;
        EXPECT_EQ(d.OpenPort(c.Port, 9600, 0, 8, 1, 4096, 4096, true, false), c.Expected);
        EXPECT_EQ(d.DeviceHandle, -1);
        EXPECT_FALSE(d.ThreadsRunning);
    }
    unsetenv("K419_COM79");
}

TEST(Win32DispatcherPty, AHangUpEndsTheEventThreadWithoutSpinningAndThePortOpensAgain) {
    TestDispatcher d;
    {
        TestPty pty(80);
        ASSERT_EQ(d.Open(pty), 0);
        ASSERT_TRUE(pty.Write("x"));
        ASSERT_TRUE(PumpUntil([&] { return d.InputUsed() == 1; }));

        pty.HangUp();
        ASSERT_TRUE(PumpUntil([&] { return d.ComThread == nullptr; }));
        EXPECT_TRUE(d.ThreadsRunning);
        EXPECT_EQ(d.PutOutputByte('z'), 0);  // dropped by the output thread, not retried

        // The measurement window: nothing is awaited here, the process is watched while idle.
        const double start = ProcessCpuMs();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LT(ProcessCpuMs() - start, 50.0) << "something spins after the hang-up";

        d.ClosePort();
        EXPECT_FALSE(d.ThreadsRunning);
        EXPECT_EQ(d.DeviceHandle, -1);
    }
    TestPty again(80);
    ASSERT_EQ(d.Open(again), 0);
    ASSERT_TRUE(again.Write("ok"));
    EXPECT_TRUE(PumpUntil([&] { return d.InputUsed() == 2; }));
    ASSERT_EQ(d.PutOutput(reinterpret_cast<const uint8_t*>("back"), 4), 0);
    EXPECT_EQ(again.Read(4), "back");
}

TEST(Win32DispatcherPty, HundredsOfOpenCloseCyclesWithTrafficStayClean) {
    TestPty pty(81);
    TestWindow window;
    constexpr int Cycles = 200;
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        TestDispatcher d;
        ASSERT_EQ(d.Open(pty), 0);
        std::string taken;
        window.OnNote = [&](const Note& note) {
            std::string bytes(note.WParam, '\0');
            if (d.TakeInput(reinterpret_cast<uint8_t*>(bytes.data()),
                            static_cast<uint32_t>(note.WParam)) > 0)
                taken += bytes;
        };
        ListenForAvail(d, window);
        const std::string in = Pattern(16, static_cast<unsigned>(cycle));
        const std::string out = Pattern(16, static_cast<unsigned>(cycle) + 100);
        ASSERT_TRUE(pty.Write(in));
        ASSERT_EQ(d.PutOutput(reinterpret_cast<const uint8_t*>(out.data()), 16), 0);
        ASSERT_EQ(pty.Read(16), out);
        ASSERT_TRUE(PumpUntil([&] { return taken.size() == 16; }));
        ASSERT_EQ(taken, in);
        d.ClosePort();
        ASSERT_FALSE(d.ThreadsRunning);
        window.OnNote = nullptr;
    }
}

namespace {
std::atomic<TestDispatcher*> gBusyDispatcher{nullptr};
std::atomic<bool> gInBusyHandler{false};

// A handler on the dispatch thread that is still running when the threads are told to stop.
void BusyUntilStopped(uint32_t, uint32_t, int32_t) {
    TestDispatcher* d = gBusyDispatcher;
    gInBusyHandler = true;
    gInBusyHandler.notify_all();
    while (!d->MustStop()) std::this_thread::yield();
}
}  // namespace

TEST(Win32DispatcherPty, StoppingWhileTheDispatchThreadDeliversCompletes) {
    TestPty pty(82);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    gBusyDispatcher = &d;
    gInBusyHandler = false;
    d.AddNotifyProc(&BusyUntilStopped);
    d.SetAvailLevel(1);
    ASSERT_TRUE(pty.Write("x"));
    gInBusyHandler.wait(false);
    // The delivery ends (and takes DispatcherLock) only after the stop has begun.
    d.StopThreads();
    EXPECT_FALSE(d.ThreadsRunning);
    EXPECT_EQ(d.DispThread, nullptr);
    d.ClosePort();
}

TEST(Win32DispatcherPty, ASynchronisedHandlerMayCloseAndWaitForTheThreads) {
    TestPty pty(83);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    struct Closer {
        TestDispatcher* D;
        bool Ended = false;
        void Handle(uint32_t, uint32_t, int32_t) {
            D->ClosePort();
            Ended = PumpUntil([this] { return !D->ThreadsRunning; });
        }
    } closer{&d, false};
    d.AddNotifyMethod(MakeNotifyMethod<&Closer::Handle>(&closer), true);
    d.SetAvailLevel(1);
    ASSERT_TRUE(pty.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return closer.Ended || !d.ThreadsRunning; }));
    EXPECT_TRUE(closer.Ended);
    EXPECT_FALSE(d.DispatchBuffer.Allocated());
}

TEST(Win32DispatcherPty, AnExceptionInAWorkerIsShownOnTheMainThreadAndItsEndIsHandled) {
    struct FailingReads : TestDispatcher {
        int32_t ReadDevice(uint8_t*, uint32_t) override { throw std::runtime_error("read failed"); }
    };
    TestPty pty(84);
    FailingReads d;
    ASSERT_EQ(d.Open(pty), 0);
    std::vector<std::pair<std::string, DWORD>> shown;
    SetApplicationExceptionHandler(
        [&](const std::exception& e) { shown.emplace_back(e.what(), GetCurrentThreadId()); });
    ASSERT_TRUE(pty.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return d.DispThread == nullptr; }));
    SetApplicationExceptionHandler(nullptr);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "read failed");
    EXPECT_EQ(shown[0].second, GetCurrentThreadId());
    EXPECT_TRUE(d.ThreadsRunning);
    d.ClosePort();
    EXPECT_FALSE(d.ThreadsRunning);
}

namespace {
void FailingProc(uint32_t, uint32_t, int32_t) { throw std::runtime_error("procedure failed"); }
}  // namespace

TEST(Win32DispatcherPty,
     MethodAndProcedureHandlerFailuresAreShownOnTheMainThreadAndDeliveryGoesOn) {
    TestPty pty(86);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    struct Failing {
        void Handle(uint32_t, uint32_t, int32_t) { throw 42; }
    } failing;
    std::vector<std::pair<std::string, DWORD>> shown;
    SetApplicationExceptionHandler(
        [&](const std::exception& e) { shown.emplace_back(e.what(), GetCurrentThreadId()); });
    d.AddNotifyMethod(MakeNotifyMethod<&Failing::Handle>(&failing));
    d.AddNotifyProc(&FailingProc);
    TestWindow window;
    ListenForAvail(d, window);
    for (const char* bytes : {"x", "y"}) {
        const size_t notes = window.Notes.size();
        ASSERT_TRUE(pty.Write(bytes));
        ASSERT_TRUE(PumpUntil(
            [&] { return window.Notes.size() > notes && shown.size() >= 2 * notes + 2; }, 5000));
    }
    SetApplicationExceptionHandler(nullptr);
    ASSERT_EQ(shown.size(), 4u);
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].first, i % 2 ? "procedure failed" : UnknownHandlerFailure);
        EXPECT_EQ(shown[i].second, GetCurrentThreadId());
    }
    d.ClosePort();
}

TEST(Win32DispatcherPty, TriggersArmedWhileTheDispatchThreadSleepsAreStillChecked) {
    TestPty pty(85);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    TestWindow window;
    ListenForAvail(d, window);
    // An event went through, so the dispatch thread, with no trigger to check, sleeps.
    ASSERT_TRUE(pty.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return !window.Notes.empty(); }));
    EXPECT_FALSE(d.PeriodicCheckNeeded());
    auto notes = [&](UINT msg) {
        return std::count_if(window.Notes.begin(), window.Notes.end(),
                             [&](const Note& n) { return n.Msg == msg; });
    };

    const int32_t timer = d.AddTimerTrigger();
    ASSERT_GT(timer, 0);
    EXPECT_FALSE(d.PeriodicCheckNeeded());  // not armed yet
    ASSERT_EQ(d.SetTimerTrigger(timer, 1, true), 0);
    EXPECT_TRUE(d.PeriodicCheckNeeded());
    ASSERT_TRUE(PumpUntil([&] { return notes(TriggerTimerMsg) == 1; }));
    EXPECT_EQ(window.Notes.back().WParam, static_cast<WPARAM>(timer));
    EXPECT_FALSE(d.PeriodicCheckNeeded());  // a fired timer is disarmed

    const int32_t sent = d.AddStatusTrigger(stOutSent);
    ASSERT_GT(sent, 0);
    ASSERT_EQ(d.SetStatusTrigger(sent, 0, true), 0);
    ASSERT_EQ(d.PutOutputByte('s'), 0);
    ASSERT_TRUE(PumpUntil([&] { return notes(TriggerStatusMsg) == 1; }));
    EXPECT_EQ(window.Notes.back().WParam, static_cast<WPARAM>(sent));
    EXPECT_EQ(pty.Read(1), "s");
}

namespace {
// A handler on the dispatch thread that takes everything announced and, while chunks are left,
// has the far end send the next one before it returns: each chunk arrives during a delivery.
struct TRelay {
    TestDispatcher* D = nullptr;
    TestPty* Pty = nullptr;
    std::string Stream;
    size_t Sent = 0;
    std::string Taken;
    uint64_t Announced = 0;
    std::atomic<size_t> TakenCount{0};
    std::atomic<bool> Failed{false};
};
TRelay* gRelay = nullptr;

void TakeAllAndSendMore(uint32_t msg, uint32_t wParam, int32_t) {
    TRelay& r = *gRelay;
    if (msg != TriggerAvailMsg) return;
    r.Announced += wParam;
    std::string bytes(wParam, '\0');
    if (r.D->TakeInput(reinterpret_cast<uint8_t*>(bytes.data()), wParam) != int32_t(wParam))
        r.Failed = true;
    r.Taken += bytes;
    r.TakenCount = r.Taken.size();
    if (r.Sent < r.Stream.size()) {
        const size_t n = std::min<size_t>(7, r.Stream.size() - r.Sent);
        if (!r.Pty->Write(r.Stream.substr(r.Sent, n))) r.Failed = true;
        r.Sent += n;
    }
}
}  // namespace

TEST(Win32DispatcherPty, BytesArrivingDuringADeliveryAreAnnouncedOnceAfterItInOrder) {
    TestPty pty(86);
    TestDispatcher d;
    ASSERT_EQ(d.Open(pty), 0);
    TRelay relay;
    relay.D = &d;
    relay.Pty = &pty;
    relay.Stream = Pattern(7 * 300, 9);
    gRelay = &relay;
    d.AddNotifyProc(&TakeAllAndSendMore);
    d.SetAvailLevel(1);

    ASSERT_TRUE(pty.Write("<"));
    const std::string expected = "<" + relay.Stream;
    ASSERT_TRUE(PumpUntil([&] { return relay.TakenCount >= expected.size() || relay.Failed; }));
    d.ClosePort();
    gRelay = nullptr;
    EXPECT_FALSE(relay.Failed);
    EXPECT_EQ(relay.Taken, expected);
    EXPECT_EQ(relay.Announced, expected.size());
}
