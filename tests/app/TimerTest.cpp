// Timer1's contract, on a hand-driven clock: which changes restart the period and which
// do not, and a handler that changes its own timer.
#include <gtest/gtest.h>

#include <vector>

#include "PanelTestSupport.h"
#include "app/Timer.h"

namespace {

using k419::app::TTimer;
using k419::test::ManualTimerClock;

struct Step {
    enum Kind { Advance, Enable, Disable, Interval, Handler } kind;
    std::int64_t value = 0;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::int64_t> ticksAt;  // clock readings at which the handler ran
};

TEST(TTimer, RestartsItsPeriodOnlyOnARealChange) {
    using S = Step;
    const Case cases[] = {
        {"ticks every interval while enabled",
         {{S::Interval, 2000}, {S::Handler}, {S::Enable}, {S::Advance, 6500}},
         {2000, 4000, 6000}},
        {"enabling an enabled timer does not restart it",
         {{S::Interval, 2000},
          {S::Handler},
          {S::Enable},
          {S::Advance, 1500},
          {S::Enable},
          {S::Advance, 600}},
         {2000}},
        {"disable then enable restarts it",
         {{S::Interval, 2000},
          {S::Handler},
          {S::Enable},
          {S::Advance, 1500},
          {S::Disable},
          {S::Enable},
          {S::Advance, 1999},
          {S::Advance, 1}},
         {3500}},
        {"disabled: no tick",
         {{S::Interval, 2000}, {S::Handler}, {S::Enable}, {S::Disable}, {S::Advance, 10000}},
         {}},
        {"a new interval restarts, the same one does not",
         {{S::Interval, 2000},
          {S::Handler},
          {S::Enable},
          {S::Advance, 1000},
          {S::Interval, 2000},
          {S::Advance, 1000},
          {S::Interval, 500},
          {S::Advance, 1100}},
         {2000, 2500, 3000}},
        {"interval 0 stops it",
         {{S::Interval, 2000}, {S::Handler}, {S::Enable}, {S::Interval, 0}, {S::Advance, 5000}},
         {}},
        {"no handler, no tick; setting one starts the period",
         {{S::Interval, 2000}, {S::Enable}, {S::Advance, 1500}, {S::Handler}, {S::Advance, 2000}},
         {3500}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualTimerClock clock;
        TTimer timer(clock);
        std::vector<std::int64_t> ticks;
        for (const Step& s : c.steps) {
            switch (s.kind) {
                case S::Advance:
                    clock.Advance(s.value);
                    break;
                case S::Enable:
                    timer.SetEnabled(true);
                    break;
                case S::Disable:
                    timer.SetEnabled(false);
                    break;
                case S::Interval:
                    timer.SetInterval(static_cast<std::uint32_t>(s.value));
                    break;
                case S::Handler:
                    timer.SetOnTimer([&] { ticks.push_back(clock.Now()); });
                    break;
            }
        }
        EXPECT_EQ(ticks, c.ticksAt);
    }
}

TEST(TTimer, HandlerMayRestartItsOwnTimer) {
    // The receive handler's pattern inside a tick: disable and enable again.
    ManualTimerClock clock;
    TTimer timer(clock);
    std::vector<std::int64_t> ticks;
    timer.SetInterval(2000);
    timer.SetOnTimer([&] {
        ticks.push_back(clock.Now());
        timer.SetEnabled(false);
        timer.SetEnabled(true);
    });
    timer.SetEnabled(true);
    clock.Advance(6000);
    EXPECT_EQ(ticks, (std::vector<std::int64_t>{2000, 4000, 6000}));
}

TEST(TTimer, QtClockTicksOnTheEventLoop) {
    k419::test::App();
    TTimer timer(k419::app::QtTimerClock());
    int ticks = 0;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        if (++ticks == 3) timer.SetEnabled(false);
    });
    timer.SetEnabled(true);
    EXPECT_TRUE(k419::test::WaitUntil([&] { return ticks == 3; }));
    EXPECT_FALSE(timer.Enabled());
}

}  // namespace
