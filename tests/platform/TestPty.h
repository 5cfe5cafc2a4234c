// A pseudo-terminal whose far end (the master) the test drives, published as a COM port
// through the K419_COMn variable.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

class TestPty {
  public:
    explicit TestPty(int comNumber) : variable_("K419_COM" + std::to_string(comNumber)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        char name[256];
        if (ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("cannot name the pseudo-terminal");
        path_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        setenv(variable_.c_str(), path_.c_str(), 1);
        portName_ = "\\\\.\\COM" + std::to_string(comNumber);
    }
    ~TestPty() {
        CloseMaster();
        unsetenv(variable_.c_str());
    }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    const std::string& Path() const { return path_; }
    const char* PortName() const { return portName_.c_str(); }
    int Master() const { return master_; }

    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Writes everything, waiting for room as needed; false after 10 s without progress.
    bool Write(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd fd{master_, POLLOUT, 0};
            if (::poll(&fd, 1, 10000) <= 0) return false;
        }
        return true;
    }

    // Reads until `count` bytes came or `timeoutMs` passed; returns what came.
    std::string Read(size_t count, int timeoutMs = 10000) {
        std::string data;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (data.size() < count) {
            char buffer[65536];
            ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - data.size()));
            if (n > 0) {
                data.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fd{master_, POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()));
        }
        return data;
    }

  private:
    std::string variable_;
    std::string path_;
    std::string portName_;
    int master_ = -1;
};
