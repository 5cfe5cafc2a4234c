#include "app/DemoMeter.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tools/k419_sim_meter.h"

namespace k419::app {

namespace {

using Clock = std::chrono::steady_clock;

// Without a listener the master reports a hang-up on every poll, so the meter looks for one
// at this interval instead of waiting on the terminal.
constexpr int ListenerCheckMs = 10;

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error("demo meter: " + what + ": " + std::strerror(errno));
}

// The meter's line: 9600 baud, 8 data bits, no parity, one stop bit, raw bytes both ways.
bool SetMeterLine(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool ListenerPresent(int master) {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

}  // namespace

DemoMeter::DemoMeter(double rate) : rate_(rate > 0.0 ? rate : DefaultRate) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) throw SystemError("cannot create a pseudo-terminal");
    char name[256];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        const auto error = SystemError("cannot set up the pseudo-terminal");
        close(master_);
        throw error;
    }
    terminal_ = name;
    // Opening the terminal end once sets its line and arms the hang-up report that tells
    // whether anybody listens.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0 || !SetMeterLine(slave) || pipe2(stopPipe_, O_CLOEXEC) != 0) {
        const auto error = SystemError("cannot set up " + terminal_);
        if (slave >= 0) close(slave);
        close(master_);
        throw error;
    }
    close(slave);
    thread_ = std::thread([this] { Run(); });
}

DemoMeter::~DemoMeter() {
    const char stop = 1;
    if (write(stopPipe_[1], &stop, 1) < 0) {
        // The thread notices at its next listener check anyway: the pipe is what it polls.
    }
    if (thread_.joinable()) thread_.join();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    close(master_);
}

void DemoMeter::Run() {
    using namespace k419::sim;
    const Part part = DefaultPart(Component::Capacitor);
    SimulatedMeter meter(part, DefaultSettings(part.component), 1e-4, 1);
    FrameStream stream(meter, FaultPlan{}, 2);
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));

    std::vector<std::uint8_t> pending;
    std::size_t sent = 0;
    bool listening = false;
    Clock::time_point due = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (!ListenerPresent(master_)) {
            // Frames written for a listener that has gone are dropped with it.
            listening = false;
            pending.clear();
            sent = 0;
            pollfd stop{stopPipe_[0], POLLIN, 0};
            if (poll(&stop, 1, ListenerCheckMs) > 0) return;
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

        pollfd fds[2] = {
            {stopPipe_[0], POLLIN, 0},
            {master_, static_cast<short>(POLLIN | (sent < pending.size() ? POLLOUT : 0)), 0}};
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        const int timeout = sent < pending.size()
                                ? -1
                                : static_cast<int>(std::clamp<long long>(wait.count(), 0, 1000));
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint8_t keys[64];
            const ssize_t n = read(master_, keys, sizeof keys);
            for (ssize_t i = 0; i < n; ++i) {
                meter.PressKey(keys[i]);
                keys_.fetch_add(1);
            }
        }
        if ((fds[1].revents & POLLOUT) != 0 && sent < pending.size()) {
            const ssize_t n = write(master_, pending.data() + sent, pending.size() - sent);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
    }
}

}  // namespace k419::app
