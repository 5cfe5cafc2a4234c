// What the window tests share: the Qt application, a hand-driven clock for Timer1, the meter's
// end of a pseudo-terminal, waiting for the window to get somewhere, and a record of the
// messages the application's exception handler was given.
#pragma once

#include <QApplication>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/PlatformBridge.h"
#include "app/Timer.h"
#include "meter/MeterFrame.h"
#include "platform/PlatformHooks.h"
#include "platform/TestPty.h"
#include "serial/Common.h"

namespace k419::test {

// Whether this run sees only the DejaVu fonts of a stock desktop (K419_TEST_FONTS=dejavu-only)
// rather than the fonts the project installs.
inline bool DejaVuOnly() { return qgetenv("K419_TEST_FONTS") == "dejavu-only"; }

// Points fontconfig at a configuration of our own that lists just the DejaVu folder, as on a
// desktop where nothing but the stock fonts is installed. Before the application exists.
inline void UseOnlyDejaVuFonts() {
    static const QByteArray folder = [] {
        QByteArray dir = QByteArray(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                         "/k419-fonts-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) return QByteArray();
        return dir;
    }();
    const QByteArray config = folder + "/fonts.conf";
    if (FILE* f = std::fopen(config.constData(), "w")) {
        std::fprintf(f,
                     "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                     "<fontconfig>\n  <dir>/usr/share/fonts/truetype/dejavu</dir>\n"
                     "  <cachedir>%s/cache</cachedir>\n</fontconfig>\n",
                     folder.constData());
        std::fclose(f);
    }
    qputenv("FONTCONFIG_FILE", config);
}

inline QApplication& App() {
    if (QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        return *app;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (DejaVuOnly()) UseOnlyDejaVuFonts();
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals made after it (the keyboard device of a synthetic key
    // event) would be gone before it at exit.
    static QApplication* app = new QApplication(argc, argv);
    // Closing a window in a test must not end anything.
    QApplication::setQuitOnLastWindowClosed(false);
    return *app;
}

// Runs Qt's events and the platform's messages until `done` holds or `timeoutMs` passed.
// Waits for arrivals rather than sleeping: a platform message ends the wait at once.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        QCoreApplication::processEvents();
        k419::platform::PumpPendingMessages();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        k419::platform::WaitForMessage(10);
    }
}

// A clock that moves only when the test says so; ticks run inside Advance.
class ManualTimerClock final : public k419::app::TimerClock {
  public:
    std::unique_ptr<Ticker> CreateTicker(std::function<void()> tick) override {
        auto ticker = std::make_unique<ManualTicker>(*this, std::move(tick));
        tickers_.push_back(ticker.get());
        return ticker;
    }

    // Moves time forward by `ms`, running every tick that falls due on the way, in time order.
    void Advance(std::int64_t ms) {
        const std::int64_t target = now_ + ms;
        for (;;) {
            ManualTicker* next = nullptr;
            for (ManualTicker* t : tickers_) {
                if (t->running && t->due <= target && (next == nullptr || t->due < next->due)) {
                    next = t;
                }
            }
            if (next == nullptr) break;
            now_ = next->due;
            next->due += next->interval;
            next->tick();
        }
        now_ = target;
    }

    std::int64_t Now() const { return now_; }

  private:
    struct ManualTicker final : Ticker {
        ManualTicker(ManualTimerClock& c, std::function<void()> t) : clock(c), tick(std::move(t)) {}
        ~ManualTicker() override {
            auto& list = clock.tickers_;
            list.erase(std::remove(list.begin(), list.end(), this), list.end());
        }
        void Start(std::uint32_t intervalMs) override {
            running = true;
            interval = intervalMs;
            due = clock.now_ + intervalMs;
        }
        void Stop() override { running = false; }

        ManualTimerClock& clock;
        std::function<void()> tick;
        bool running = false;
        std::int64_t interval = 0;
        std::int64_t due = 0;
    };

    std::int64_t now_ = 0;
    std::vector<ManualTicker*> tickers_;
};

// The meter's end of the line of COMn. Send shows a frame: the window takes a frame only once
// the first byte of the next one has arrived, so each send ends with the next frame's header.
class MeterLine {
  public:
    explicit MeterLine(int comNumber) : pty_(comNumber) {}

    bool Send(const k419::MeterFrame& frame) {
        std::string bytes(frame.begin() + (headerSent_ ? 1 : 0), frame.end());
        bytes.push_back(static_cast<char>(k419::FrameHeader));
        headerSent_ = true;
        return pty_.Write(bytes);
    }
    bool WriteRaw(const std::string& bytes) { return pty_.Write(bytes); }
    // Bytes the panel sent, as they came.
    std::string Read(std::size_t count, int timeoutMs = 10000) {
        return pty_.Read(count, timeoutMs);
    }
    // Whether a program has the terminal end open.
    bool Listened() const {
        pollfd p{pty_.Master(), POLLIN, 0};
        return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    }
    const std::string& Path() const { return pty_.Path(); }
    int Master() const { return pty_.Master(); }

  private:
    TestPty pty_;
    bool headerSent_ = false;
};

// Records what reaches the application's exception handler while it lives: each message, and
// for a failure of the port the Russian sentence a message box leads with.
class ErrorRecord {
  public:
    ErrorRecord() {
        SetApplicationExceptionHandler([this](const std::exception& e) {
            messages.emplace_back(e.what());
            const auto* port = dynamic_cast<const k419::app::PortFailure*>(&e);
            russian.push_back(port != nullptr ? port->Russian() : std::string());
        });
    }
    ~ErrorRecord() { SetApplicationExceptionHandler({}); }
    std::vector<std::string> messages;
    std::vector<std::string> russian;
};

inline k419::MeterFrame Frame(std::array<std::uint8_t, 4> first, std::array<std::uint8_t, 4> second,
                              std::uint8_t range, std::uint8_t status1, std::uint8_t status2) {
    return {k419::FrameHeader, first[0],  first[1],  first[2], first[3], second[0],
            second[1],         second[2], second[3], range,    status1,  status2};
}

}  // namespace k419::test
