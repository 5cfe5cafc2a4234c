// The demo mode's meter: the window on its pseudo-terminal shows its frames at once after
// connecting, and the meter reacts to the panel's keys.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <cstdlib>
#include <memory>

#include "PanelTestSupport.h"
#include "app/Form1.h"
#include "sim/TerminalMeter.h"

namespace {

using k419::test::App;
using k419::test::ErrorRecord;
using k419::test::ManualTimerClock;
using k419::test::WaitUntil;

TEST(TerminalMeter, FeedsTheWindowOnComOneAndTakesItsKeys) {
    App();
    ErrorRecord errors;
    ManualTimerClock clock;
    k419::sim::TerminalMeter meter(20.0);
    setenv("K419_COM1", meter.TerminalPath().c_str(), 1);
    {
        TForm1 form(",", clock);
        // Two frames at once on connecting: the first is shown without waiting a period.
        ASSERT_TRUE(WaitUntil([&] { return form.FramesShown() >= 1; }, 5000));
        EXPECT_EQ(form.findChild<QLabel*>("LA")->text(), "C");  // the demo part: a capacitor
        ASSERT_TRUE(WaitUntil([&] { return form.FramesShown() >= 3; }, 5000));

        // L on the main display: the meter switches and later frames say so.
        form.findChild<QPushButton*>("BitBtn10")->click();
        EXPECT_TRUE(WaitUntil([&] { return meter.KeysReceived() == 1; }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return form.findChild<QLabel*>("LA")->text() == "L"; }, 5000));
    }
    unsetenv("K419_COM1");
    EXPECT_TRUE(errors.messages.empty());
}

}  // namespace
