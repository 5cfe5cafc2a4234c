// The port selection dialog's Qt view, offscreen: its form, its answers, and the component's
// numberless open that shows it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "app/ComSelectView.h"
#include "platform/TestPty.h"
#include "serial/CommErrors.h"
#include "serial/ComPort.h"

namespace {

QApplication& App() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// Once the modal dialog is up, lets act do what the user would.
void WhenTheDialogShows(std::function<void(QDialog&)> act) {
    auto* timer = new QTimer(&App());
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        act(*dialog);
    });
    timer->start(5);
}

void Click(QDialog& dialog, const char* button) {
    auto* b = dialog.findChild<QPushButton*>(button);
    ASSERT_NE(b, nullptr) << button;
    b->click();
}

// Maps COM1 to COM50 to a path that does not exist, so that the dialog's probes touch no
// real device; a test publishes its own pseudo-terminal afterwards.
struct NoSerialPorts {
    NoSerialPorts() {
        for (int n = 1; n <= 50; ++n)
            setenv(("K419_COM" + std::to_string(n)).c_str(), "/nonexistent/k419-none", 1);
    }
    ~NoSerialPorts() {
        for (int n = 1; n <= 50; ++n) unsetenv(("K419_COM" + std::to_string(n)).c_str());
    }
};

TEST(ComSelectView, IsBuiltFromTheForm) {
    App();
    ComSelectView view;
    QDialog& d = *view.Dialog();
    EXPECT_EQ(d.windowTitle(), "Select Port");
    EXPECT_EQ(d.size(), QSize(220, 131));
    EXPECT_EQ(d.minimumSize(), d.maximumSize());
    EXPECT_EQ(d.findChild<QLabel*>("Label1")->text(), "The configured serial port is not valid.");
    EXPECT_EQ(d.findChild<QLabel*>("Label2")->text(), "Please choose another port.");
    EXPECT_EQ(d.findChild<QPushButton*>("OkBtn")->text(), "OK");
    EXPECT_TRUE(d.findChild<QPushButton*>("OkBtn")->isDefault());
    EXPECT_EQ(d.findChild<QPushButton*>("AbortBtn")->text(), "Cancel");
    EXPECT_FALSE(d.findChild<QComboBox*>("PortsComboBox")->isEditable());
}

TEST(ComSelectView, ListsAndSelectsEntries) {
    App();
    ComSelectView view;
    EXPECT_EQ(view.SelectedText(), "");
    view.AppendPort("COM1");
    view.AppendPort("COM3");
    view.SetSelectedIndex(1);
    EXPECT_EQ(view.SelectedText(), "COM3");
    view.SetSelectedIndex(-1);
    EXPECT_EQ(view.SelectedText(), "");
}

TEST(ComSelectView, EachWayOutGivesItsModalResult) {
    App();
    struct Case {
        const char* name;
        std::function<void(QDialog&)> act;
        int result;
    } cases[] = {
        {"OK", [](QDialog& d) { Click(d, "OkBtn"); }, mrOk},
        {"Cancel", [](QDialog& d) { Click(d, "AbortBtn"); }, mrAbort},
        {"close button", [](QDialog& d) { d.close(); }, mrNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComSelectView view;
        WhenTheDialogShows(c.act);
        EXPECT_EQ(view.ShowModal(), c.result);
    }
}

TEST(ComSelectView, CancelFailsTheNumberlessOpen) {
    App();
    NoSerialPorts noPorts;
    InstallComSelectView();
    TComPort port;
    port.SetComNumber(0);
    WhenTheDialogShows([](QDialog& d) { Click(d, "AbortBtn"); });
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "no exception";
    } catch (const ENoPortSelected& e) {
        EXPECT_STREQ(e.what(), "The ComNumber property of the TComPort has not been set");
    }
    SetComSelectViewFactory({});
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.ComNumber(), 0);
}

TEST(ComSelectView, TheChosenPortIsOpened) {
    App();
    NoSerialPorts noPorts;
    TestPty pty(37);
    InstallComSelectView();
    TComPort port;
    port.SetComNumber(0);
    QStringList listed;
    WhenTheDialogShows([&](QDialog& d) {
        auto* ports = d.findChild<QComboBox*>("PortsComboBox");
        for (int i = 0; i < ports->count(); ++i) listed << ports->itemText(i);
        ports->setCurrentIndex(ports->findText("COM37"));
        Click(d, "OkBtn");
    });
    port.SetOpen(true);
    SetComSelectViewFactory({});
    EXPECT_EQ(listed, QStringList{"COM37"});
    EXPECT_EQ(port.ComNumber(), 37);
    EXPECT_EQ(port.PortState(), psOpen);
    port.SendByte('K');
    EXPECT_EQ(pty.Read(1), "K");
    port.SetOpen(false);
}

}  // namespace
