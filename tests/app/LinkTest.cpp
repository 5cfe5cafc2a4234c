// The link looks after itself: a device that is pulled out and plugged in again (a fixed path
// re-pointed at a new pseudo-terminal) brings the readings back by itself, without a message
// box, in the window and headless; so does a device that is missing at start.
#include <gtest/gtest.h>

#include <QHelpEvent>
#include <QSpinBox>
#include <filesystem>
#include <memory>
#include <vector>

#include "PanelTestSupport.h"
#include "ProgramProcess.h"
#include "app/Form1.h"
#include "meter/FrameBytes.h"

namespace {

namespace fs = std::filesystem;
using k419::test::App;
using k419::test::ErrorRecord;
using k419::test::ManualTimerClock;
using k419::test::WaitUntil;

// COM1 as a USB adapter looks to the panel: a fixed path that names a device while it is
// plugged in. Pulling it closes the device's far end (a hang-up) and removes the path.
class PluggableDevice {
  public:
    PluggableDevice() {
        dir_ = fs::temp_directory_path() / ("k419-link-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "ttyUSB0").string();
        setenv("K419_COM1", path_.c_str(), 1);
    }
    ~PluggableDevice() {
        pty_.reset();
        unsetenv("K419_COM1");
        fs::remove_all(dir_);
    }
    void Plug() {
        pty_ = std::make_unique<TestPty>(97);
        fs::create_directories(dir_);
        fs::remove(path_);
        fs::create_symlink(pty_->Path(), path_);
    }
    // Pulls the device; with `folder`, its folder goes too (as udev removes /dev/serial/by-id
    // with the last adapter) and comes back with the next plug.
    void Pull(bool folder = false) {
        pty_.reset();
        fs::remove(path_);
        if (folder) fs::remove_all(dir_);
    }
    // A whole frame whose first number is `first` (range 4, R: 1/first kΩ).
    bool Send(float first) {
        const auto f = k419::test::MakeFrame(first, 0.5f, 4, 0x12, 0);
        return pty_ && pty_->Write(std::string(f.begin(), f.end()));
    }
    const std::string& Path() const { return path_; }

  private:
    fs::path dir_;
    std::string path_;
    std::unique_ptr<TestPty> pty_;
};

constexpr float OldStream = 1.0f / 1024, NewStream = 1.0f / 512;

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override { App(); }
    void Create() {
        form = std::make_unique<TForm1>(",", clock);
        form->SetOnReading([this](const k419::Reading& r) {
            if (r.resistance.value) shown.push_back(*r.resistance.value);
        });
    }
    // Sends frames of `first` every 50 ms until the window shows one; at most 5 s.
    bool ShowsFramesOf(float first) {
        const double ohms = 1e3 / first;
        for (int i = 0; i < 100; ++i) {
            device.Send(first);
            if (WaitUntil([&] { return !shown.empty() && shown.back() == ohms; }, 50)) return true;
        }
        return false;
    }

    PluggableDevice device;
    ManualTimerClock clock;
    ErrorRecord errors;
    std::unique_ptr<TForm1> form;
    std::vector<double> shown;
};

TEST_F(LinkTest, AReplugOfTheDeviceBringsTheReadingsBackWithoutAMessage) {
    device.Plug();
    Create();
    ASSERT_TRUE(ShowsFramesOf(OldStream));
    device.Pull();
    ASSERT_TRUE(WaitUntil([&] { return form->WaitingForDevice(); }, 5000));
    EXPECT_FALSE(form->ComPort1.Open());
    WaitUntil([] { return false; }, 500);
    device.Plug();
    const std::size_t before = shown.size();
    ASSERT_TRUE(ShowsFramesOf(NewStream));
    EXPECT_FALSE(form->WaitingForDevice());
    // Nothing of the old stream once the new one has started.
    const auto first =
        std::find(shown.begin() + static_cast<long>(before), shown.end(), 1e3 / NewStream);
    EXPECT_EQ(std::count(first, shown.end(), 1e3 / OldStream), 0);
    EXPECT_TRUE(errors.messages.empty());
}

// The window's clock never ticks here: only the watch and the try right after arming it bring
// the link back.
TEST_F(LinkTest, ADeviceBackAtOnceOrInAFolderMadeAgainIsTakenWithoutATick) {
    device.Plug();
    Create();
    ASSERT_TRUE(ShowsFramesOf(OldStream));
    // Back within the same instant (an adapter that resets).
    device.Pull();
    device.Plug();
    ASSERT_TRUE(ShowsFramesOf(NewStream));
    // Its folder removed while it is away, and made again.
    device.Pull(true);
    ASSERT_TRUE(WaitUntil([&] { return form->WaitingForDevice(); }, 5000));
    WaitUntil([] { return false; }, 200);
    device.Plug();
    ASSERT_TRUE(ShowsFramesOf(OldStream));
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(LinkTest, ADeviceMissingAtStartIsReportedOnceAndTakenWhenItComes) {
    Create();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_TRUE(form->WaitingForDevice());
    WaitUntil([] { return false; }, 600);  // a few quiet tries
    device.Plug();
    ASSERT_TRUE(ShowsFramesOf(NewStream));
    EXPECT_EQ(errors.messages.size(), 1u);
}

TEST_F(LinkTest, TheSelectorsToolTipNamesTheDeviceAndItsState) {
    device.Plug();
    Create();
    auto* spin = form->findChild<QSpinBox*>("SpinEdit1");
    const auto tip = [&] {
        QHelpEvent ask(QEvent::ToolTip, QPoint(5, 5), spin->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(spin, &ask);
        return spin->toolTip().toStdString();
    };
    EXPECT_EQ(tip(), "COM1: " + device.Path() + " — открыт панелью");
    device.Pull();
    ASSERT_TRUE(WaitUntil([&] { return form->WaitingForDevice(); }, 5000));
    EXPECT_EQ(tip(), "COM1: " + device.Path() + " — нет устройства, панель ждёт его");
}

TEST_F(LinkTest, HeadlessTheLossAndTheReturnAreOneLineEach) {
    device.Plug();
    k419::test::Program k419({K419_BINARY_DIR "/app/k419"}, {{"DISPLAY", ""},
                                                             {"WAYLAND_DISPLAY", ""},
                                                             {"QT_QPA_PLATFORM", ""},
                                                             {"K419_COM1", device.Path()}});
    const auto frameLine = [&](float first) {
        for (int i = 0; i < 100; ++i) {
            device.Send(first);
            while (const auto line = k419.OutputLine(50)) {
                if (line->rfind("R ", 0) == 0) return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(frameLine(OldStream));
    device.Pull();
    const std::string port = "k419: COM1 (" + device.Path() + "): ";
    EXPECT_EQ(k419.ErrorLine(), port + "link lost, waiting for the device");
    WaitUntil([] { return false; }, 500);
    device.Plug();
    ASSERT_TRUE(frameLine(NewStream));
    EXPECT_EQ(k419.ErrorLine(), port + "link back");
    k419.Signal(SIGTERM);
    EXPECT_EQ(k419.Wait(), 0);
}

TEST_F(LinkTest, HeadlessADeviceMissingAtStartSaysOnceThatItOpened) {
    k419::test::Program k419({K419_BINARY_DIR "/app/k419"}, {{"DISPLAY", ""},
                                                             {"WAYLAND_DISPLAY", ""},
                                                             {"QT_QPA_PLATFORM", ""},
                                                             {"K419_COM1", device.Path()}});
    const std::string port = "k419: COM1 (" + device.Path() + "): ";
    EXPECT_EQ(k419.ErrorLine(), port + "ie_BadId - Specified comport doesn't exist");
    device.Plug();
    EXPECT_EQ(k419.ErrorLine(), port + "opened");
    k419.Signal(SIGTERM);
    EXPECT_EQ(k419.Wait(), 0);
}

}  // namespace
