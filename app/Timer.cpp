#include "app/Timer.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdint>

namespace k419::app {

namespace {

class QtTicker final : public TimerClock::Ticker {
  public:
    explicit QtTicker(std::function<void()> tick) {
        // A watchdog period of 2000 ms should not stretch by the 5 % a coarse timer allows.
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [tick = std::move(tick)] { tick(); });
    }
    void Start(std::uint32_t intervalMs) override {
        timer_.start(static_cast<int>(std::min<std::uint32_t>(intervalMs, INT32_MAX)));
    }
    void Stop() override { timer_.stop(); }

  private:
    QTimer timer_;
};

class QtClock final : public TimerClock {
  public:
    std::unique_ptr<Ticker> CreateTicker(std::function<void()> tick) override {
        return std::make_unique<QtTicker>(std::move(tick));
    }
};

}  // namespace

TimerClock& QtTimerClock() {
    static QtClock clock;
    return clock;
}

TTimer::TTimer(TimerClock& clock)
    : ticker_(clock.CreateTicker([this] {
          // A copy: the handler may replace itself while it runs.
          if (std::function<void()> handler = onTimer_) handler();
      })) {}

void TTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    UpdateTimer();
}

void TTimer::SetInterval(std::uint32_t ms) {
    if (ms == interval_) return;
    interval_ = ms;
    UpdateTimer();
}

void TTimer::SetOnTimer(std::function<void()> handler) {
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    ticker_->Stop();
    if (enabled_ && interval_ != 0 && onTimer_) ticker_->Start(interval_);
}

}  // namespace k419::app
