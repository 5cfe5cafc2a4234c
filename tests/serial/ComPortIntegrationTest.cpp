// The port component over real pseudo-terminals with the Win32 device layer and its threads.
// The test's thread is the main thread: it opens the ports and pumps the platform messages
// that carry the notifications, while the far end is a pty master or the meter simulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/PlatformHooks.h"
#include "platform/TestPty.h"
#include "serial/CommErrors.h"
#include "serial/ComPort.h"
#include "serial/Dispatcher.h"
#include "PortTestSupport.h"
#include "serial/SimulatorProcess.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs the calling thread's platform messages until done() holds; false after timeoutMs.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        k419::platform::WaitForMessage(50);
        k419::platform::PumpPendingMessages();
    }
    return true;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Event {
    uint16_t Msg, Handle, Data, Waiting;
};

class ComPortPty : public testing::Test {
  protected:
    // The front panel's settings, on COMn.
    void Configure(TComPort& p, int n) { ConfigureFrontPanelPort(p, n); }
    fs::path TempDir() { return dirs.Make(); }
    TestDirs dirs{"k419-adport-pty-"};
    void Record(TComPort& p) {
        p.SetOnTrigger([this, &p](TObject*, uint16_t msg, uint16_t handle, uint16_t data) {
            events.push_back({msg, handle, data, p.InputCount()});
            if (react) react(events.back());
        });
    }

    std::vector<Event> events;
    std::function<void(const Event&)> react;
};

TEST_F(ComPortPty, ArrivingBytesAreAnnouncedWithWhatIsWaiting) {
    TestPty pty(61);
    TComPort port;
    Configure(port, 61);
    Record(port);
    port.SetOpen(true);
    const std::string data(36, 'f');
    ASSERT_TRUE(pty.Write(data));
    ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back().Data == 36; }));
    uint16_t previous = 0;
    for (const Event& e : events) {
        EXPECT_EQ(e.Msg, TriggerAvailMsg);
        EXPECT_EQ(e.Handle, e.Data);
        EXPECT_EQ(e.Waiting, e.Data);  // nothing was read: everything waiting is announced
        EXPECT_GT(e.Data, previous);
        previous = e.Data;
    }
    EXPECT_EQ(port.InputCount(), 36);
}

TEST_F(ComPortPty, AHandlerTakesAFrameAndLeavesTheRest) {
    TestPty pty(62);
    TComPort port;
    Configure(port, 62);
    std::string frame(12, '\0');
    uint16_t leftInside = 0xFFFF;
    Record(port);
    react = [&](const Event& e) {
        if (e.Msg != TriggerAvailMsg || port.InputCount() < 13) return;
        port.ReadBlock(frame.data(), 12);
        leftInside = port.InputCount();
    };
    port.SetOpen(true);
    const std::string sent =
        "\xAA"
        "0123456789a"
        "\xAA";
    ASSERT_TRUE(pty.Write(sent));
    ASSERT_TRUE(PumpUntil([&] { return leftInside != 0xFFFF; }));
    EXPECT_EQ(frame, sent.substr(0, 12));
    EXPECT_EQ(leftInside, 1);
    EXPECT_EQ(port.InputCount(), 1);
    char last = 0;
    port.ReadBlock(&last, 1);
    EXPECT_EQ(last, '\xAA');
}

TEST_F(ComPortPty, SentBytesReachThePeerInOrder) {
    TestPty pty(63);
    TComPort port;
    Configure(port, 63);
    std::string sent;
    for (int i = 0; i < 256; ++i) sent.push_back(static_cast<char>(i));
    for (char c : sent) port.SendByte(c);  // opens the port on first use
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(pty.Read(sent.size()), sent);
}

TEST_F(ComPortPty, MovingAnOpenPortKeepsTriggersAndRestartsTheTrace) {
    TestPty first(64), second(65);
    fs::path dir = TempDir();
    TComPort port;
    Configure(port, 64);
    port.SetTraceName((dir / "move.trc").string());
    port.SetTracing(tlOn);
    Record(port);
    react = [&](const Event& e) {
        if (e.Msg == TriggerAvailMsg) {
            std::string taken(e.Data, '\0');
            port.ReadBlock(taken.data(), e.Data);
        }
    };
    port.SetOpen(true);
    const int32_t handle = port.Dispatcher()->AddDataTrigger("AB", false);
    ASSERT_GT(handle, 0);
    port.SendByte('K');
    ASSERT_EQ(first.Read(1), "K");

    port.SetComNumber(65);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(ReadFile(dir / "move.trc"), "Transmit: \r\nK");
    EXPECT_EQ(port.Tracing(), tlOn);
    EXPECT_TRUE(port.Dispatcher()->TraceOn());
    EXPECT_EQ(port.Dispatcher()->AvailLevel(), 1u);

    ASSERT_TRUE(second.Write("xyAB"));
    ASSERT_TRUE(PumpUntil([&] {
        return std::any_of(events.begin(), events.end(),
                           [](const Event& e) { return e.Msg == TriggerDataMsg; });
    }));
    const auto data = std::find_if(events.begin(), events.end(),
                                   [](const Event& e) { return e.Msg == TriggerDataMsg; });
    EXPECT_EQ(data->Handle, handle);
    EXPECT_EQ(data->Data, 2);  // the length of the matched text

    // COM64 is free again.
    TComPort other;
    Configure(other, 64);
    other.SetOpen(true);
    EXPECT_EQ(other.PortState(), psOpen);
    port.SetOpen(false);
}

TEST_F(ComPortPty, ClosingFromInsideOnTriggerReturnsOnceTheDispatcherIsReleased) {
    TestPty pty(66);
    TComPort port;
    Configure(port, 66);
    bool closed = false;
    bool releasedOnReturn = false;
    size_t eventsOnReturn = 0;
    std::chrono::steady_clock::duration closeTook{};
    std::vector<std::string> reported;
    SetApplicationExceptionHandler([&](const std::exception& e) { reported.push_back(e.what()); });
    Record(port);
    react = [&](const Event& e) {
        // A failing handler must not keep the release from happening.
        if (e.Msg == ReleaseDispatcherMsg) throw std::runtime_error("handler failed");
        if (e.Msg != TriggerAvailMsg || closed) return;
        closed = true;
        const auto start = std::chrono::steady_clock::now();
        port.SetOpen(false);
        closeTook = std::chrono::steady_clock::now() - start;
        releasedOnReturn = port.Dispatcher() == nullptr && port.EventWindow() == nullptr;
        eventsOnReturn = events.size();
    };
    port.SetOpen(true);
    ASSERT_TRUE(pty.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_TRUE(releasedOnReturn);
    // A hang guard: the dispatch thread waits for this handler up to its 3 s send limit, so a
    // close that does not answer it ends only then.
    EXPECT_LT(closeTook, std::chrono::seconds(2));
    ASSERT_GE(eventsOnReturn, 2u);
    const Event& release = events[eventsOnReturn - 1];
    EXPECT_EQ(release.Msg, ReleaseDispatcherMsg);
    EXPECT_EQ(release.Handle, 0);
    EXPECT_EQ(release.Data, 0);
    EXPECT_EQ(release.Waiting, 0);  // the port is closing
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const Event& e) { return e.Msg == ReleaseDispatcherMsg; }),
              1);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_FALSE(port.Open());
    SetApplicationExceptionHandler({});
    EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});

    // The port opens again.
    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psOpen);
}

// A hidden window of the test's thread that runs an action for each message posted to it.
class ActionWindow {
  public:
    ActionWindow() {
        static const bool registered = [] {
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = &ActionWindow::Proc;
            windowClass.lpszClassName = "ComPortTestActionWindow";
            return RegisterClassA(&windowClass) != 0;
        }();
        EXPECT_TRUE(registered);
        handle = CreateWindowExA(0, "ComPortTestActionWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, nullptr, nullptr);
        SetWindowLongPtrA(handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ActionWindow() { DestroyWindow(handle); }
    void Post() { PostMessageA(handle, WM_APP, 0, 0); }

    HWND handle;
    std::function<void()> action;

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ActionWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (msg != WM_APP || !self || !self->action)
            return DefWindowProcA(window, msg, wParam, lParam);
        self->action();
        return 0;
    }
};

TEST_F(ComPortPty, TheComponentMayBeDeletedByItsHandlerOrDuringItsClose) {
    // Under AddressSanitizer a read of the deleted component fails the test; without it, an
    // event raised by the deleted component does.
    for (bool duringClose : {false, true}) {
        SCOPED_TRACE(duringClose ? "a posted message, during a close in OnTrigger" : "OnTrigger");
        TestPty pty(72);
        ActionWindow deleter;
        auto* port = new TComPort;
        Configure(*port, 72);
        bool deleted = false;
        int heardAfterDelete = 0;
        deleter.action = [&] {
            delete port;
            deleted = true;
        };
        port->SetOnTrigger([&](TObject*, uint16_t msg, uint16_t, uint16_t) {
            if (deleted) ++heardAfterDelete;
            if (msg != TriggerAvailMsg || deleted) return;
            if (!duringClose) return deleter.action();
            deleter.Post();  // runs while the close below waits for the dispatcher
            port->SetOpen(false);
        });
        port->SetOnTriggerAvail([&](TObject*, uint16_t) { heardAfterDelete += deleted; });
        port->SetOpen(true);
        ASSERT_TRUE(pty.Write("x"));
        ASSERT_TRUE(PumpUntil([&] { return deleted; }));
        EXPECT_EQ(heardAfterDelete, 0);
        TComPort again;  // the device was released
        Configure(again, 72);
        again.SetOpen(true);
        EXPECT_EQ(again.PortState(), psOpen);
    }
}

TEST_F(ComPortPty, ClosingAnotherPortInsideAHandlerLeavesTheHandlersOwnDeliveryRunning) {
    TestPty ptyA(73), ptyB(74);
    TComPort a, b;
    Configure(a, 73);
    Configure(b, 74);
    b.SetOnTrigger([](TObject*, uint16_t, uint16_t, uint16_t) {});
    int depth = 0, deepest = 0;
    bool done = false, bWasDelivering = false, ownSendUnanswered = false;
    a.SetOnTrigger([&](TObject*, uint16_t msg, uint16_t, uint16_t) {
        deepest = std::max(deepest, ++depth);
        if (msg == TriggerAvailMsg && !done) {
            done = true;
            // B's dispatch thread comes to wait for this thread, which is busy in A's handler.
            EXPECT_TRUE(ptyB.Write("y"));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!b.Dispatcher()->InNotification && std::chrono::steady_clock::now() < deadline)
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            bWasDelivering = b.Dispatcher()->InNotification;
            b.SetOpen(false);
            // Answers A's delivery unless B's close already did.
            ownSendUnanswered = ReplyMessage(0) != FALSE;
        }
        --depth;
    });
    a.SetOpen(true);
    b.SetOpen(true);
    ASSERT_TRUE(ptyA.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return done && b.PortState() == psClosed; }));
    EXPECT_TRUE(bWasDelivering);
    EXPECT_TRUE(ownSendUnanswered);
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(a.PortState(), psOpen);
}

TEST_F(ComPortPty, PortsThatCannotBeOpenedRaiseTheirExceptions) {
    setenv("K419_COM67", "/nonexistent/k419-tty", 1);
    TComPort missing;
    Configure(missing, 67);
    try {
        missing.SetOpen(true);
        FAIL() << "no exception";
    } catch (const EBadId& e) {
        EXPECT_EQ(e.ResultCode(), -2001);
        EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
    }
    unsetenv("K419_COM67");
    EXPECT_EQ(missing.PortState(), psClosed);

    TestPty pty(68);
    TComPort holder, second;
    Configure(holder, 68);
    Configure(second, 68);
    holder.SetOpen(true);
    try {
        second.SetOpen(true);
        FAIL() << "no exception";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.ResultCode(), -2008);
        EXPECT_STREQ(e.what(), "ie_Open - device already open");
    }
    EXPECT_EQ(second.PortState(), psClosed);
    holder.SendByte('H');
    EXPECT_EQ(pty.Read(1), "H");
}

TEST_F(ComPortPty, TraceAndLogAreWrittenAtCloseInTheirFormats) {
    TestPty pty(69);
    fs::path dir = TempDir();
    TComPort port;
    Configure(port, 69);
    port.SetTraceName((dir / "K419.TRC").string());
    port.SetLogName((dir / "K419.LOG").string());
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    std::string taken(2, '\0');
    bool read = false;
    Record(port);
    react = [&](const Event&) {
        if (!read && port.InputCount() >= 2) {
            port.ReadBlock(taken.data(), 2);
            read = true;
        }
    };
    port.SetOpen(true);
    port.SendByte('K');
    ASSERT_EQ(pty.Read(1), "K");
    ASSERT_TRUE(pty.Write("\rA"));
    ASSERT_TRUE(PumpUntil([&] { return read; }));
    port.SetOpen(false);

    EXPECT_EQ(ReadFile(dir / "K419.TRC"), "Transmit: \r\nK\r\n\r\nReceive: \r\n[0D]A");
    std::istringstream log(ReadFile(dir / "K419.LOG"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "K419 v2.55");
    EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("Operating system : ", 0), 0u);
    EXPECT_EQ(lines[3], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[4], "--------  --------  ------------  --------  ---------");
    const std::regex writeCom(R"(\d{4}\.\d{3}  Dispatch  WriteCom      00000001  K)");
    const std::regex readCom(R"(\d{4}\.\d{3}  Dispatch  ReadCom       0000000[12]  (\[0D\]A?|A))");
    const std::regex avail(R"(\d{4}\.\d{3}  Trigger   Avail         0000000[12]  )");
    auto has = [&](const std::regex& pattern) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return std::regex_match(l, pattern); });
    };
    EXPECT_TRUE(has(writeCom));
    EXPECT_TRUE(has(readCom));
    EXPECT_TRUE(has(avail));
}

TEST_F(ComPortPty, DestroyingAnOpenComponentClosesItAndWritesItsFiles) {
    TestPty pty(70);
    fs::path dir = TempDir();
    {
        TComPort port;
        Configure(port, 70);
        port.SetTraceName((dir / "end.trc").string());
        port.SetLogName((dir / "end.log").string());
        port.SetTracing(tlOn);
        port.SetLogging(tlOn);
        port.SetOpen(true);
        port.SendByte('Q');
        ASSERT_EQ(pty.Read(1), "Q");
    }
    EXPECT_EQ(ReadFile(dir / "end.trc"), "Transmit: \r\nQ");
    EXPECT_NE(ReadFile(dir / "end.log").find("WriteCom"), std::string::npos);
    TComPort again;
    Configure(again, 70);
    again.SetOpen(true);  // the device was released
    EXPECT_EQ(again.PortState(), psOpen);
}

// Each software flow setting leaves the line with exactly its directions, whichever came
// before: receive flow is IXOFF (we send XOFF), transmit flow IXON (the far end's XOFF stops us).
TEST_F(ComPortPty, SoftwareFlowSettingsLeaveTheLineWithExactlyTheirDirections) {
    TestPty pty(67);
    TComPort port;
    Configure(port, 67);
    port.SetOpen(true);
    ASSERT_EQ(port.PortState(), psOpen);
    const struct {
        TSWFlowOptions Value;
        tcflag_t Flags;
    } settings[] = {
        {swfNone, 0}, {swfReceive, IXOFF}, {swfTransmit, IXON}, {swfBoth, IXON | IXOFF}};
    for (const auto& from : settings) {
        for (const auto& to : settings) {
            SCOPED_TRACE(testing::Message() << from.Value << " to " << to.Value);
            port.SetSWFlowOptions(from.Value);
            port.SetSWFlowOptions(to.Value);
            termios line{};
            ASSERT_EQ(tcgetattr(pty.Master(), &line), 0);
            EXPECT_EQ(line.c_iflag & (IXON | IXOFF), to.Flags);
        }
    }
}

TEST_F(ComPortPty, ABacklogLargerThanTheBuffersArrivesWholeAfterTheOpen) {
    // The far end wrote more than the driver queue and the dispatch buffer together hold
    // before the port was opened; the handler takes whatever it is told of, also when the
    // first announcement came before the component's window was registered.
    TestPty pty(63);
    // The line is raw while the backlog arrives, as it is once a port was open: with the
    // pseudo-terminal's initial cooked settings the bytes would be edited and echoed.
    const int early = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(early, 0);
    termios raw{};
    tcgetattr(early, &raw);
    cfmakeraw(&raw);
    tcsetattr(early, TCSANOW, &raw);
    std::string backlog;
    for (;;) {
        char chunk[1024];
        for (size_t i = 0; i < sizeof chunk; ++i)
            chunk[i] = static_cast<char>((backlog.size() + i) * 7 + (backlog.size() + i) / 251);
        const ssize_t n = ::write(pty.Master(), chunk, sizeof chunk);
        if (n <= 0) break;
        backlog.append(chunk, static_cast<size_t>(n));
        if (backlog.size() >= 64 * 1024) break;
    }
    ASSERT_GT(backlog.size(), 12u * 1024);
    TComPort port;
    Configure(port, 63);
    std::string got;
    Record(port);
    react = [&](const Event& e) {
        if (e.Msg != TriggerAvailMsg) return;
        std::string block(port.InputCount(), '\0');
        port.ReadBlock(block.data(), static_cast<uint16_t>(block.size()));
        got += block;
    };
    port.SetOpen(true);
    ::close(early);
    // The far end goes on writing; the pty is still full, so only the component's reading
    // makes room, and this thread has to pump for that.
    const std::string more(5000, 'm');
    bool written = false;
    std::thread writer([&] { written = pty.Write(more); });
    const bool all = PumpUntil([&] { return got.size() >= backlog.size() + more.size(); }, 5000);
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_TRUE(all) << got.size() << " of " << backlog.size() + more.size();
    EXPECT_TRUE(got == backlog + more);
}

TEST_F(ComPortPty, FramesFromTheSimulatedMeterAreTakenOneByOne) {
    Simulator sim({"--rate", "50"});
    if (sim.Path().empty()) GTEST_SKIP() << "k419-sim is not built";
    setenv("K419_COM71", sim.Path().c_str(), 1);
    TComPort port;
    Configure(port, 71);
    std::vector<std::string> frames;
    Record(port);
    react = [&](const Event&) {
        if (port.InputCount() <= 12) return;
        std::string frame(12, '\0');
        port.ReadBlock(frame.data(), 12);
        if (frame[0] != '\xAA') port.DiscardInput();
        frames.push_back(frame);
    };
    port.SetOpen(true);
    EXPECT_TRUE(PumpUntil([&] { return frames.size() >= 5; }));
    port.SetOpen(false);
    unsetenv("K419_COM71");
    ASSERT_GE(frames.size(), 5u);
    // The stream may be joined mid-frame; once in step, every frame starts with its header.
    for (size_t i = 2; i < frames.size(); ++i) EXPECT_EQ(frames[i][0], '\xAA') << i;
}

}  // namespace
