// How failures reach the user: a message box with the exception's message on a desktop, a
// line on standard error without a display, and never an exception out of a handler.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <memory>
#include <stdexcept>

#include "PanelTestSupport.h"
#include "app/Form1.h"
#include "app/PlatformBridge.h"

namespace {

using k419::app::MessageDisplay;
using k419::test::App;
using k419::test::ManualTimerClock;

// Accepts the next message box once it is up, keeping its text and title.
class MessageBoxWatcher {
  public:
    MessageBoxWatcher() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            text = box->text().toStdString();
            title = box->windowTitle().toStdString();
            critical = box->icon() == QMessageBox::Critical;
            ++shown;
            box->accept();
        });
        timer_.start();
    }
    std::string text, title;
    bool critical = false;
    int shown = 0;

  private:
    QTimer timer_;
};

class Form1ErrorsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        setenv("K419_COM1", "/nonexistent/k419-test-tty", 1);
    }
    void TearDown() override {
        SetApplicationExceptionHandler({});
        unsetenv("K419_COM1");
    }
    ManualTimerClock clock;
};

TEST_F(Form1ErrorsTest, FailedOpenAtStartShowsAMessageBoxAndTheWindowOpens) {
    k419::app::InstallExceptionDisplay(MessageDisplay::Dialog);
    MessageBoxWatcher watcher;
    TForm1 form(",", clock);
    EXPECT_EQ(watcher.shown, 1);
    EXPECT_EQ(watcher.text,
              "Порт COM1 не открыт: устройства /nonexistent/k419-test-tty нет. Подключите "
              "адаптер или выберите другой порт; панель подключится сама, как только "
              "устройство появится.\n\n"
              "COM1 (/nonexistent/k419-test-tty): ie_BadId - Specified comport doesn't exist");
    EXPECT_EQ(watcher.title, "K4-19");
    EXPECT_TRUE(watcher.critical);
    form.show();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.ComPort1.Open());
}

TEST_F(Form1ErrorsTest, WithoutADisplayMessagesGoToStandardError) {
    k419::app::InstallExceptionDisplay(MessageDisplay::StandardError);
    testing::internal::CaptureStderr();
    {
        TForm1 form(",", clock);
        form.findChild<QPushButton*>("BitBtn12")
            ->click();  // the port is closed: the open is tried again
    }
    const std::string line =
        "k419: COM1 (/nonexistent/k419-test-tty): ie_BadId - Specified comport doesn't exist";
    // The lines stay English, as a command-line tool's are.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + "\n" + line + "\n");
}

TEST(Guarded, HandsEveryKindOfExceptionToTheApplicationHandler) {
    std::vector<std::string> seen;
    SetApplicationExceptionHandler([&](const std::exception& e) { seen.emplace_back(e.what()); });
    k419::app::Guarded([] { throw std::runtime_error("line gone"); });
    k419::app::Guarded([] { throw 42; });
    bool ran = false;
    k419::app::Guarded([&] { ran = true; });
    SetApplicationExceptionHandler({});
    EXPECT_TRUE(ran);
    EXPECT_EQ(seen, (std::vector<std::string>{"line gone", "Unknown exception"}));
}

}  // namespace
