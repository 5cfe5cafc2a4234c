// The demo mode's meter: the simulated K4-19 on a pseudo-terminal of this process, so that the
// panel shows live readings and its keys work without hardware.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace k419::app {

class DemoMeter {
  public:
    static constexpr double DefaultRate = 5.0;  // frames per second

    // Creates the pseudo-terminal and starts the meter's thread. The meter sends only while a
    // program has the terminal end open: on every connection it sends two frames at once (so
    // the panel, which shows a frame when the next one begins, has a reading at once) and then
    // `rate` frames per second; it reacts to every key code it receives. Throws
    // std::runtime_error when no pseudo-terminal can be made.
    explicit DemoMeter(double rate = DefaultRate);
    // Stops the thread and closes the pseudo-terminal; never throws.
    ~DemoMeter();
    DemoMeter(const DemoMeter&) = delete;
    DemoMeter& operator=(const DemoMeter&) = delete;

    // The terminal end, for the program's serial port to open.
    const std::string& TerminalPath() const { return terminal_; }
    // Key codes received so far.
    std::uint64_t KeysReceived() const { return keys_.load(); }

  private:
    void Run();

    double rate_;
    int master_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string terminal_;
    std::atomic<std::uint64_t> keys_{0};
    std::thread thread_;
};

}  // namespace k419::app
