// The front panel window under load, offscreen: frames per second it shows when a meter on a
// pseudo-terminal sends as fast as the window takes them, its resident memory after 10,000 and
// 100,000 frames, and the time from starting the program to its first frame on screen; then
// what keeping the readings costs: the frame rate with recording, statistics and the plot all
// on beside the rate with all off, the CPU time at the line's 80 frames a second in three
// settings, and the memory after a million frames with the plot open.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PseudoTerminal.h"
#include "StallGuard.h"
#include "app/CompanionWindow.h"
#include "app/Form1.h"
#include "app/ReadingSession.h"
#include "meter/MeterFrame.h"
#include "sim/SimulatedMeter.h"

#ifndef K419_PROGRAM
#define K419_PROGRAM "k419"
#endif

namespace {

// Names the benchmark under way and hears of its progress, so that one that stalls is named and
// ends the program instead of hanging it (see StallGuard.h).
k419::bench::StallGuard* guard = nullptr;
void Phase(const char* name) {
    if (guard != nullptr) guard->Enter(name, "the window");
}
void Progress() {
    if (guard != nullptr) guard->Progress();
}

// A meter on COM1 that keeps two frames on the line ahead of the window: the window shows a
// frame once the next one begins, and a third frame would only wait in its buffer.
class FastMeter {
  public:
    FastMeter() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[256];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("cannot create a pseudo-terminal");
        }
        setenv("K419_COM1", name, 1);
        using namespace k419::sim;
        const Part part = DefaultPart(Component::Capacitor);
        SimulatedMeter meter(part, DefaultSettings(part.component), 1e-3, 7);
        for (int i = 0; i < 1024; ++i) frames_.push_back(meter.Measure());
    }
    ~FastMeter() {
        Stop();
        close(master_);
        unsetenv("K419_COM1");
    }

    // Starts sending `count` frames and one more, so that the last of them is shown.
    void Start(std::uint64_t count) {
        Stop();
        {
            std::lock_guard lock(mutex_);
            shown_ = 0;
            stop_ = false;
        }
        thread_ = std::thread([this, count] { Feed(count + 1); });
    }
    // Starts sending `count` frames at `rate` a second, whatever the window does with them.
    void StartPaced(double rate, std::uint64_t count) {
        Stop();
        {
            std::lock_guard lock(mutex_);
            stop_ = false;
        }
        thread_ = std::thread([this, rate, count] {
            const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(1.0 / rate));
            auto due = std::chrono::steady_clock::now();
            for (std::uint64_t i = 0; i < count; ++i, due += period) {
                std::unique_lock lock(mutex_);
                if (changed_.wait_until(lock, due, [&] { return stop_; })) return;
                lock.unlock();
                if (!WriteFrame(frames_[i % frames_.size()])) return;
            }
        });
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    void FrameShown() {
        {
            std::lock_guard lock(mutex_);
            ++shown_;
        }
        changed_.notify_all();
    }

  private:
    void Feed(std::uint64_t count) {
        for (std::uint64_t i = 0; i < count; ++i) {
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || i < shown_ + 2; });
                if (stop_) return;
            }
            if (!WriteFrame(frames_[i % frames_.size()])) return;
        }
    }

    bool WriteFrame(const k419::MeterFrame& f) {
        std::size_t done = 0;
        while (done < f.size()) {
            const ssize_t n = write(master_, f.data() + done, f.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    int master_ = -1;
    std::vector<k419::MeterFrame> frames_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t shown_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// Runs Qt's event loop until the window has shown `count` more frames; false on a stall.
bool ShowFrames(TForm1& form, FastMeter& meter, std::uint64_t count) {
    const std::uint64_t target = form.FramesShown() + count;
    QEventLoop loop;
    form.SetOnFrameShown([&](const k419::PanelTexts&) {
        meter.FrameShown();
        Progress();
        if (form.FramesShown() >= target) loop.quit();
    });
    // A stall is a minute without a frame shown, however long the whole batch takes.
    QTimer stall;
    std::uint64_t seen = form.FramesShown();
    QObject::connect(&stall, &QTimer::timeout, &loop, [&] {
        if (form.FramesShown() == seen) loop.exit(1);
        seen = form.FramesShown();
    });
    stall.start(60000);
    meter.Start(count);
    const bool ok = loop.exec() == 0;
    meter.Stop();
    form.SetOnFrameShown({});
    return ok;
}

long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// What the window keeps besides its displays, for the benchmarks that compare the costs.
enum Keeping { AllOff, RecordingAndStatistics, RecordingStatisticsAndPlot };

// Sets the window up to keep `keeping`, recording into a scratch file; returns its path.
std::string Keep(TForm1& form, Keeping keeping) {
    form.Session().SetKeeping(keeping != AllOff);
    if (keeping == AllOff) return {};
    char path[] = "/tmp/k419-bench-XXXXXX.csv";
    const int fd = mkstemps(path, 4);
    if (fd >= 0) close(fd);
    form.Session().StartRecording(path);
    if (keeping == RecordingStatisticsAndPlot) form.OpenCompanion();
    return path;
}

// Data rows of a recording.
long Rows(const std::string& path) {
    std::ifstream in(path);
    long lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines - 1;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_WindowFramesPerSecond(benchmark::State& state) {
    Phase("WindowFramesPerSecond");
    FastMeter meter;
    TForm1 form(",");
    form.show();
    const std::string recording = Keep(form, static_cast<Keeping>(state.range(1)));
    const std::uint64_t before = form.FramesShown();
    const auto batch = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        if (!ShowFrames(form, meter, batch)) {
            state.SkipWithError("the window stopped taking frames");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
    state.SetLabel(state.range(1) == AllOff ? "frames, all off"
                                            : "frames, recording, statistics and plot on");
    if (!recording.empty()) {
        form.Session().StopRecording();
        // Every frame taken is in the file, none twice.
        state.counters["rows_missing"] =
            static_cast<double>(form.FramesShown() - before) - static_cast<double>(Rows(recording));
        std::remove(recording.c_str());
    }
}
BENCHMARK(BM_WindowFramesPerSecond)
    ->Args({5000, AllOff})
    ->Args({5000, RecordingStatisticsAndPlot})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// CPU time of the whole process (the window, the serial engine's threads and the meter's
// writer) per second of a meter sending the line's 80 frames a second, in three settings on
// the same window. The settings take turns, nine rounds of two seconds each. On this virtual
// machine a round now and then counts up to four times its CPU time (the host takes the
// processor away and the guest charges that time to whatever ran), so each setting's figure
// is the least of its rounds, and what recording adds is the median of its differences from
// the all-off round just before it. Run it pinned to one processor (taskset -c 1) for figures
// that repeat within a millisecond or two.
double CpuPerSecondAtEighty(FastMeter& meter, double seconds) {
    Progress();
    const auto run = [](double s) {
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(s * 1000.0), &loop, &QEventLoop::quit);
        loop.exec();
    };
    meter.StartPaced(80.0, static_cast<std::uint64_t>(80.0 * (seconds + 1.0)));
    // Half a second before the measurement: what the switch of settings left behind (a
    // window being hidden, a recording file being removed) is not charged to the next one.
    run(0.5);
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    run(seconds);
    const double spent = CpuSeconds() - cpu;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    meter.Stop();
    return spent * 1000.0 / elapsed;
}

double Least(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_CpuAtEightyFramesPerSecond(benchmark::State& state) {
    Phase("CpuAtEightyFramesPerSecond");
    constexpr int Rounds = 9;
    constexpr double Seconds = 2.0;
    FastMeter meter;
    TForm1 form(",");
    form.show();
    ShowFrames(form, meter, 100);  // settled
    std::vector<double> figures[3];
    unsigned long redraws = 0;
    for (auto _ : state) {
        for (int round = 0; round < Rounds; ++round) {
            for (const Keeping keeping :
                 {AllOff, RecordingAndStatistics, RecordingStatisticsAndPlot}) {
                const std::string recording = Keep(form, keeping);
                const unsigned long redrawsBefore = form.Companion().PlotRedraws();
                figures[keeping].push_back(CpuPerSecondAtEighty(meter, Seconds));
                if (keeping == RecordingStatisticsAndPlot)
                    redraws += form.Companion().PlotRedraws() - redrawsBefore;
                form.Companion().hide();
                if (!recording.empty()) {
                    form.Session().StopRecording();
                    std::remove(recording.c_str());
                }
            }
        }
    }
    const double allOff = Least(figures[AllOff]);
    state.counters["all_off_ms_per_s"] = allOff;
    state.counters["recording_closed_ms_per_s"] = Least(figures[RecordingAndStatistics]);
    std::vector<double> extra;
    for (std::size_t i = 0; i < figures[AllOff].size(); ++i)
        extra.push_back(figures[RecordingAndStatistics][i] - figures[AllOff][i]);
    state.counters["recording_closed_extra_ms_per_s"] = Median(extra);
    state.counters["plot_open_ms_per_s"] = Least(figures[RecordingStatisticsAndPlot]);
    state.counters["plot_redraws_per_s"] =
        static_cast<double>(redraws) / (Rounds * (Seconds + 0.5));
    state.SetLabel(
        "least of 9 rounds: all off; recording and statistics, window closed; "
        "recording, statistics and plot open");
}
BENCHMARK(BM_CpuAtEightyFramesPerSecond)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// What keeping one frame costs the main thread on its own: the record made from the panel's
// values, its CSV row handed to the system, the statistics and the plot's history. Beside the
// whole-process figures above, which on this machine swing by more than this adds at 80 frames
// a second.
void BM_KeepOneFrame(benchmark::State& state) {
    Phase("KeepOneFrame");
    k419::app::ReadingSession session;
    char path[] = "/tmp/k419-bench-XXXXXX.csv";
    const int fd = mkstemps(path, 4);
    if (fd >= 0) close(fd);
    if (state.range(0) != 0) session.StartRecording(path);
    k419::Reading reading;
    reading.time = std::chrono::system_clock::now();
    reading.primary = 'C';
    reading.primaryUnit = "F";
    reading.primaryValue.value = 1.00012e-7;
    reading.capacitance = reading.primaryValue;
    reading.secondary = 'D';
    reading.secondaryValue.value = 0.00101;
    reading.ratioF = reading.secondaryValue;
    reading.range = 3;
    reading.frequencyHz = 1000;
    reading.levelVolts = 1.0;
    for (auto _ : state) {
        reading.time += std::chrono::microseconds(12500);
        session.Take(reading);
    }
    session.StopRecording();
    std::remove(path);
    state.SetLabel(state.range(0) != 0 ? "recording and statistics" : "statistics only");
}
BENCHMARK(BM_KeepOneFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// A meter behind a USB adapter that is pulled out and plugged in again: COM1 is a fixed path
// re-pointed at a new pseudo-terminal at every plug, and the meter sends 80 frames a second
// whenever it is plugged in. A pull may take the path's folder with it (as udev removes
// /dev/serial/by-id with the last adapter); the next plug makes it again.
class PluggableMeter {
  public:
    PluggableMeter() {
        char dir[] = "/tmp/k419-bench-link-XXXXXX";
        base_ = mkdtemp(dir) != nullptr ? dir : "/tmp";
        dir_ = base_ + "/by-id";
        link_ = dir_ + "/ttyUSB0";
        mkdir(dir_.c_str(), 0755);
        setenv("K419_COM1", link_.c_str(), 1);
        using namespace k419::sim;
        const Part part = DefaultPart(Component::Capacitor);
        SimulatedMeter meter(part, DefaultSettings(part.component), 1e-3, 7);
        for (int i = 0; i < 256; ++i) frames_.push_back(meter.Measure());
        thread_ = std::thread([this] { Feed(); });
    }
    ~PluggableMeter() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        plugged_.notify_all();
        thread_.join();
        Pull(true);
        unsetenv("K419_COM1");
        rmdir(base_.c_str());
    }
    void Plug() {
        std::lock_guard lock(mutex_);
        plugged_.notify_all();
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[256];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("cannot create a pseudo-terminal");
        }
        mkdir(dir_.c_str(), 0755);
        unlink(link_.c_str());
        if (symlink(name, link_.c_str()) != 0) throw std::runtime_error("cannot link");
    }
    void Pull(bool folder = false) {
        std::lock_guard lock(mutex_);
        if (master_ >= 0) close(master_);
        master_ = -1;
        unlink(link_.c_str());
        if (folder) rmdir(dir_.c_str());
    }

  private:
    void Feed() {
        auto due = std::chrono::steady_clock::now();
        for (std::size_t i = 0;; ++i) {
            due += std::chrono::microseconds(12500);
            std::this_thread::sleep_until(due);
            std::unique_lock lock(mutex_);
            if (master_ < 0) {
                // Unplugged: nothing to do until it is plugged in again.
                plugged_.wait(lock, [&] { return stop_ || master_ >= 0; });
                due = std::chrono::steady_clock::now();
            }
            if (stop_) return;
            const k419::MeterFrame& f = frames_[i % frames_.size()];
            [[maybe_unused]] const ssize_t n = write(master_, f.data(), f.size());
        }
    }

    std::string base_, dir_, link_;
    std::vector<k419::MeterFrame> frames_;
    std::mutex mutex_;
    std::condition_variable plugged_;
    int master_ = -1;
    bool stop_ = false;
    std::thread thread_;
};

// Runs Qt's event loop (and so the window's link supervision) until `done` or `ms` passed.
bool RunUntil(const std::function<bool()>& done, int ms) {
    Progress();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Twenty-four unplug/replug cycles, a third each of three kinds: back at once (a 0 ms gap, an
// adapter that resets), back after a second or so (ending at any point of the window's checks),
// and back after a second in a folder made again. For each the time from the device's return to
// the first frame shown once the link is back (median and worst, and the worst of each kind);
// and the CPU time per second while the device is missing. Goal: back within 300 ms every time.
void BM_LinkRecovery(benchmark::State& state) {
    Phase("LinkRecovery");
    enum Kind { AtOnce, AfterASecond, FolderMadeAgain, Kinds };
    PluggableMeter meter;
    meter.Plug();
    TForm1 form(",");
    form.show();
    bool back = false;
    std::uint64_t framesAtBack = 0;
    form.SetOnLinkChanged([&](TForm1::LinkChange change, const std::string&) {
        if (change != TForm1::LinkChange::Back) return;
        back = true;
        framesAtBack = form.FramesShown();
    });
    std::vector<double> times, idle;
    double worst[Kinds] = {};
    for (auto _ : state) {
        for (int cycle = 0; cycle < 24; ++cycle) {
            const Kind kind = static_cast<Kind>(cycle % Kinds);
            if (!RunUntil([&] { return form.FramesShown() > 0 && !form.WaitingForDevice(); },
                          10000)) {
                state.SkipWithError("no frames");
                return;
            }
            back = false;
            if (kind == AtOnce) {
                meter.Pull();
            } else {
                meter.Pull(kind == FolderMadeAgain);
                if (!RunUntil([&] { return form.WaitingForDevice(); }, 5000)) {
                    state.SkipWithError("the loss was not noticed");
                    return;
                }
                // Measured once the close has finished (its threads' ends are not the wait's
                // cost).
                QEventLoop settle;
                QTimer::singleShot(300, &settle, &QEventLoop::quit);
                settle.exec();
                const double cpu = CpuSeconds();
                const auto missing = std::chrono::steady_clock::now();
                QEventLoop away;
                QTimer::singleShot(1000 + (cycle * 37) % 250, &away, &QEventLoop::quit);
                away.exec();
                idle.push_back(
                    (CpuSeconds() - cpu) * 1000.0 /
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - missing)
                        .count());
            }
            meter.Plug();
            const auto plugged = std::chrono::steady_clock::now();
            if (!RunUntil([&] { return back && form.FramesShown() > framesAtBack; }, 10000)) {
                state.SkipWithError("the readings did not come back");
                return;
            }
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - plugged)
                                  .count();
            times.push_back(ms);
            worst[kind] = std::max(worst[kind], ms);
        }
    }
    std::sort(times.begin(), times.end());
    std::sort(idle.begin(), idle.end());
    state.counters["back_median_ms"] = times[times.size() / 2];
    state.counters["back_worst_ms"] = times.back();
    state.counters["at_once_worst_ms"] = worst[AtOnce];
    state.counters["after_1s_worst_ms"] = worst[AfterASecond];
    state.counters["new_folder_worst_ms"] = worst[FolderMadeAgain];
    state.counters["missing_cpu_ms_per_s"] = idle[idle.size() / 2];
}
BENCHMARK(BM_LinkRecovery)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Resident memory with the plot open after 10,000 and after 1,000,000 frames: the plot keeps
// a bounded picture, so a day of readings costs no more than a minute.
void BM_PlotResidentMemory(benchmark::State& state) {
    Phase("PlotResidentMemory");
    FastMeter meter;
    TForm1 form(",");
    form.show();
    form.OpenCompanion();
    for (auto _ : state) {
        if (!ShowFrames(form, meter, 10000)) {
            state.SkipWithError("the window stopped taking frames");
            return;
        }
        state.counters["rss_10k_kB"] = static_cast<double>(ResidentKilobytes());
        if (!ShowFrames(form, meter, 990000)) {
            state.SkipWithError("the window stopped taking frames");
            return;
        }
        state.counters["rss_1M_kB"] = static_cast<double>(ResidentKilobytes());
    }
    state.counters["growth_kB"] = state.counters["rss_1M_kB"] - state.counters["rss_10k_kB"];
}
BENCHMARK(BM_PlotResidentMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_WindowResidentMemory(benchmark::State& state) {
    Phase("WindowResidentMemory");
    FastMeter meter;
    TForm1 form(",");
    form.show();
    for (auto _ : state) {
        if (!ShowFrames(form, meter, 10000)) {
            state.SkipWithError("the window stopped taking frames");
            return;
        }
        state.counters["rss_10k_kB"] = static_cast<double>(ResidentKilobytes());
        if (!ShowFrames(form, meter, 90000)) {
            state.SkipWithError("the window stopped taking frames");
            return;
        }
        state.counters["rss_100k_kB"] = static_cast<double>(ResidentKilobytes());
    }
    state.counters["growth_kB"] = state.counters["rss_100k_kB"] - state.counters["rss_10k_kB"];
}
BENCHMARK(BM_WindowResidentMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// The program to start: K419_BENCH_PROGRAM names another build of it (to compare before and
// after a change), else the one built beside this benchmark.
const char* Program() {
    const char* other = std::getenv("K419_BENCH_PROGRAM");
    return other != nullptr && *other != '\0' ? other : K419_PROGRAM;
}

// In a child process: becomes the program without a display, with `argument` (or none), its
// standard output on `out` and its messages dropped.
[[noreturn]] void BecomeHeadlessProgram(int out, const char* argument) {
    dup2(out, STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    execl(Program(), Program(), argument, static_cast<char*>(nullptr));
    _exit(127);
}

// How far the panel stays behind the meter after the machine stopped it for a while (a busy
// machine, a suspended laptop): k419 runs headless against a meter on a pseudo-terminal that
// sends 10 numbered frames a second for 12 s; after three seconds of frames the program is
// stopped for three seconds (SIGSTOP, SIGCONT), and each line it prints is timed against when its
// frame was sent. A frame is shown once the next one begins, so 100 ms is the least lag there is.
void BM_LagAfterAPause(benchmark::State& state) {
    Phase("LagAfterAPause");
    using Clock = std::chrono::steady_clock;
    constexpr int Rate = 10;
    for (auto _ : state) {
        std::string name;
        const int master = k419::bench::OpenPseudoTerminal(name);
        if (master < 0) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipe");
            return;
        }
        const pid_t child = fork();
        if (child == 0) {
            setenv("K419_COM1", name.c_str(), 1);
            setenv("LC_ALL", "C", 1);
            BecomeHeadlessProgram(out[1], nullptr);
        }
        close(out[1]);
        // Frame n carries n as its first number: resistance in range 8, shown "R n.000  Oм".
        std::vector<Clock::time_point> sent;
        std::vector<std::pair<int, Clock::time_point>> shown;
        std::string pending;
        const auto readLines = [&](int waitMs) {
            pollfd p{out[0], POLLIN, 0};
            char buffer[4096];
            while (poll(&p, 1, waitMs) > 0) {
                const ssize_t n = read(out[0], buffer, sizeof buffer);
                if (n <= 0) return;
                const auto now = Clock::now();
                pending.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    if (line.rfind("R ", 0) == 0)
                        shown.emplace_back(std::atoi(line.c_str() + 2), now);
                }
                waitMs = 0;
            }
        };
        const auto start = Clock::now();
        Clock::time_point resumed{};
        for (int n = 1; n <= 12 * Rate; ++n) {
            const auto due = start + std::chrono::milliseconds(1000 * (n - 1) / Rate);
            while (Clock::now() < due) {
                readLines(static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count()));
            }
            if (n == 3 * Rate + 1) kill(child, SIGSTOP);
            if (n == 6 * Rate + 1) {
                kill(child, SIGCONT);
                resumed = Clock::now();
            }
            k419::MeterFrame f{k419::FrameHeader};
            const auto first = *k419::EncodeMeterNumber(n), second = *k419::EncodeMeterNumber(1);
            std::copy(first.begin(), first.end(), f.begin() + 1);
            std::copy(second.begin(), second.end(), f.begin() + 5);
            f[9] = 8;      // range 8: R is the first number itself
            f[10] = 0x12;  // R, 1 kHz
            sent.push_back(Clock::now());
            Progress();
            [[maybe_unused]] const ssize_t written = write(master, f.data(), f.size());
        }
        readLines(500);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        close(out[0]);
        close(master);
        // The lag of the frames sent before the pause and one second after it, and of the
        // last frame shown.
        const auto lagOf = [&](double sentAtSeconds) {
            const auto when =
                start + std::chrono::milliseconds(static_cast<int>(sentAtSeconds * 1000));
            for (const auto& [n, at] : shown) {
                if (n >= 1 && n <= static_cast<int>(sent.size()) && sent[n - 1] >= when)
                    return std::chrono::duration<double, std::milli>(at - sent[n - 1]).count();
            }
            return -1.0;
        };
        state.counters["lag_before_ms"] = lagOf(2.0);
        state.counters["lag_1s_after_ms"] =
            lagOf(std::chrono::duration<double>(resumed - start).count() + 1.0);
        if (!shown.empty() && shown.back().first >= 1 &&
            shown.back().first <= static_cast<int>(sent.size())) {
            state.counters["lag_last_ms"] = std::chrono::duration<double, std::milli>(
                                                shown.back().second - sent[shown.back().first - 1])
                                                .count();
        }
        state.counters["frames_shown"] = static_cast<double>(shown.size());
    }
}
BENCHMARK(BM_LagAfterAPause)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Starts `k419 --simulate` without a display and waits for its first line: the first frame
// on the panel.
void BM_StartToFirstFrame(benchmark::State& state) {
    Phase("StartToFirstFrame");
    for (auto _ : state) {
        Progress();
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipe");
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) BecomeHeadlessProgram(out[1], "--simulate");
        close(out[1]);
        char c = 0;
        bool line = false;
        pollfd p{out[0], POLLIN, 0};
        while (!line && poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1) line = c == '\n';
        const auto elapsed = std::chrono::steady_clock::now() - start;
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        close(out[0]);
        if (!line) {
            state.SkipWithError("k419 --simulate showed no frame");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    }
}
BENCHMARK(BM_StartToFirstFrame)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    k419::bench::StallGuard stallGuard("bench_app");
    guard = &stallGuard;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
