// The engine on Wine's serial layer, end to end: the component opens COM1, which Wine maps to
// the pseudo-terminal of the meter simulator on the Linux side (end-to-end.sh sets this up,
// with the preload library that gives a pseudo-terminal what Wine's comm layer asks of a UART).
// Every frame must reach the handler whole and in order, the bytes being those the simulator
// writes for the same options to a file (K419_E2E_REFERENCE), and a key code the component
// sends must reach the simulator (the script finds it in the simulator's log).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "serial/ComPort.h"
#include "serial/PortTestSupport.h"

namespace {

// Runs the thread's messages, as a Win32 program's loop does, until done() or the time passes.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return true;
}

TEST(WineEndToEnd, FramesArriveWholeAndInOrderAndAKeyReachesTheMeter) {
    const char* reference = std::getenv("K419_E2E_REFERENCE");
    if (reference == nullptr) GTEST_SKIP() << "run by tests/win32/end-to-end.sh";
    std::ifstream in(reference, std::ios::binary);
    const std::string expected{std::istreambuf_iterator<char>(in), {}};
    ASSERT_FALSE(expected.empty()) << reference;
    ASSERT_EQ(expected.size() % 12, 0u);

    TComPort port;
    ConfigureFrontPanelPort(port, 1);
    std::string received;
    int frameEvents = 0;
    port.SetOnTrigger([&](TObject*, uint16_t msg, uint16_t, uint16_t) {
        if (msg != TriggerAvailMsg) return;
        // Frame by frame, as the front panel takes them.
        while (port.InputCount() >= 12) {
            char frame[12];
            port.ReadBlock(frame, sizeof frame);
            received.append(frame, sizeof frame);
            ++frameEvents;
        }
    });
    port.SetOpen(true);
    ASSERT_EQ(port.PortState(), psOpen);
    const bool all = PumpUntil([&] { return received.size() >= expected.size(); }, 30000);
    EXPECT_TRUE(all) << received.size() / 12 << " of " << expected.size() / 12 << " frames";
    ASSERT_EQ(received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i += 12)
        ASSERT_EQ(received.substr(i, 12), expected.substr(i, 12)) << "frame " << i / 12 + 1;
    std::printf("%d frames arrived whole and in order\n", frameEvents);

    EXPECT_FALSE(port.DeviceLost());
    port.SendByte('\x0D');                 // range up
    PumpUntil([] { return false; }, 500);  // the byte on its way to the simulator
    port.SetOpen(false);
}

// Without the preload library, Wine's comm layer aborts every event wait on a pseudo-terminal
// (it cannot read the modem lines): the component must say that the device is lost, not go
// on as an open port that receives nothing.
TEST(WineEndToEnd, AWaitThatWineAbortsIsALostDevice) {
    if (std::getenv("K419_E2E_ABORTED_WAITS") == nullptr)
        GTEST_SKIP() << "run by tests/win32/end-to-end.sh";
    TComPort port;
    ConfigureFrontPanelPort(port, 1);
    int lost = 0;
    port.SetDeviceLostHandler([&](TObject*) { ++lost; });
    port.SetOpen(true);
    ASSERT_EQ(port.PortState(), psOpen);
    EXPECT_TRUE(PumpUntil([&] { return lost > 0; }, 10000));
    EXPECT_TRUE(port.DeviceLost());
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(lost, 1);
    port.SetOpen(false);
}

}  // namespace
