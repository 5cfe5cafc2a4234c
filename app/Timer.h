// The window's periodic timer and the clock that drives it.
//
// TTimer keeps the toolkit timer's contract that the watchdog relies on: enabling an enabled
// timer does not restart its period, while disabling and enabling it again does. The ticks
// come from a TimerClock, so the program runs on Qt's timers and the tests on a clock they
// advance by hand, never waiting for real time to pass.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace k419::app {

class TimerClock {
  public:
    // One periodic tick source of a clock.
    class Ticker {
      public:
        virtual ~Ticker() = default;
        // Starts a fresh period of `intervalMs` (more than 0) from now, also when running:
        // the tick then comes `intervalMs` after this call and every `intervalMs` after it.
        virtual void Start(std::uint32_t intervalMs) = 0;
        // No tick comes until the next Start.
        virtual void Stop() = 0;
    };

    virtual ~TimerClock() = default;
    // A stopped ticker that calls `tick` on the clock's thread. The clock must outlive it.
    virtual std::unique_ptr<Ticker> CreateTicker(std::function<void()> tick) = 0;
};

// The clock of the program: Qt timers on the thread that creates each ticker, which must run
// a Qt event loop.
TimerClock& QtTimerClock();

class TTimer {
  public:
    // Disabled, interval 1000 ms, no handler. The clock must outlive the timer.
    explicit TTimer(TimerClock& clock);
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    // The timer ticks while it is enabled, its interval is not 0 and a handler is set.
    bool Enabled() const { return enabled_; }
    // Enabling an enabled timer (or disabling a disabled one) changes nothing; any other
    // change starts the period afresh.
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval_; }
    // A new interval starts a fresh period; the same interval changes nothing.
    void SetInterval(std::uint32_t ms);
    const std::function<void()>& OnTimer() const { return onTimer_; }
    // Setting the handler starts a fresh period. The handler may change the timer itself.
    void SetOnTimer(std::function<void()> handler);

  private:
    void UpdateTimer();

    std::unique_ptr<TimerClock::Ticker> ticker_;
    bool enabled_ = false;
    std::uint32_t interval_ = 1000;
    std::function<void()> onTimer_;
};

}  // namespace k419::app
