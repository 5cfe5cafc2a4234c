#include "PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace k419::platform {

namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// A meter's line: 9600 baud, 8 data bits, no parity, one stop bit, raw bytes both ways.
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

}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) throw SystemError("cannot create a pseudo-terminal");
    char name[256];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        const auto error = SystemError("cannot set up the pseudo-terminal");
        close(master_);
        throw error;
    }
    path_ = name;
    // Opening the terminal end once sets its line and arms the hang-up report that tells
    // whether anybody listens.
    const int terminal = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal < 0 || !SetMeterLine(terminal) || pipe2(stop_, O_CLOEXEC) != 0) {
        const auto error = SystemError("cannot set up " + path_);
        if (terminal >= 0) close(terminal);
        close(master_);
        throw error;
    }
    close(terminal);
}

PseudoTerminal::~PseudoTerminal() {
    close(stop_[0]);
    close(stop_[1]);
    close(master_);
}

bool PseudoTerminal::Listened() const {
    // Without a program on the terminal end the master reports a hang-up.
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

PseudoTerminal::Events PseudoTerminal::Wait(bool wantWrite, int timeoutMs) {
    pollfd fds[2] = {{stop_[0], POLLIN, 0},
                     {master_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
    Events events;
    if (poll(fds, 2, timeoutMs) <= 0) return events;
    events.stopped = fds[0].revents != 0;
    events.readable = (fds[1].revents & POLLIN) != 0;
    events.writable = (fds[1].revents & POLLOUT) != 0;
    return events;
}

std::size_t PseudoTerminal::Read(void* buffer, std::size_t size) {
    const ssize_t n = read(master_, buffer, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t PseudoTerminal::Write(const void* data, std::size_t size) {
    const ssize_t n = write(master_, data, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void PseudoTerminal::Stop() {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = write(stop_[1], &stop, 1);
}

}  // namespace k419::platform
