// End-to-end figures of the receive path over pseudo-terminals: from the far end's write on the
// pty master to the bytes taken on the main thread. The port component (OnTrigger, InputCount,
// ReadBlock, with its event, dispatch and output threads) is measured side by side with a plain
// poll+read loop on the slave and, when built with Qt, a QSerialPort readyRead reader:
//
//   throughput   a far-end thread writes a block as fast as the reader takes it; the handler
//                takes everything waiting each time;
//   latency      the far end writes a frame, then, once the reader has seen its 12 bytes and
//                gone idle, the first byte of the next frame; measured from that write to the
//                handler taking the frame (12 bytes once 13 are waiting, as the front panel's
//                receive handler does);
//   CPU          process CPU time per second of wall time while the port is open and idle,
//                and while it receives a 9600-baud frame stream (12-byte frames written
//                whole at 80 per second, and the same bytes one at a time as a UART
//                delivers them), together with the thread wake-ups per second;
//   hand-over    the platform layer alone, used as Win32 programs use it: a thread blocks in
//                GetOverlappedResult for a few event waits, then issues one more and sleeps
//                on the record's event (WaitForSingleObject) instead; measured from the far
//                end's write to that thread waking with the receive event.
//
// A plain program rather than Google Benchmark fixtures: each figure needs a far-end thread, a
// main thread that runs its reader's own loop, and a comparison across readers in one table.
// Run: bench_serial_e2e [--mib N] [--runs N] [--samples N] [--seconds S] [--rounds N]
//                       [--only throughput|latency|cpu|handover] [--reader NAME]
//                       [--stream idle|frames|bytes]        (--help says more)
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "StallGuard.h"
#include "platform/PlatformHooks.h"
#include "serial/ComPort.h"

#ifdef K419_BENCH_QSERIALPORT
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

long CurrentTid() { return static_cast<long>(syscall(SYS_gettid)); }

// One thread's share: its name, its CPU time and its context switches (each is a wake-up of a
// thread that had gone to sleep, or a preemption).
struct ThreadSample {
    std::string Name;
    double CpuMs = 0;
    long Switches = 0;
};

// Every thread of the process but one, by thread id. CPU time comes from schedstat (nanoseconds)
// rather than stat, whose clock ticks are too coarse for a few seconds of a light thread.
std::map<long, ThreadSample> SampleThreads(long excludedTid = 0) {
    std::map<long, ThreadSample> samples;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return samples;
    while (dirent* entry = readdir(tasks)) {
        const long tid = std::atol(entry->d_name);
        if (entry->d_name[0] == '.' || tid == excludedTid) continue;
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        ThreadSample& sample = samples[tid];
        std::ifstream(dir + "/comm") >> sample.Name;
        double runNs = 0;
        std::ifstream(dir + "/schedstat") >> runNs;
        sample.CpuMs = runNs / 1e6;
        std::ifstream status(dir + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                sample.Switches += std::atol(line.c_str() + line.find(':') + 1);
        }
    }
    closedir(tasks);
    return samples;
}

long ContextSwitches(const std::map<long, ThreadSample>& samples) {
    long total = 0;
    for (const auto& [tid, sample] : samples) total += sample.Switches;
    return total;
}

// ---------------------------------------------------------------------------------------------
// The far end

class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[256];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        slave_ = name;
    }
    ~Pty() { ::close(master_); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return slave_; }

    // Writes everything, waiting for room as the reader takes bytes.
    void Write(const uint8_t* data, size_t count) {
        for (size_t done = 0; done < count;) {
            const ssize_t n = ::write(master_, data + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("far end write failed");
            pollfd fd{master_, POLLOUT, 0};
            ::poll(&fd, 1, 1000);
        }
    }

  private:
    int master_ = -1;
    std::string slave_;
};

// A far-end thread; its own CPU time is left out of the process figures.
class FarEnd {
  public:
    explicit FarEnd(std::function<void()> body) {
        thread_ = std::thread([this, body = std::move(body)] {
            tid_ = CurrentTid();
            started_ = true;
            started_.notify_all();
            body();
            cpuMs_ = ThreadCpuMs();
        });
        started_.wait(false);
    }
    ~FarEnd() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    long Tid() const { return tid_; }
    double CpuMs() {
        Join();
        return cpuMs_;
    }

  private:
    std::thread thread_;
    std::atomic<bool> started_{false};
    std::atomic<long> tid_{0};
    double cpuMs_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Readers: each runs its own loop on the main thread and calls a handler whenever bytes
// arrived, through which the handler sees how many are waiting and takes some.

class Intake {
  public:
    virtual ~Intake() = default;
    virtual size_t Waiting() = 0;
    virtual void Take(uint8_t* dest, size_t count) = 0;
};
using Handler = std::function<void(Intake&)>;

class Reader {
  public:
    virtual ~Reader() = default;
    virtual const char* Name() const = 0;
    virtual void Open(const std::string& path) = 0;
    // Runs until stop() holds after a handler call, or until the deadline.
    virtual void Run(const Handler& handler, const std::function<bool()>& stop,
                     Clock::time_point deadline) = 0;
    virtual void Close() = 0;
};

// The port component on COM50, mapped to the slave.
class ComponentReader : public Reader, private Intake {
  public:
    const char* Name() const override { return "TComPort"; }
    void Open(const std::string& path) override {
        setenv("K419_COM50", path.c_str(), 1);
        port_ = std::make_unique<TComPort>();
        port_->SetComNumber(50);
        port_->SetBaud(9600);
        port_->SetRTS(false);
        port_->SetBufferFull(3686);
        port_->SetBufferResume(409);
        port_->SetOnTrigger([this](TObject*, uint16_t msg, uint16_t, uint16_t) {
            if (msg != TriggerAvailMsg || !handler_) return;
            (*handler_)(*this);
            if ((*stop_)()) stopped_ = true;
        });
        port_->SetOpen(true);
    }
    void Run(const Handler& handler, const std::function<bool()>& stop,
             Clock::time_point deadline) override {
        handler_ = &handler;
        stop_ = &stop;
        stopped_ = stop();
        for (auto now = Clock::now(); !stopped_ && now < deadline; now = Clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()),
                                      QS_ALLINPUT);
            k419::platform::PumpPendingMessages();
        }
        handler_ = nullptr;
        stop_ = nullptr;
    }
    void Close() override {
        port_.reset();
        unsetenv("K419_COM50");
    }

  private:
    size_t Waiting() override { return port_->InputCount(); }
    void Take(uint8_t* dest, size_t count) override {
        port_->ReadBlock(dest, static_cast<uint16_t>(count));
    }

    std::unique_ptr<TComPort> port_;
    const Handler* handler_ = nullptr;
    const std::function<bool()>* stop_ = nullptr;
    bool stopped_ = false;
};

// The slave opened non-blocking and set raw, as the readers without the component use it.
int OpenRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// What a reader without the component read and its handler has not taken yet.
class SlaveBytes {
  public:
    void Clear() {
        buffer_.assign(65536, 0);
        head_ = tail_ = 0;
    }
    // Reads what the slave holds, after making room at the front for bytes the handler left;
    // false when nothing came.
    bool ReadFrom(int fd) {
        if (tail_ == head_) head_ = tail_ = 0;
        if (head_ == buffer_.size()) {
            std::memmove(buffer_.data(), buffer_.data() + tail_, head_ - tail_);
            head_ -= tail_;
            tail_ = 0;
        }
        const ssize_t n = ::read(fd, buffer_.data() + head_, buffer_.size() - head_);
        if (n <= 0) return false;
        head_ += static_cast<size_t>(n);
        return true;
    }
    size_t Waiting() const { return head_ - tail_; }
    void Take(uint8_t* dest, size_t count) {
        std::memcpy(dest, buffer_.data() + tail_, count);
        tail_ += count;
    }

  private:
    std::vector<uint8_t> buffer_;
    size_t head_ = 0, tail_ = 0;
};

// A plain poll+read loop on the raw slave, keeping what it read in its own buffer.
class PlainReader : public Reader, private Intake {
  public:
    const char* Name() const override { return "poll+read"; }
    void Open(const std::string& path) override {
        fd_ = OpenRaw(path);
        bytes_.Clear();
    }
    void Run(const Handler& handler, const std::function<bool()>& stop,
             Clock::time_point deadline) override {
        if (stop()) return;
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            pollfd fd{fd_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            if (!bytes_.ReadFrom(fd_)) continue;
            handler(*this);
            if (stop()) return;
        }
    }
    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    size_t Waiting() override { return bytes_.Waiting(); }
    void Take(uint8_t* dest, size_t count) override { bytes_.Take(dest, count); }

    int fd_ = -1;
    SlaveBytes bytes_;
};

// The least the component's thread structure can cost: an event thread that reads the bytes
// itself, a dispatch thread and a blocking send to the main thread, in lock step, each hand-off
// a bare futex wake and wait, and nothing else. The figure a hand-off of the component compares
// with on the same machine in the same sitting.
class LockStepReader : public Reader, private Intake {
  public:
    const char* Name() const override { return "design floor"; }
    void Open(const std::string& path) override {
        fd_ = OpenRaw(path);
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        bytes_.Clear();
        stopping_ = false;
        // Each thread waits for its counter to move on from where it stood before either thread
        // started: read later, a post made meanwhile would already be counted and its wake-up
        // lost, and both threads would wait for ever.
        const uint32_t processed = processed_.load();
        const uint32_t arrived = arrived_.load();
        messagesSeen_ = message_.load();
        event_ = std::thread([this, processed] {
            pthread_setname_np(pthread_self(), "floor-event");
            EventLoop(processed);
        });
        dispatch_ = std::thread([this, arrived] {
            pthread_setname_np(pthread_self(), "floor-dispatch");
            DispatchLoop(arrived);
        });
    }
    void Run(const Handler& handler, const std::function<bool()>& stop,
             Clock::time_point deadline) override {
        if (stop()) return;
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
            timespec timeout{static_cast<time_t>(left.count() / 1000000000),
                             static_cast<long>(left.count() % 1000000000)};
            if (!Await(message_, messagesSeen_, &timeout)) continue;
            messagesSeen_ = message_.load(std::memory_order_acquire);
            handler(*this);
            Post(reply_);
            if (stop()) return;
        }
    }
    void Close() override {
        stopping_ = true;
        const uint64_t one = 1;
        ssize_t ignored = ::write(stopFd_, &one, sizeof one);
        (void)ignored;
        Post(arrived_);
        Post(reply_);
        Post(processed_);
        event_.join();
        dispatch_.join();
        ::close(stopFd_);
        ::close(fd_);
        fd_ = stopFd_ = -1;
    }

  private:
    static long Futex(std::atomic<uint32_t>& word, int op, uint32_t value,
                      const timespec* timeout = nullptr) {
        return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG,
                       value, timeout, nullptr, 0);
    }
    static void Post(std::atomic<uint32_t>& word) {
        word.fetch_add(1, std::memory_order_release);
        Futex(word, FUTEX_WAKE, 1);
    }
    // Waits until the word is no longer `seen`; false when the time-out passed first.
    static bool Await(std::atomic<uint32_t>& word, uint32_t seen, const timespec* timeout) {
        while (word.load(std::memory_order_acquire) == seen) {
            if (Futex(word, FUTEX_WAIT, seen, timeout) == -1 && errno == ETIMEDOUT)
                return word.load(std::memory_order_acquire) != seen;
        }
        return true;
    }

    void EventLoop(uint32_t processed) {
        while (!stopping_) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || stopping_) continue;
            if (!bytes_.ReadFrom(fd_)) continue;
            Post(arrived_);
            Await(processed_, processed, nullptr);
            processed = processed_.load(std::memory_order_acquire);
        }
    }
    void DispatchLoop(uint32_t arrived) {
        while (!stopping_) {
            Await(arrived_, arrived, nullptr);
            arrived = arrived_.load(std::memory_order_acquire);
            if (stopping_) break;
            const uint32_t replies = reply_.load(std::memory_order_acquire);
            Post(message_);
            Await(reply_, replies, nullptr);
            Post(processed_);
        }
    }

    size_t Waiting() override { return bytes_.Waiting(); }
    void Take(uint8_t* dest, size_t count) override { bytes_.Take(dest, count); }

    int fd_ = -1;
    int stopFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<uint32_t> arrived_{0}, message_{0}, reply_{0}, processed_{0};
    uint32_t messagesSeen_ = 0;
    std::thread event_, dispatch_;
    SlaveBytes bytes_;  // touched by one thread at a time: the threads run in lock step
};

#ifdef K419_BENCH_QSERIALPORT
// QSerialPort with its readyRead signal, on a QEventLoop of the main thread.
class QtReader : public Reader, private Intake {
  public:
    const char* Name() const override { return "QSerialPort"; }
    void Open(const std::string& path) override {
        port_ = std::make_unique<QSerialPort>();
        port_->setPortName(QString::fromStdString(path));
        if (!port_->open(QIODevice::ReadWrite))
            throw std::runtime_error("QSerialPort cannot open " + path + ": " +
                                     port_->errorString().toStdString());
        port_->setBaudRate(9600);
        port_->setDataBits(QSerialPort::Data8);
        port_->setParity(QSerialPort::NoParity);
        port_->setStopBits(QSerialPort::OneStop);
        port_->setFlowControl(QSerialPort::NoFlowControl);
    }
    void Run(const Handler& handler, const std::function<bool()>& stop,
             Clock::time_point deadline) override {
        if (stop()) return;
        QEventLoop loop;
        auto connection = QObject::connect(port_.get(), &QSerialPort::readyRead, [&] {
            handler(*this);
            if (stop()) loop.quit();
        });
        QTimer end;
        end.setSingleShot(true);
        QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        end.start(static_cast<int>(std::max<long long>(0, left.count())));
        // Bytes may have been buffered before the connection existed.
        if (port_->bytesAvailable() > 0) handler(*this);
        if (!stop()) loop.exec();
        QObject::disconnect(connection);
    }
    void Close() override { port_.reset(); }

  private:
    size_t Waiting() override { return static_cast<size_t>(port_->bytesAvailable()); }
    void Take(uint8_t* dest, size_t count) override {
        port_->read(reinterpret_cast<char*>(dest), static_cast<qint64>(count));
    }

    std::unique_ptr<QSerialPort> port_;
};
#endif

std::vector<std::unique_ptr<Reader>> AllReaders() {
    std::vector<std::unique_ptr<Reader>> readers;
    readers.push_back(std::make_unique<ComponentReader>());
    readers.push_back(std::make_unique<PlainReader>());
    readers.push_back(std::make_unique<LockStepReader>());
#ifdef K419_BENCH_QSERIALPORT
    readers.push_back(std::make_unique<QtReader>());
#endif
    return readers;
}

bool IsComponent(const Reader& reader) { return dynamic_cast<const ComponentReader*>(&reader); }

constexpr auto NoDeadline = std::chrono::hours(1);

// ---------------------------------------------------------------------------------------------
// Throughput

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return data;
}

// MB/s (10^6 bytes) from the far end's first write to the handler taking the last byte.
double Throughput(Reader& reader, const std::vector<uint8_t>& data) {
    Pty pty;
    reader.Open(pty.SlavePath());
    size_t received = 0;
    bool corrupt = false;
    std::vector<uint8_t> chunk(65536);
    Handler takeAll = [&](Intake& in) {
        const size_t n = std::min(in.Waiting(), chunk.size());
        if (n == 0) return;
        in.Take(chunk.data(), n);
        if (received + n > data.size() || std::memcmp(chunk.data(), &data[received], n) != 0)
            corrupt = true;
        received += n;
    };
    std::atomic<Clock::time_point> start{};
    FarEnd writer([&] {
        start = Clock::now();
        pty.Write(data.data(), data.size());
    });
    const auto allTaken = [&] { return received >= data.size() || corrupt; };
    reader.Run(takeAll, allTaken, Clock::now() + std::chrono::seconds(60));
    const auto end = Clock::now();
    writer.Join();
    reader.Close();
    if (corrupt || received != data.size()) {
        std::printf("  %s: received %zu of %zu bytes%s\n", reader.Name(), received, data.size(),
                    corrupt ? ", CORRUPTED" : "");
        return 0;
    }
    return static_cast<double>(data.size()) / 1e6 / Seconds(end - start.load());
}

// ---------------------------------------------------------------------------------------------
// Latency

struct LatencyFigures {
    double MedianUs = 0, P99Us = 0, MaxUs = 0;
    size_t Samples = 0;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[index];
}

LatencyFigures Latency(Reader& reader, int samples) {
    constexpr int Warmup = 50;
    const uint8_t frame[12] = {0xAA, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    Pty pty;
    reader.Open(pty.SlavePath());

    std::mutex mutex;
    std::condition_variable changed;
    bool twelveWaiting = false, taken = false;
    std::atomic<bool> failed{false};
    Clock::time_point takenAt;
    Handler frameRule = [&](Intake& in) {
        const size_t waiting = in.Waiting();
        uint8_t got[12];
        if (waiting >= 13) {
            in.Take(got, 12);
            const auto now = Clock::now();
            std::lock_guard<std::mutex> hold(mutex);
            takenAt = now;
            taken = true;
            if (std::memcmp(got, frame, 12) != 0) failed = true;
        } else if (waiting == 12) {
            std::lock_guard<std::mutex> hold(mutex);
            twelveWaiting = true;
        } else {
            return;
        }
        changed.notify_all();
    };

    std::vector<double> latencies;
    std::atomic<bool> done{false};
    FarEnd farEnd([&] {
        for (int i = 0; i < Warmup + samples && !failed; ++i) {
            // The rest of the frame (all of it the first time): the reader now holds 12 bytes.
            {
                std::lock_guard<std::mutex> hold(mutex);
                twelveWaiting = taken = false;
            }
            if (i == 0)
                pty.Write(frame, 12);
            else
                pty.Write(frame + 1, 11);
            std::unique_lock<std::mutex> hold(mutex);
            if (!changed.wait_for(hold, std::chrono::seconds(5), [&] { return twelveWaiting; })) {
                failed = true;
                break;
            }
            hold.unlock();
            // The meter's next byte comes about a millisecond later; the reader is idle again.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto sentAt = Clock::now();
            pty.Write(frame, 1);
            hold.lock();
            if (!changed.wait_for(hold, std::chrono::seconds(5), [&] { return taken; })) {
                failed = true;
                break;
            }
            if (i >= Warmup) latencies.push_back(Micros(takenAt - sentAt));
        }
        done = true;
        pty.Write(frame, 1);  // one more arrival, so that the reader sees it is done
    });
    const auto farEndDone = [&] { return done.load(); };
    reader.Run(frameRule, farEndDone, Clock::now() + NoDeadline);
    farEnd.Join();
    reader.Close();

    LatencyFigures figures;
    if (failed) {
        std::printf("  %s: the latency run failed after %zu samples\n", reader.Name(),
                    latencies.size());
        return figures;
    }
    figures.Samples = latencies.size();
    figures.MedianUs = Percentile(latencies, 0.5);
    figures.P99Us = Percentile(latencies, 0.99);
    figures.MaxUs = Percentile(latencies, 1.0);
    return figures;
}

// ---------------------------------------------------------------------------------------------
// CPU time

struct CpuFigures {
    double MsPerSecond = 0;
    double WakeupsPerSecond = 0;
    size_t Frames = 0;
    std::vector<ThreadSample> Threads;  // per second of wall time; the main thread is "main"
};

enum class Stream { None, Frames, Bytes };

// Runs the reader for the given wall time while the far end is silent or sends 12-byte frames
// at 9600 baud (80 frames a second), whole or byte by byte; the handler takes frames by the
// front panel's rule. The far end's own CPU time and wake-ups are left out.
CpuFigures Cpu(Reader& reader, Stream stream, double seconds) {
    const uint8_t frame[12] = {0xAA, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    Pty pty;
    reader.Open(pty.SlavePath());
    size_t frames = 0;
    Handler frameRule = [&](Intake& in) {
        if (in.Waiting() < 13) return;
        uint8_t got[12];
        in.Take(got, 12);
        ++frames;
    };

    // Let the open settle (the start acknowledgements, the first periodic checks).
    const auto never = [] { return false; };
    reader.Run(frameRule, never, Clock::now() + std::chrono::milliseconds(200));

    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::unique_ptr<FarEnd> farEnd;
    if (stream != Stream::None) {
        farEnd = std::make_unique<FarEnd>([&] {
            // 12 bytes of 10 bits at 9600 baud: 12.5 ms a frame, 1.04 ms a byte.
            const auto frameTime = std::chrono::microseconds(12500);
            const auto byteTime = std::chrono::nanoseconds(1041667);
            auto next = Clock::now();
            while (next < end) {
                if (stream == Stream::Frames) {
                    pty.Write(frame, 12);
                    next += frameTime;
                    std::this_thread::sleep_until(next);
                    continue;
                }
                for (const uint8_t byte : frame) {
                    pty.Write(&byte, 1);
                    next += byteTime;
                    std::this_thread::sleep_until(next);
                }
            }
        });
    }
    // Reading the counters costs CPU time of its own: it stays outside the CPU readings.
    const long farTid = farEnd ? farEnd->Tid() : 0;
    const auto threadsBefore = SampleThreads(farTid);
    const double cpuBefore = ProcessCpuMs();
    const auto measuredFrom = Clock::now();
    reader.Run(frameRule, never, end);
    double cpu = ProcessCpuMs() - cpuBefore;
    const double wall = Seconds(Clock::now() - measuredFrom);
    const auto threadsAfter = SampleThreads(farTid);
    if (farEnd) cpu -= farEnd->CpuMs();
    reader.Close();

    CpuFigures figures{cpu / wall, 0, frames, {}};
    const long switches = ContextSwitches(threadsAfter) - ContextSwitches(threadsBefore);
    figures.WakeupsPerSecond = static_cast<double>(switches) / wall;
    for (const auto& [tid, after] : threadsAfter) {
        const auto before = threadsBefore.find(tid);
        if (before == threadsBefore.end()) continue;
        ThreadSample share;
        share.Name = tid == static_cast<long>(getpid()) ? "main" : after.Name;
        share.CpuMs = (after.CpuMs - before->second.CpuMs) / wall;
        share.Switches =
            std::lround(static_cast<double>(after.Switches - before->second.Switches) / wall);
        figures.Threads.push_back(share);
    }
    return figures;
}

// ---------------------------------------------------------------------------------------------

struct Options {
    size_t Mib = 4;
    int Runs = 15;  // the figures of one run swing by a factor of two here
    int Samples = 2000;
    double Seconds = 4;
    int Rounds = 1;      // CPU phase: rounds of all readers in turns, medians reported
    std::string Only;    // throughput, latency or cpu; empty: all
    std::string Reader;  // only the readers whose name contains this (for profiling)
    std::string Stream;  // CPU phase: idle, frames or bytes only; empty: all three
    int Handovers = 20;
};

const char* const Usage =
    "Usage: bench_serial_e2e [--mib N] [--runs N] [--samples N] [--seconds S] [--rounds N]\n"
    "                        [--only throughput|latency|cpu|handover] [--reader NAME]\n"
    "                        [--stream idle|frames|bytes]\n"
    "Figures of the receive path over pseudo-terminals, the port component beside poll+read,\n"
    "the design's floor and QSerialPort (see the top of bench/bench_serial_e2e.cpp).\n"
    "  --mib N        throughput: MiB per run (4)\n"
    "  --runs N       throughput: runs per reader (15)\n"
    "  --samples N    latency: samples per reader (2000)\n"
    "  --seconds S    CPU: seconds per reader and stream (4)\n"
    "  --rounds N     CPU: rounds of all readers in turns, medians reported (1)\n"
    "  --only PHASE   one phase only\n"
    "  --reader NAME  only the readers whose name contains NAME\n"
    "  --stream KIND  CPU: one stream only\n"
    "  --handovers N  hand-over: samples (20)\n"
    "A phase that makes no progress for 60 s is named on standard error and ends the program\n"
    "with status 1; a usage error ends it with status 2.\n";

// The options, or a message for the user; --help prints the usage and ends the program.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        static const char* const known[] = {"--mib",    "--runs",    "--samples",
                                            "--rounds", "--seconds", "--only",
                                            "--reader", "--stream",  "--handovers"};
        if (std::find_if(std::begin(known), std::end(known),
                         [&](const char* k) { return name == k; }) == std::end(known)) {
            return "unknown option " + name;
        }
        if (i + 1 >= argc) return "option " + name + " needs a value";
        const char* value = argv[++i];
        if (name == "--mib")
            options.Mib = std::max(1, std::atoi(value));
        else if (name == "--runs")
            options.Runs = std::max(1, std::atoi(value));
        else if (name == "--samples")
            options.Samples = std::max(10, std::atoi(value));
        else if (name == "--rounds")
            options.Rounds = std::max(1, std::atoi(value));
        else if (name == "--seconds")
            options.Seconds = std::max(0.5, std::atof(value));
        else if (name == "--only")
            options.Only = value;
        else if (name == "--reader")
            options.Reader = value;
        else if (name == "--stream")
            options.Stream = value;
        else if (name == "--handovers")
            options.Handovers = std::max(1, std::atoi(value));
    }
    const auto oneOf = [](const std::string& v, std::initializer_list<const char*> allowed) {
        return v.empty() ||
               std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return v == a; });
    };
    if (!oneOf(options.Only, {"throughput", "latency", "cpu", "handover"}))
        return "option --only takes throughput, latency, cpu or handover";
    if (!oneOf(options.Stream, {"idle", "frames", "bytes"}))
        return "option --stream takes idle, frames or bytes";
    return std::nullopt;
}

// Names the phase under way, so that one that stalls is named before the program ends.
k419::bench::StallGuard* guard = nullptr;
void EnterPhase(const char* phase, const Reader& reader) {
    if (guard != nullptr) guard->Enter(phase, reader.Name());
}

double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }

void ReportThroughput(const Options& options, std::vector<std::unique_ptr<Reader>>& readers) {
    std::printf(
        "Throughput: %zu MiB from the pty master to the handler, median of %d runs\n"
        "  (target: the component at least 0.8 of poll+read and at least QSerialPort)\n",
        options.Mib, options.Runs);
    const std::vector<uint8_t> data = Pattern(options.Mib << 20);
    std::vector<std::vector<double>> rates(readers.size());
    for (int run = 0; run < options.Runs; ++run) {
        for (size_t r = 0; r < readers.size(); ++r) {
            EnterPhase("throughput", *readers[r]);
            rates[r].push_back(Throughput(*readers[r], data));
        }
    }
    const double componentRate = IsComponent(*readers[0]) ? Median(rates[0]) : 0;
    for (size_t r = 0; r < readers.size(); ++r) {
        const double rate = Median(rates[r]);
        const auto [low, high] = std::minmax_element(rates[r].begin(), rates[r].end());
        std::printf("  %-12s %8.1f MB/s  (min %6.1f, max %6.1f)", readers[r]->Name(), rate, *low,
                    *high);
        if (componentRate > 0 && rate > 0)
            std::printf("  component/this %.2f", componentRate / rate);
        std::printf("\n");
    }
}

void ReportLatency(const Options& options, std::vector<std::unique_ptr<Reader>>& readers) {
    std::printf(
        "Latency: write of the 13th byte to the handler taking the frame, %d samples\n"
        "  (target: the component's median within 3 times poll+read's, p99 under 1 ms)\n",
        options.Samples);
    std::vector<LatencyFigures> latencies;
    for (auto& reader : readers) {
        EnterPhase("latency", *reader);
        latencies.push_back(Latency(*reader, options.Samples));
    }
    double plainMedian = 0;
    for (size_t r = 0; r < readers.size(); ++r)
        if (dynamic_cast<const PlainReader*>(readers[r].get())) plainMedian = latencies[r].MedianUs;
    for (size_t r = 0; r < readers.size(); ++r) {
        const LatencyFigures& f = latencies[r];
        std::printf("  %-12s median %7.1f us  p99 %7.1f us  max %8.1f us", readers[r]->Name(),
                    f.MedianUs, f.P99Us, f.MaxUs);
        if (plainMedian > 0) std::printf("  median/plain %.2f", f.MedianUs / plainMedian);
        std::printf("\n");
    }
}

// The median of each figure over the rounds, thread by thread by name.
CpuFigures MedianCpu(const std::vector<CpuFigures>& rounds) {
    std::vector<double> cpu, wakeups, frames;
    std::map<std::string, std::pair<std::vector<double>, std::vector<double>>> threads;
    std::vector<std::string> order;
    for (const CpuFigures& f : rounds) {
        cpu.push_back(f.MsPerSecond);
        wakeups.push_back(f.WakeupsPerSecond);
        frames.push_back(static_cast<double>(f.Frames));
        for (const ThreadSample& t : f.Threads) {
            if (!threads.contains(t.Name)) order.push_back(t.Name);
            threads[t.Name].first.push_back(t.CpuMs);
            threads[t.Name].second.push_back(static_cast<double>(t.Switches));
        }
    }
    CpuFigures median{Median(cpu), Median(wakeups), static_cast<size_t>(Median(frames)), {}};
    for (const std::string& name : order) {
        const auto& [ms, switches] = threads[name];
        median.Threads.push_back({name, Median(ms), std::lround(Median(switches))});
    }
    return median;
}

// The median over the rounds of one reader's CPU time to another's in the same round.
double MedianRatio(const std::vector<CpuFigures>& of, const std::vector<CpuFigures>& to) {
    std::vector<double> ratios;
    for (size_t i = 0; i < of.size() && i < to.size(); ++i)
        if (to[i].MsPerSecond > 0) ratios.push_back(of[i].MsPerSecond / to[i].MsPerSecond);
    return ratios.empty() ? 0 : Median(ratios);
}

void ReportCpu(const Options& options, std::vector<std::unique_ptr<Reader>>& readers) {
    const struct {
        Stream Kind;
        const char* Name;
        const char* Title;
    } streams[] = {{Stream::None, "idle", "open and idle"},
                   {Stream::Frames, "frames", "9600-baud stream, 80 frames/s written whole"},
                   {Stream::Bytes, "bytes", "9600-baud stream, 960 bytes/s written one by one"}};
    const auto named = [&](const char* name) -> int {
        for (size_t r = 0; r < readers.size(); ++r)
            if (std::string(readers[r]->Name()) == name) return static_cast<int>(r);
        return -1;
    };
    const int component = !readers.empty() && IsComponent(*readers[0]) ? 0 : -1;
    const int plain = named("poll+read");
    const int floorModel = named("design floor");
    for (const auto& stream : streams) {
        if (!options.Stream.empty() && options.Stream != stream.Name) continue;
        std::printf("CPU time over %.1f s, %s (far end excluded)", options.Seconds, stream.Title);
        if (options.Rounds > 1)
            std::printf(", medians of %d rounds, the readers in turns", options.Rounds);
        std::printf("\n");
        if (stream.Kind == Stream::None) std::printf("  (target: under 0.1 ms CPU per s)\n");
        // In turns, so that a slow spell of the host falls on every reader alike.
        std::vector<std::vector<CpuFigures>> rounds(readers.size());
        for (int round = 0; round < options.Rounds; ++round) {
            for (size_t r = 0; r < readers.size(); ++r) {
                EnterPhase("CPU", *readers[r]);
                rounds[r].push_back(Cpu(*readers[r], stream.Kind, options.Seconds));
            }
        }
        for (size_t r = 0; r < readers.size(); ++r) {
            const Reader& reader = *readers[r];
            const CpuFigures f = MedianCpu(rounds[r]);
            std::printf("  %-12s %8.3f ms CPU per s  %7.1f wake-ups per s", reader.Name(),
                        f.MsPerSecond, f.WakeupsPerSecond);
            if (stream.Kind != Stream::None)
                std::printf("  %5.1f frames per s",
                            static_cast<double>(f.Frames) / options.Seconds);
            std::printf("\n");
            const bool floor = static_cast<int>(r) == floorModel;
            if (!IsComponent(reader) && !floor) continue;
            // Where the time goes, thread by thread: the main thread runs the handler, the
            // port's own threads carry its name, the floor's theirs.
            const char* prefix = floor ? "floor-" : "k419-";
            for (const ThreadSample& thread : f.Threads) {
                if (thread.Name != "main" && thread.Name.rfind(prefix, 0) != 0) continue;
                std::printf("    %-14s %8.3f ms CPU per s  %7ld wake-ups per s\n",
                            thread.Name.c_str(), thread.CpuMs, thread.Switches);
            }
        }
        if (stream.Kind != Stream::None && plain >= 0 && (component >= 0 || floorModel >= 0)) {
            std::printf("  CPU per s against poll+read's in the same round:");
            if (component >= 0)
                std::printf("  component %.2f", MedianRatio(rounds[component], rounds[plain]));
            if (floorModel >= 0)
                std::printf("  design floor %.2f", MedianRatio(rounds[floorModel], rounds[plain]));
            if (component >= 0 && floorModel >= 0)
                std::printf("  (component/floor %.2f)",
                            MedianRatio(rounds[component], rounds[floorModel]));
            std::printf("\n");
        }
        std::printf("\n");
    }
}

// One hand-over sample: milliseconds from the far end's write to the sleeping thread's wake-up,
// or a negative value when the port fails or the byte does not come within 5 s.
double HandoverDelayMs(HANDLE port, Pty& pty, OVERLAPPED& record) {
    const uint8_t byte = 0x55;
    DWORD mask = 0, bytes = 0, read = 0;
    uint8_t buffer[16];
    // The thread blocks for the completion of a few waits: the device expects it to again.
    for (int i = 0; i < 3; ++i) {
        if (!WaitCommEvent(port, &mask, &record)) {
            if (GetLastError() != ERROR_IO_PENDING) return -1;
            std::thread far([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                pty.Write(&byte, 1);
            });
            const BOOL done = GetOverlappedResult(port, &record, &bytes, TRUE);
            far.join();
            if (!done) return -1;
        }
        if (!ReadFile(port, buffer, sizeof buffer, &read, &record)) return -1;
    }
    if (WaitCommEvent(port, &mask, &record)) return -1;  // no byte waits: the wait must pend
    Clock::time_point sentAt;
    std::thread far([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the thread sleeps by now
        sentAt = Clock::now();
        pty.Write(&byte, 1);
    });
    const DWORD woke = WaitForSingleObject(record.hEvent, 5000);
    const auto wokeAt = Clock::now();
    far.join();
    if (woke != WAIT_OBJECT_0 || !GetOverlappedResult(port, &record, &bytes, FALSE)) return -1;
    if (!ReadFile(port, buffer, sizeof buffer, &read, &record)) return -1;
    return std::chrono::duration<double, std::milli>(wokeAt - sentAt).count();
}

void ReportHandover(const Options& options) {
    std::printf(
        "Hand-over: a byte to a thread that sleeps on the event of a wait after blocking in\n"
        "  GetOverlappedResult for the waits before, %d samples (target: a few ms)\n",
        options.Handovers);
    if (guard != nullptr) guard->Enter("hand-over");
    Pty pty;
    HANDLE port = CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open the pseudo-terminal");
    COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
    OVERLAPPED record{};
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<double> delays;
    if (SetCommTimeouts(port, &atOnce) && SetCommMask(port, EV_RXCHAR)) {
        for (int i = 0; i < options.Handovers; ++i) {
            const double ms = HandoverDelayMs(port, pty, record);
            if (ms < 0) break;
            delays.push_back(ms);
            if (guard != nullptr) guard->Progress();
        }
    }
    CloseHandle(record.hEvent);
    CloseHandle(port);
    if (delays.size() < static_cast<size_t>(options.Handovers)) {
        std::printf("  the hand-over run failed after %zu samples\n", delays.size());
        return;
    }
    std::printf("  median %7.2f ms  max %7.2f ms\n", Median(delays),
                *std::max_element(delays.begin(), delays.end()));
}

// All readers in AllReaders() order: the component first, then the plain loop, against which
// the ratios are taken.
void Report(const Options& options) {
    auto readers = AllReaders();
    if (!options.Reader.empty()) {
        std::erase_if(readers, [&](const auto& r) {
            return std::string(r->Name()).find(options.Reader) == std::string::npos;
        });
    }
    if (options.Only.empty() || options.Only == "throughput") {
        ReportThroughput(options, readers);
        std::printf("\n");
    }
    if (options.Only.empty() || options.Only == "latency") {
        ReportLatency(options, readers);
        std::printf("\n");
    }
    if (options.Only.empty() || options.Only == "cpu") ReportCpu(options, readers);
    if (options.Only.empty() || options.Only == "handover") ReportHandover(options);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef K419_BENCH_QSERIALPORT
    QCoreApplication application(argc, argv);
#endif
    Options options;
    if (const auto error = ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "bench_serial_e2e: %s\nTry 'bench_serial_e2e --help'.\n",
                     error->c_str());
        return 2;
    }
    k419::bench::StallGuard stallGuard("bench_serial_e2e");
    guard = &stallGuard;
    try {
        Report(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_serial_e2e: %s\n", e.what());
        return 1;
    }
    return 0;
}
