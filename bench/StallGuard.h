// Keeps a benchmark from hanging: a phase that makes no progress for a minute (a lost wake-up,
// a reader that never returns) is named on standard error and the program ends with status 1,
// instead of waiting for ever. Each phase says which one it is (Enter); its loops say that they
// get on (Progress), which costs one clock read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace k419::bench {

class StallGuard {
  public:
    static constexpr std::chrono::seconds Limit{60};

    // `program`: the name the report starts with.
    explicit StallGuard(std::string program) : program_(std::move(program)) {
        Progress();
        watcher_ = std::thread([this] { Watch(); });
    }
    ~StallGuard() {
        {
            std::lock_guard hold(mutex_);
            ending_ = true;
        }
        wake_.notify_all();
        watcher_.join();
    }
    StallGuard(const StallGuard&) = delete;
    StallGuard& operator=(const StallGuard&) = delete;

    // A new phase (for a reader, or for the whole program when `reader` is empty) begins.
    void Enter(const std::string& phase, const std::string& reader = {}) {
        {
            std::lock_guard hold(mutex_);
            phase_ = phase;
            reader_ = reader;
        }
        Progress();
    }
    // The phase got on: the minute starts again.
    void Progress() {
        last_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                    std::memory_order_relaxed);
    }

  private:
    void Watch() {
        std::unique_lock hold(mutex_);
        while (!wake_.wait_for(hold, std::chrono::seconds(1), [this] { return ending_; })) {
            const auto last = std::chrono::steady_clock::time_point(
                std::chrono::steady_clock::duration(last_.load(std::memory_order_relaxed)));
            if (std::chrono::steady_clock::now() - last < Limit) continue;
            std::fprintf(stderr, "%s: the %s phase%s%s stalled: no progress for %lld s\n",
                         program_.c_str(), phase_.c_str(), reader_.empty() ? "" : " of ",
                         reader_.c_str(), static_cast<long long>(Limit.count()));
            std::fflush(stderr);
            std::_Exit(1);
        }
    }

    std::string program_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::string phase_ = "start", reader_;
    std::atomic<std::chrono::steady_clock::rep> last_{0};
    std::thread watcher_;
};

}  // namespace k419::bench
