#include "sim/TerminalMeter.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/PseudoTerminal.h"
#include "sim/SimulatedMeter.h"

namespace k419::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Without a listener the terminal reports a hang-up on every wait, so the meter looks for one
// at this interval instead.
constexpr int ListenerCheckMs = 10;

}  // namespace

TerminalMeter::TerminalMeter(double rate)
    : rate_(rate > 0.0 ? rate : DefaultRate),
      terminal_(std::make_unique<platform::PseudoTerminal>()) {
    thread_ = std::thread([this] { Run(); });
}

TerminalMeter::~TerminalMeter() {
    terminal_->Stop();
    if (thread_.joinable()) thread_.join();
}

const std::string& TerminalMeter::TerminalPath() const { return terminal_->Path(); }

void TerminalMeter::Run() {
    const Part part = DefaultPart(Component::Capacitor);
    SimulatedMeter meter(part, DefaultSettings(part.component), 1e-4, 1);
    FrameStream stream(meter, FaultPlan{}, 2);
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
    platform::PseudoTerminal& line = *terminal_;

    std::vector<std::uint8_t> pending;
    std::size_t sent = 0;
    bool listening = false;
    Clock::time_point due = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (!line.Listened()) {
            // Frames written for a listener that has gone are dropped with it.
            listening = false;
            pending.clear();
            sent = 0;
            if (line.Wait(false, ListenerCheckMs).stopped) return;
            continue;
        }
        if (!listening) {
            listening = true;
            pending.clear();
            sent = 0;
            stream.AppendNext(pending);
            due = now;
        }
        if (sent == pending.size() && now >= due) {
            if (sent != 0) {
                pending.clear();
                sent = 0;
            }
            stream.AppendNext(pending);
            due += period;
            if (due < now) due = now + period;  // no burst after a stall
        }

        const bool writing = sent < pending.size();
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        const int timeout =
            writing ? -1 : static_cast<int>(std::clamp<long long>(wait.count(), 0, 1000));
        const auto events = line.Wait(writing, timeout);
        if (events.stopped) return;
        if (events.readable) {
            std::uint8_t keys[64];
            const std::size_t n = line.Read(keys, sizeof keys);
            for (std::size_t i = 0; i < n; ++i) {
                meter.PressKey(keys[i]);
                keys_.fetch_add(1);
            }
        }
        if (events.writable && writing) {
            sent += line.Write(pending.data() + sent, pending.size() - sent);
        }
    }
}

}  // namespace k419::sim
