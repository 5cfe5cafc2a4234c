// The front panel window: the meter's two displays, its keys, the port selector, the readout
// fields and the state panel, built from the resources/Form1.ui form description.
//
// The window owns the serial port component ComPort1 and the watchdog timer Timer1 and
// holds the meter model; the model computes every text, and the window copies the texts into
// its controls and forwards clicks and ticks. Every handler runs on the GUI thread, catches
// whatever it raises and hands it to the application's exception handler, so no exception
// reaches Qt's event loop. The thread that creates the window must run a Qt event loop that
// also drains the platform's messages (ConnectPlatformMessages, which the window calls).
#pragma once

#include <QWidget>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/PlatformBridge.h"
#include "app/ReadingSession.h"
#include "app/Timer.h"
#include "meter/FrontPanel.h"
#include "meter/Reading.h"
#include "serial/ComPort.h"

namespace Ui {
class TForm1;
}
namespace k419::app {
class CompanionWindow;
}
namespace k419::platform {
class PathWatch;
}
class QLineEdit;
class QPoint;
class QSocketNotifier;

class TForm1 : public QWidget {
    Q_OBJECT

  public:
    static constexpr int ClientWidth = 506;
    // Client heights: the top rows only (the displays, the port selector and the keys, the
    // lowest ending at y = 109), and the whole form with the readout fields and state panel.
    static constexpr int CompactClientHeight = 110;
    static constexpr int ExpandedClientHeight = 303;
    static constexpr std::uint32_t WatchdogInterval = 2000;

    // Builds the window from its form description, loads ComPort1 and Timer1 with their
    // stored settings and runs FormCreate, which opens COM1; a failure there is reported and
    // the window is still usable. `decimalSeparator` is the user's locale's (UTF-8); `clock`
    // drives Timer1 and must outlive the window.
    explicit TForm1(std::string decimalSeparator,
                    k419::app::TimerClock& clock = k419::app::QtTimerClock(),
                    QWidget* parent = nullptr);
    // Closes the port before the controls go away; never throws.
    ~TForm1() override;

    // ---- Non-visual members, with the settings of the form description.
    TComPort ComPort1;
    k419::app::TTimer Timer1;

    // ---- Event handlers. Each may be called directly, as the control or component would.
    void FormCreate();
    void ComPort1Trigger(TObject* CP, std::uint16_t Msg, std::uint16_t TriggerHandle,
                         std::uint16_t Data);
    // The twelve keys: each sends its key code, nothing else (BitBtn12 also asks for the
    // averaging history to be cleared, after sending).
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn5Click();
    void BitBtn6Click();
    void BitBtn7Click();
    void BitBtn8Click();
    void BitBtn9Click();
    void BitBtn10Click();
    void BitBtn11Click();
    void BitBtn12Click();
    void BitBtn13Click();
    // Expanded and compact height.
    void BitBtn14Click();
    void BitBtn15Click();
    // Opens the companion window "Запись и график" (also on the window's context menu).
    void BitBtn16Click();
    // Moves the link to the spin edit's port number.
    void SpinEdit1Change();
    // The watchdog: no frame for a whole period.
    void Timer1Timer();

    // ---- Observation, for the headless program and the tests.
    const k419::FrontPanelModel& Model() const { return model_; }
    std::uint64_t FramesShown() const { return framesShown_; }
    // Whether ComPort1 was open at some time since the window was created.
    bool PortWasOpened() const { return portWasOpened_; }
    // Called after every frame shown, with the texts now on the panel.
    void SetOnFrameShown(std::function<void(const k419::PanelTexts&)> handler) {
        onFrameShown_ = std::move(handler);
    }
    // Called after every watchdog tick, with the texts now on the panel.
    void SetOnWatchdog(std::function<void(const k419::PanelTexts&)> handler) {
        onWatchdog_ = std::move(handler);
    }
    enum class LinkChange {
        Lost,    // the device vanished or hung up (not the user's doing)
        Back,    // after a loss, the port is open again
        Opened,  // a port that could not be opened (at start, after a move) opened by itself
    };
    // Called at each of those, with the port it is about: "COM1 (/dev/ttyUSB0)".
    void SetOnLinkChanged(std::function<void(LinkChange, const std::string& port)> handler) {
        onLinkChanged_ = std::move(handler);
    }
    // Whether the window waits for the device of its port to come (back), retrying quietly.
    bool WaitingForDevice() const { return waiting_; }

    // Called with the record of every frame the receive handler takes.
    void SetOnReading(std::function<void(const k419::Reading&)> handler) {
        onReading_ = std::move(handler);
    }
    // The receive handler takes no more frames once `frames` have been shown (0: no limit).
    void SetFrameLimit(std::uint64_t frames) { frameLimit_ = frames; }

    // ---- The readings kept beside the displays: recording, statistics, plot.
    k419::app::ReadingSession& Session() { return session_; }
    // The companion window, created (hidden) on first use; OpenCompanion shows and raises it.
    k419::app::CompanionWindow& Companion();
    void OpenCompanion();
    // Writes every byte received from now on to `path`, in arrival order, also the bytes the
    // panel discards (a frame with a wrong header, a port move, an open), so that a session can
    // be replayed. False with `error` set when the file cannot be created.
    bool StartCapture(const std::string& path, std::string& error);
    // The same into `file`, already open for writing as `path`; the window closes it.
    void StartCapture(std::FILE* file, const std::string& path);
    // Called once when the capture stops because its file cannot be written, with the reason
    // ("cannot write /x: No space left on device"). Unset, the application's exception handler
    // is told.
    void SetOnCaptureFailed(std::function<void(const std::string&)> handler) {
        onCaptureFailed_ = std::move(handler);
    }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    class PortFrameSource;
    class Capture;
    class TimerWatchdog;
    enum class Field : int;
    struct FieldControl;

    void FitDisplayFonts();
    void ShowDisplayMenu(const QPoint& at, QLineEdit* display);
    void LoadComponents();
    void ConnectReadings();
    void ConnectLink();
    QString PortToolTip();
    void DeviceLost();
    enum class WaitReason { None, Lost, OpenFailed };
    void WaitForDevice(WaitReason reason);
    void TryReopen();
    void ConnectControls();
    void SetClientHeight(int height);
    void SendKey(k419::KeyCode code);
    void ShowField(Field field, const std::string& text);
    void ShowFrameTexts();
    void ShowFrame();
    void TakeFrame();
    void DiscardWaitingInput();
    template <class Body>
    void Handle(Body&& body);
    template <class Body>
    void HandlePort(Body&& body);
    std::string PortLabel() const;
    k419::app::PortFailure PortFailureOf(const std::exception& e) const;

    std::unique_ptr<Ui::TForm1> ui_;
    k419::FrontPanelModel model_;
    std::unique_ptr<PortFrameSource> source_;
    std::unique_ptr<TimerWatchdog> watchdog_;
    std::unique_ptr<FieldControl[]> fields_;
    // The texts last written into each control, so that a frame rewrites only what changed;
    // a field the user types into is marked stale, so the next frame overwrites it.
    k419::PanelTexts shown_;
    std::uint64_t framesShown_ = 0;
    std::uint64_t frameLimit_ = 0;
    bool portWasOpened_ = false;
    // The port is closed for want of its device and opens again by itself when it comes.
    bool waiting_ = false;
    WaitReason waitReason_ = WaitReason::None;
    // While waiting: notice of changes where the device can appear.
    std::unique_ptr<k419::platform::PathWatch> deviceWatch_;
    std::unique_ptr<QSocketNotifier> deviceNotice_;
    std::function<void(LinkChange, const std::string&)> onLinkChanged_;
    bool centred_ = false;
    bool destroying_ = false;
    // While frames come faster than a screen refreshes, the controls catch up with the latest
    // frame once per refresh (see ShowFrame).
    std::chrono::steady_clock::time_point lastShownAt_{};
    bool refreshPending_ = false;
    std::function<void(const k419::PanelTexts&)> onFrameShown_;
    std::function<void(const k419::PanelTexts&)> onWatchdog_;
    std::function<void(const k419::Reading&)> onReading_;
    std::unique_ptr<Capture> capture_;
    std::function<void(const std::string&)> onCaptureFailed_;
    k419::app::ReadingSession session_;
    std::unique_ptr<k419::app::CompanionWindow> companion_;
};
