// The far end of a pseudo-terminal, for a program that plays a serial device (the simulated
// meter of the demo mode): its terminal end is a path a serial port opens like any other.
#pragma once

#include <cstddef>
#include <string>

namespace k419::platform {

class PseudoTerminal {
  public:
    // Creates the pseudo-terminal with its terminal end set to 9600 baud, 8 data bits, no
    // parity, one stop bit and raw bytes both ways. Throws std::runtime_error when none can be
    // made.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // The terminal end: "/dev/pts/7".
    const std::string& Path() const { return path_; }

    // Whether a program has the terminal end open now.
    bool Listened() const;

    struct Events {
        bool readable = false;  // bytes the terminal end sent wait to be read
        bool writable = false;  // there is room to write (asked for only with wantWrite)
        bool stopped = false;   // Stop was called
    };
    // Waits until something of Events holds or `timeoutMs` passes (-1: no limit).
    Events Wait(bool wantWrite, int timeoutMs);
    // What was sent from the terminal end, up to `size` bytes, without waiting; 0 when none.
    std::size_t Read(void* buffer, std::size_t size);
    // Writes what fits now, without waiting; returns the count written.
    std::size_t Write(const void* data, std::size_t size);
    // Ends every Wait, now and from now on; from any thread.
    void Stop();

  private:
    int master_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
};

}  // namespace k419::platform
