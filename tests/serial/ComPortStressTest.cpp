// The port component under load over real pseudo-terminals: many open and close cycles and
// port moves while the far end streams without pause, and a far end that hangs up. The
// test's thread is the main thread; it opens the ports and pumps the platform messages.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatformHooks.h"
#include "serial/Dispatcher.h"
#include "platform/TestPty.h"
#include "serial/ComPort.h"
#include "serial/SimulatorProcess.h"
#include "PortTestSupport.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Waits until a message is pending for the calling thread (sent ones are not run yet), at
// most timeoutMs.
void AwaitMessage(DWORD timeoutMs) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs, QS_ALLINPUT);
}

// Runs the calling thread's platform messages until done() holds; false after timeoutMs.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        AwaitMessage(50);
        k419::platform::PumpPendingMessages();
    }
    return true;
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The far end's stream: four-byte records that carry a 28-bit sequence number, seven bits
// per byte; only a record's first byte has its top bit set, so a reader that joins the
// stream anywhere finds the next record and so the stream position of every byte.
uint8_t StreamByte(uint64_t position) {
    const auto sequence = static_cast<uint32_t>(position / 4);
    const int shift = 7 * (3 - static_cast<int>(position % 4));
    const auto bits = static_cast<uint8_t>((sequence >> shift) & 0x7F);
    return position % 4 == 0 ? static_cast<uint8_t>(0x80 | bits) : bits;
}

// Writes the stream into a pty master at a steady pace, far above the meter's rate, from the
// moment the port listens (ReaderBack) until the slave is closed, which the master reports as a
// hang-up. A flood would not do: bytes that pile up in the terminal while the port is closed
// would rush in at the next open, and a dispatch buffer that fills before the notification
// window is registered is announced to nobody and, being full, reads nothing more, so no later
// announcement comes either.
class StreamWriter {
  public:
    // One chunk per Pace: about 240 KB/s, 250 times what the meter sends.
    static constexpr size_t Chunk = 61;  // not a multiple of the record size
    static constexpr auto Pace = std::chrono::microseconds(250);

    explicit StreamWriter(int master) : master_(master) {
        thread_ = std::thread([this] { Run(); });
    }
    ~StreamWriter() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    // The port has been opened on the slave and listens: the stream (re)starts.
    void ReaderBack() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            ++opens_;
        }
        changed_.notify_all();
    }
    uint64_t Written() const { return written_; }

  private:
    void Run() {
        std::array<uint8_t, Chunk> chunk{};
        uint64_t position = 0;
        uint64_t opens = 0;  // the opens seen; none yet
        auto slot = Clock::now();
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            changed_.wait(hold, [&] { return stopping_ || opens_ != opens; });
            if (stopping_) return;
            opens = opens_;
            hold.unlock();
            // Until the slave is closed again.
            for (;;) {
                pollfd fd{master_, POLLOUT, 0};
                ::poll(&fd, 1, 0);
                if (fd.revents & (POLLHUP | POLLERR)) break;
                for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = StreamByte(position + i);
                const ssize_t n = ::write(master_, chunk.data(), chunk.size());
                if (n > 0) position += static_cast<uint64_t>(n);
                written_ = position;
                slot = std::max(slot + Pace, Clock::now() - Pace * 4);
                hold.lock();
                if (changed_.wait_until(hold, slot, [&] { return stopping_; })) return;
                // A reopen that this writer did not see as a hang-up needs no wait.
                opens = opens_;
                hold.unlock();
            }
            hold.lock();
        }
    }

    const int master_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    uint64_t opens_ = 0;
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// What the handler took from one far end, one open period at a time. Each period must be a
// slice of the stream, in order and without gaps, and must begin after the previous one
// ended: bytes sent while the port was closed may be missing, but none may come twice.
class StreamCheck {
  public:
    void Take(const uint8_t* bytes, size_t count) {
        period_.insert(period_.end(), bytes, bytes + count);
    }
    size_t PeriodSize() const { return period_.size(); }

    // Checks and ends the current period; false (with a failure recorded) when it is wrong.
    bool EndPeriod(const char* what, int number) {
        SCOPED_TRACE(std::string(what) + " " + std::to_string(number));
        const std::vector<uint8_t> period = std::move(period_);
        period_.clear();
        size_t first = 0;
        while (first < period.size() && first < 4 && !(period[first] & 0x80)) ++first;
        if (first == period.size()) {
            EXPECT_LT(period.size(), 4u) << "no record start in a period";
            return !testing::Test::HasFailure();
        }
        if (first == 4 || period.size() - first < 4) {
            ADD_FAILURE() << "no whole record where one must be (" << period.size() << " bytes)";
            return false;
        }
        uint32_t sequence = 0;
        for (size_t i = first; i < first + 4; ++i) sequence = sequence << 7 | (period[i] & 0x7F);
        const uint64_t start = uint64_t{sequence} * 4 - first;
        if (start < next_) {
            ADD_FAILURE() << "bytes came twice or out of order: the period starts at " << start
                          << ", the previous one ended before " << next_;
            return false;
        }
        for (size_t i = 0; i < period.size(); ++i) {
            if (period[i] != StreamByte(start + i)) {
                ADD_FAILURE() << "byte " << i << " of " << period.size() << " at stream position "
                              << start + i << " is " << int{period[i]} << ", expected "
                              << int{StreamByte(start + i)};
                return false;
            }
        }
        next_ = start + period.size();
        return true;
    }
    uint64_t Next() const { return next_; }

  private:
    std::vector<uint8_t> period_;
    uint64_t next_ = 0;
};

// How the handler reads, varied from period to period.
enum class TakeMode { All, FrameRule, OneByte, CloseInside };

class ComPortStress : public testing::Test {
  protected:
    void Configure(TComPort& p, int n) { ConfigureFrontPanelPort(p, n); }
    // Reads according to mode into checks[current]; optionally closes the port from inside
    // the handler once enough has been taken.
    void Listen(TComPort& p) {
        p.SetOnTrigger([this, &p](TObject*, uint16_t msg, uint16_t, uint16_t) {
            if (msg != TriggerAvailMsg) return;
            StreamCheck& check = *current;
            uint16_t waiting = p.InputCount();  // 0 while the port is closing
            uint16_t take = 0;
            switch (mode) {
                case TakeMode::All:
                case TakeMode::CloseInside:
                    take = waiting;
                    break;
                case TakeMode::FrameRule:
                    take = waiting >= 13 ? 12 : 0;
                    break;
                case TakeMode::OneByte:
                    take = waiting > 0 ? 1 : 0;
                    break;
            }
            if (take > 0) {
                buffer.resize(take);
                p.ReadBlock(buffer.data(), take);
                check.Take(buffer.data(), take);
            }
            if (mode == TakeMode::CloseInside && check.PeriodSize() >= Enough) p.SetOpen(false);
        });
    }

    static constexpr size_t Enough = 16;
    StreamCheck* current = nullptr;
    TakeMode mode = TakeMode::All;
    std::vector<uint8_t> buffer;
};

TEST_F(ComPortStress, OpenCloseCyclesWhileTheFarEndStreamsLoseNothingWhileOpen) {
    constexpr int Cycles = 1000;
    TestPty pty(90);
    StreamWriter writer(pty.Master());
    StreamCheck check;
    current = &check;
    TComPort port;
    Configure(port, 90);
    Listen(port);
    const auto start = Clock::now();
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        mode = static_cast<TakeMode>(cycle % 4);
        port.SetOpen(true);
        ASSERT_EQ(port.PortState(), psOpen);
        writer.ReaderBack();
        ASSERT_TRUE(PumpUntil([&] {
            return check.PeriodSize() >= Enough || port.PortState() == psClosed;
        })) << "cycle "
            << cycle << ": only " << check.PeriodSize() << " bytes taken, " << port.InputCount()
            << " waiting";
        port.SetOpen(false);
        ASSERT_EQ(port.PortState(), psClosed);
        ASSERT_EQ(port.Dispatcher(), nullptr);
        ASSERT_TRUE(check.EndPeriod("cycle", cycle));
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    RecordProperty("cycle_ms_x1000", static_cast<int>(ms));
    EXPECT_GT(check.Next(), uint64_t{Cycles} * Enough);
    EXPECT_GE(writer.Written(), check.Next());
}

TEST_F(ComPortStress, MovingAnOpenPortBetweenTwoStreamingFarEndsLosesNothingWhileOpen) {
    constexpr int Moves = 100;
    TestPty first(91), second(92);
    StreamWriter firstWriter(first.Master()), secondWriter(second.Master());
    std::array<StreamCheck, 2> checks;
    std::array<StreamWriter*, 2> writers = {&firstWriter, &secondWriter};
    TComPort port;
    Configure(port, 91);
    Listen(port);
    current = &checks[0];
    port.SetOpen(true);
    firstWriter.ReaderBack();
    int on = 0;
    for (int move = 0; move <= Moves; ++move) {
        mode = static_cast<TakeMode>(move % 3);  // the handler leaves closing to the moves
        ASSERT_TRUE(PumpUntil([&] { return current->PeriodSize() >= Enough; }))
            << "move " << move << ": only " << current->PeriodSize() << " bytes arrived";
        if (move == Moves) break;
        const int to = 1 - on;
        port.SetComNumber(static_cast<uint16_t>(91 + to));
        ASSERT_EQ(port.PortState(), psOpen);
        ASSERT_EQ(port.ComNumber(), 91 + to);
        ASSERT_TRUE(checks[on].EndPeriod("move", move));
        on = to;
        current = &checks[on];
        writers[on]->ReaderBack();
    }
    port.SetOpen(false);
    ASSERT_TRUE(checks[on].EndPeriod("last period", Moves));
    EXPECT_GT(checks[0].Next(), 0u);
    EXPECT_GT(checks[1].Next(), 0u);
}

class ComPortHangUp : public ComPortStress {
  protected:
    // Frames taken by the front panel's rule.
    void ListenForFrames(TComPort& p) {
        p.SetOnTrigger([this, &p](TObject*, uint16_t msg, uint16_t, uint16_t) {
            if (msg != TriggerAvailMsg || p.InputCount() <= 12) return;
            std::string frame(12, '\0');
            p.ReadBlock(frame.data(), 12);
            if (frame[0] != '\xAA') p.DiscardInput();
            frames.push_back(frame);
        });
    }

    // Writes count frames through pty and waits for each to be taken: a frame is taken when
    // the first byte behind it (the next frame's header) has arrived.
    void SendFrames(TestPty& pty, int count) {
        const std::string frame =
            "\xAA"
            "0123456789a";
        const size_t before = frames.size();
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(pty.Write((i == 0 ? frame : frame.substr(1)) + "\xAA"));
            ASSERT_TRUE(PumpUntil([&] { return frames.size() == before + i + 1; }));
            EXPECT_EQ(frames.back(), frame);
        }
    }

    // After the far end went away: the main thread pumps messages for 2 s, and the whole
    // process must stay nearly idle meanwhile. Then the port closes, and opens on a new far
    // end that works.
    void ExpectQuietAndRecoverable(TComPort& p) {
        const double cpuBefore = ProcessCpuMs();
        const auto until = Clock::now() + std::chrono::seconds(2);
        int pumped = 0;
        for (auto now = Clock::now(); now < until; now = Clock::now()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
            AwaitMessage(static_cast<DWORD>(left.count()) + 1);
            pumped += k419::platform::PumpPendingMessages();
        }
        const double cpu = ProcessCpuMs() - cpuBefore;
        EXPECT_LT(cpu, 100.0) << "something spins after the hang-up (" << pumped
                              << " messages pumped)";
        EXPECT_EQ(p.PortState(), psOpen);
        EXPECT_TRUE(p.DeviceLost());  // the owner learns that only a reopen helps
        EXPECT_EQ(lostNotices, 1);    // and is told so once
        p.SendByte('\x0C');           // goes nowhere, but must neither fail nor hang

        p.SetOpen(false);
        EXPECT_EQ(p.PortState(), psClosed);
        EXPECT_EQ(p.Dispatcher(), nullptr);

        TestPty again(95);
        p.SetComNumber(95);
        p.SetOpen(true);
        ASSERT_EQ(p.PortState(), psOpen);
        SendFrames(again, 2);
        p.SendByte('K');
        EXPECT_EQ(again.Read(1), "K");
        EXPECT_FALSE(p.DeviceLost());
        p.SetOpen(false);
        EXPECT_FALSE(p.DeviceLost());
    }

    std::vector<std::string> frames;
    int lostNotices = 0;
};

TEST_F(ComPortHangUp, TheSimulatorKilledMidStreamLeavesNoSpinAndThePortReopens) {
    Simulator sim({"--rate", "200"});
    if (sim.Path().empty()) GTEST_SKIP() << "k419-sim is not built";
    setenv("K419_COM93", sim.Path().c_str(), 1);
    TComPort port;
    Configure(port, 93);
    ListenForFrames(port);
    port.SetDeviceLostHandler([this](TObject*) { ++lostNotices; });
    port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return frames.size() >= 5; }));
    sim.Kill();
    ExpectQuietAndRecoverable(port);
    unsetenv("K419_COM93");
}

// A driver that aborts the event wait (some USB adapters do; Wine does on a pseudo-terminal)
// is a lost device to the owner, not a port that silently receives nothing.
TEST_F(ComPortHangUp, AnAbortedEventWaitIsALostDevice) {
    TestPty pty(96);
    TComPort port;
    Configure(port, 96);
    ListenForFrames(port);
    port.SetDeviceLostHandler([this](TObject*) { ++lostNotices; });
    port.SetOpen(true);
    SendFrames(pty, 2);
    ASSERT_TRUE(PumpUntil([&] { return frames.size() >= 2; }));
    k419::platform::FailEventWaitsForTests(port.Dispatcher()->DeviceHandleValue(),
                                           ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(PumpUntil([&] { return lostNotices > 0; }));
    ExpectQuietAndRecoverable(port);
}

TEST_F(ComPortHangUp, AClosedFarEndWithBytesStillUnreadLeavesNoSpinAndThePortReopens) {
    TComPort port;
    {
        TestPty pty(94);
        Configure(port, 94);
        ListenForFrames(port);
        port.SetDeviceLostHandler([this](TObject*) { ++lostNotices; });
        port.SetOpen(true);
        SendFrames(pty, 4);
        ASSERT_TRUE(pty.Write("\x01"));
        ASSERT_TRUE(PumpUntil([&] { return port.InputCount() == 2; }));
        pty.CloseMaster();
    }
    EXPECT_EQ(port.InputCount(), 2);  // what arrived before the hang-up stays readable
    ExpectQuietAndRecoverable(port);
}

}  // namespace
