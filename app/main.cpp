// k419: the K4-19 remote front panel.
#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/ComSelectView.h"
#include "app/DemoMeter.h"
#include "app/Form1.h"
#include "app/PlatformBridge.h"
#include "platform/PlatformHooks.h"

#ifndef K419_VERSION
#define K419_VERSION "unknown"
#endif

namespace {

constexpr int ExitUsage = 2;
// Headless, a run in which the port never opened has failed.
constexpr int ExitNeverOpened = 1;

const char* const Usage =
    "Usage: k419 [--simulate]\n"
    "Remote front panel of the K4-19 LCR meter: shows its readings and state and sends its\n"
    "key codes over a serial line (9600 baud, 8N1).\n"
    "\n"
    "  --simulate   run with a simulated meter on a pseudo-terminal of its own, mapped to\n"
    "               COM1 (no hardware needed)\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "The panel opens COM1 at start; the COM spin box moves the link to COM2, COM3 or COM4.\n"
    "COMn is the device named by the environment variable K419_COMn, or /dev/ttyS<n-1> when\n"
    "that is not set; the user needs access to it (on Debian: membership of group dialout).\n"
    "When no meter frame comes for 2 s the displays say \"Нет данных\" / \"разрыв связи\".\n"
    "\n"
    "Without a display (neither DISPLAY nor WAYLAND_DISPLAY set, or the one set cannot be\n"
    "reached) the panel runs headless: it prints one line per frame shown on standard output\n"
    "and every error message on standard error, each after \"k419: \". It runs until Ctrl+C\n"
    "or SIGTERM; the exit status is then 0 when the port was open at some time during the\n"
    "run and 1 when it never opened. Qt's own options (e.g. -platform) are accepted.\n";

// Ctrl+C and a terminate request end the event loop, so the port is closed in order.
void QuitOnSignals(QApplication& app) {
    const int fd = k419::platform::TerminationRequestDescriptor();
    if (fd < 0) return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
}

// Chooses where the window goes before Qt looks: a display named by the environment that
// cannot be reached would make Qt abort, so the panel runs headless instead and says why.
// Returns true when Qt may still fall back to no window (no support for the display found).
bool ChooseDisplay() {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return false;  // the user's choice
    const QByteArray x11 = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    if (x11.isEmpty() && wayland.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return false;
    }
    if (!x11.isEmpty() && k419::platform::X11DisplayReachable(x11.constData())) return false;
    if (!wayland.isEmpty() && k419::platform::WaylandDisplayReachable(wayland.constData())) {
        // Without Qt's Wayland support the X11 one would fail: fall back to no window.
        qputenv("QT_QPA_PLATFORM", "wayland;offscreen");
        return true;
    }
    const QByteArray named = !x11.isEmpty() ? "DISPLAY=" + x11 : "WAYLAND_DISPLAY=" + wayland;
    std::fprintf(stderr, "k419: the display %s cannot be reached; running without a window\n",
                 named.constData());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return false;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// One line per frame: the two displays with their letters, then the state panel.
void PrintFrame(const k419::PanelTexts& t) {
    std::printf(
        "%s %s | %s %s | РЕЖИМ %s | ПРЕДЕЛ %s | ЧАСТОТА %s | СМЕЩЕНИЕ %s | "
        "УРОВЕНЬ %s | СХЕМА %s\n",
        t.LA.c_str(), Trimmed(t.Base).c_str(), t.LD.c_str(), Trimmed(t.Dop).c_str(),
        t.Label2.c_str(), t.Label1.c_str(), t.Label3.c_str(), t.Label4.c_str(), t.Label5.c_str(),
        t.Label7.c_str());
    std::fflush(stdout);
}

void PrintWatchdog(const k419::PanelTexts& t) {
    std::printf("%s | %s\n", t.Base.c_str(), t.Dop.c_str());
    std::fflush(stdout);
}

void KeepSeriousQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "k419: %s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool simulate = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return EXIT_SUCCESS;
        }
        if (arg == "--version") {
            std::printf("k419 %s\n", K419_VERSION);
            return EXIT_SUCCESS;
        }
        if (arg == "--simulate") simulate = true;
    }
    const bool mayFallBack = ChooseDisplay();

    const QByteArray requested = qgetenv("QT_QPA_PLATFORM");
    if (requested.startsWith("offscreen") || requested.startsWith("minimal")) {
        // Standard error carries the panel's messages only; Qt's notes about its environment
        // (no runtime directory, no session) would bury them.
        qInstallMessageHandler(KeepSeriousQtMessages);
    }

    QApplication app(argc, argv);
    // What is left after Qt took its own options must be ours.
    for (const QString& arg : QApplication::arguments().mid(1)) {
        if (arg != QLatin1String("--simulate")) {
            std::fprintf(stderr, "k419: unknown option %s\nTry 'k419 --help'.\n",
                         arg.toLocal8Bit().constData());
            return ExitUsage;
        }
    }
    const QString platform = QGuiApplication::platformName();
    const bool headless =
        platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    if (headless && mayFallBack) {
        std::fprintf(stderr,
                     "k419: this Qt cannot show windows on WAYLAND_DISPLAY=%s; running without a "
                     "window\n",
                     qgetenv("WAYLAND_DISPLAY").constData());
    }
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("k419")));
    k419::app::ConnectPlatformMessages();
    k419::app::InstallExceptionDisplay(headless ? k419::app::MessageDisplay::StandardError
                                                : k419::app::MessageDisplay::Dialog);
    InstallComSelectView();
    QuitOnSignals(app);

    std::unique_ptr<k419::app::DemoMeter> demo;
    if (simulate) {
        try {
            demo = std::make_unique<k419::app::DemoMeter>();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "k419: %s\n", e.what());
            return EXIT_FAILURE;
        }
        setenv("K419_COM1", demo->TerminalPath().c_str(), 1);
    }

    // The separator is read once: the panel formats every reading with it.
    TForm1 form(QLocale::system().decimalPoint().toStdString());
    if (headless) {
        form.SetOnFrameShown(PrintFrame);
        form.SetOnWatchdog(PrintWatchdog);
    }
    form.show();
    const int status = QApplication::exec();
    if (headless && !form.PortWasOpened()) return ExitNeverOpened;
    return status;
}
