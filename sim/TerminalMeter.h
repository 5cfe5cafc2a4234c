// The simulated K4-19 on a pseudo-terminal of this process, for the program's demo mode: the
// panel shows live readings and its keys work without hardware.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace k419::platform {
class PseudoTerminal;
}

namespace k419::sim {

class TerminalMeter {
  public:
    static constexpr double DefaultRate = 5.0;  // frames per second

    // Creates the pseudo-terminal and starts the meter's thread. The meter (a 100 nF
    // capacitor) sends only while a program has the terminal end open: on every connection it
    // sends two frames at once (so the panel, which shows a frame when the next one begins,
    // has a reading at once) and then `rate` frames per second; it reacts to every key code it
    // receives. Throws std::runtime_error when no pseudo-terminal can be made.
    explicit TerminalMeter(double rate = DefaultRate);
    // Stops the thread and closes the pseudo-terminal; never throws.
    ~TerminalMeter();
    TerminalMeter(const TerminalMeter&) = delete;
    TerminalMeter& operator=(const TerminalMeter&) = delete;

    // The terminal end, for the program's serial port to open.
    const std::string& TerminalPath() const;
    // Key codes received so far.
    std::uint64_t KeysReceived() const { return keys_.load(); }

  private:
    void Run();

    double rate_;
    std::unique_ptr<platform::PseudoTerminal> terminal_;
    std::atomic<std::uint64_t> keys_{0};
    std::thread thread_;
};

}  // namespace k419::sim
