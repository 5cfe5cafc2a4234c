// Ctrl+C and SIGTERM end the program whatever dialog is open, and what it recorded is whole.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "PanelTestSupport.h"
#include "app/PlatformBridge.h"
#include "app/ReadingSession.h"
#include "meter/FrameBytes.h"
#include "meter/FrontPanel.h"

namespace {

struct NoWatchdog : k419::Watchdog {
    void Disable() override {}
    void Enable() override {}
};

TEST(Termination, ARequestWhileAMessageBoxIsOpenEndsTheLoopAndTheRecordingIsWhole) {
    k419::test::App();
    k419::app::EndOnTerminationRequests();
    const auto path = std::filesystem::temp_directory_path() / "k419-termination-test.csv";
    k419::app::ReadingSession session;
    ASSERT_TRUE(session.StartRecording(path.string()));
    k419::FrontPanelModel model(",");
    NoWatchdog watchdog;
    model.Frame = k419::test::MakeFrame(1, 10, 5, 0x12, 0x00);
    model.ShowMeterState();
    model.ShowReadings(watchdog);
    for (int i = 0; i < 3; ++i) session.Take(k419::MakeReading(model, {}));

    bool boxReturned = false;
    QTimer::singleShot(0, [&] {
        // The request comes while the box waits for its OK.
        QTimer::singleShot(100, [] { std::raise(SIGTERM); });
        k419::app::ShowExceptionMessage("a message", k419::app::MessageDisplay::Dialog);
        boxReturned = true;
    });
    QTimer guard;  // only if the request is lost
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(20000);
    const int status = QApplication::exec();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(boxReturned);
    EXPECT_TRUE(k419::app::EventLoopsEnded());

    session.StopRecording();
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string csv = text.str();
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4) << csv;  // the header and three rows
    EXPECT_EQ(csv.back(), '\n');
    std::filesystem::remove(path);
}

}  // namespace
