// k419: the K4-19 remote front panel.
#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/CommandLine.h"
#include "app/ComSelectView.h"
#include "sim/TerminalMeter.h"
#include "app/Form1.h"
#include "app/PlatformBridge.h"
#include "meter/Reading.h"
#include "platform/PlatformHooks.h"
#include "platform/SerialPorts.h"

#ifndef K419_VERSION
#define K419_VERSION "unknown"
#endif

namespace {

constexpr int ExitUsage = 2;
// Headless, a run in which the port never opened has failed.
constexpr int ExitNeverOpened = 1;

const char* const Usage =
    "Usage: k419 [OPTION]...\n"
    "Remote front panel of the K4-19 LCR meter: shows its readings and state and sends its\n"
    "key codes over a serial line (9600 baud, 8N1).\n"
    "\n"
    "  --port COMn=PATH    COMn is the device PATH (repeatable)\n"
    "  --list-ports        list COM1 to COM4 and every further serial device found, with\n"
    "                      what each is and whether it can be opened now, and exit\n"
    "  --simulate          run with a simulated meter on a pseudo-terminal of its own as COM1\n"
    "                      (no hardware needed)\n"
    "  --record FILE       record every reading to FILE (CSV) from the start\n"
    "  --capture FILE      write the raw bytes received to FILE (for k419-decode)\n"
    "  --format FORMAT     what goes to standard output without a display: text (one line of\n"
    "                      the panel's texts per frame, the default), csv or jsonl (the\n"
    "                      reading record; the watchdog's lines then go to standard error)\n"
    "  --frames N          end after N frames\n"
    "  --duration SECONDS  end after SECONDS\n"
    "  --help              show this help and exit\n"
    "  --version           show the version and exit\n"
    "\n"
    "The panel opens COM1 at start; the COM spin box moves the link to COM2, COM3 or COM4.\n"
    "COMn is the device given by --port, else by the environment variable K419_COMn, else the\n"
    "n-th serial device found: USB adapters first (in the order of their /dev/serial/by-id\n"
    "names), then built-in ports with hardware behind them. A device keeps its number for the\n"
    "whole run. The user needs access to it (on Debian: membership of group dialout). When the\n"
    "device goes away (an adapter pulled out) the panel waits for it and reconnects by itself.\n"
    "When no meter frame comes for 2 s the displays say \"Нет данных\" / \"разрыв связи\".\n"
    "\"Запись и график\" (a button of the expanded window, and the window's context menu)\n"
    "records the readings to a file, keeps their statistics and plots them.\n"
    "\n"
    "Without a display (neither DISPLAY nor WAYLAND_DISPLAY set, or the one set cannot be\n"
    "reached) the panel runs headless: it prints one line per frame on standard output and\n"
    "every error message on standard error, each after \"k419: \". It runs until Ctrl+C,\n"
    "SIGTERM, --frames or --duration, then prints the statistics of the run on standard\n"
    "error; the exit status is 0 when the port was open at some time during the run and 1\n"
    "when it never opened. Qt's own options (e.g. -platform) are accepted.\n";

// --list-ports: one line per port, "COM1  /dev/ttyUSB0  ok  FTDI FT232R USB UART, serial A1".
int ListPorts() {
    const auto ports = k419::platform::ListPorts();
    std::size_t width = 1;
    for (const auto& port : ports) width = std::max(width, port.path.size());
    for (const auto& port : ports) {
        const std::string com = "COM" + std::to_string(port.number);
        const char* state =
            port.path.empty()
                ? "missing"
                : k419::platform::DeviceStateName(k419::platform::ProbeSerialDevice(port.path));
        std::string about = port.description;
        if (port.source != "found" && !port.source.empty()) {
            about += (about.empty() ? "given by " : " (given by ") + port.source +
                     (port.description.empty() ? "" : ")");
        }
        std::string line = com + std::string(com.size() < 5 ? 5 - com.size() : 0, ' ') + " " +
                           (port.path.empty() ? "-" : port.path);
        line.resize(5 + 1 + width + 2, ' ');
        line += state;
        if (!about.empty()) line += std::string(15 - std::string_view(state).size(), ' ') + about;
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    return EXIT_SUCCESS;
}

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

void PrintWatchdog(const k419::PanelTexts& t, FILE* stream) {
    std::fprintf(stream, "%s%s | %s\n", stream == stdout ? "" : "k419: ", t.Base.c_str(),
                 t.Dop.c_str());
    std::fflush(stream);
}

void PrintLines(const std::string& lines, FILE* stream) {
    std::fputs(lines.c_str(), stream);
    std::fflush(stream);
}

// Each line of `text` on standard error, after "k419: ".
void PrintToStandardError(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty()) std::fprintf(stderr, "k419: %s\n", line.c_str());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::fflush(stderr);
}

void KeepSeriousQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "k419: %s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Help, version and the port list need no display: answered before Qt starts (when Qt's
    // own options are among the arguments, after it has taken them).
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
    }
    {
        k419::app::Options early;
        if (!k419::app::ParseOptions({argv + 1, argv + argc}, early) && early.listPorts) {
            for (const auto& [number, path] : early.ports) k419::platform::SetPortDevice(number, path);
            return ListPorts();
        }
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
    std::vector<std::string> args;
    for (const QString& arg : QApplication::arguments().mid(1)) args.push_back(arg.toStdString());
    k419::app::Options options;
    if (const auto error = k419::app::ParseOptions(args, options)) {
        std::fprintf(stderr, "k419: %s\nTry 'k419 --help'.\n", error->c_str());
        return ExitUsage;
    }
    for (const auto& [number, path] : options.ports) k419::platform::SetPortDevice(number, path);
    if (options.listPorts) return ListPorts();
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
    k419::app::StoreNoSettings();
    k419::app::ConnectPlatformMessages();
    k419::app::InstallExceptionDisplay(headless ? k419::app::MessageDisplay::StandardError
                                                : k419::app::MessageDisplay::Dialog);
    InstallComSelectView();
    QuitOnSignals(app);

    std::unique_ptr<k419::sim::TerminalMeter> demo;
    if (options.simulate) {
        try {
            demo = std::make_unique<k419::sim::TerminalMeter>();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "k419: %s\n", e.what());
            return EXIT_FAILURE;
        }
        k419::platform::SetPortDevice(1, demo->TerminalPath());
    }

    // The separator is read once: the panel formats every reading with it.
    TForm1 form(QLocale::system().decimalPoint().toStdString());
    const auto start = std::chrono::system_clock::now();
    if (!options.capture.empty()) {
        std::string error;
        if (!form.StartCapture(options.capture, error)) {
            std::fprintf(stderr, "k419: %s\n", error.c_str());
            return EXIT_FAILURE;
        }
    }
    if (!options.record.empty() && !form.Session().StartRecording(options.record)) {
        // The panel goes on without the recording.
        const std::string& reason = form.Session().RecordingError();
        if (headless) {
            PrintToStandardError("recording not started: " + reason);
        } else {
            k419::app::ShowExceptionMessage("Запись показаний не началась: " + reason,
                                            k419::app::MessageDisplay::Dialog);
        }
    }
    if (headless) {
        using k419::app::OutputFormat;
        const OutputFormat format = options.format;
        form.Session().SetOnRecordingFailed([](const std::string& reason) {
            PrintToStandardError("recording stopped: " + reason);
        });
        if (format == OutputFormat::Text) {
            form.SetOnFrameShown(PrintFrame);
        } else if (format == OutputFormat::Csv) {
            PrintLines(k419::CsvHeader(), stdout);
        }
        form.SetOnReading([format, start](const k419::Reading& reading) {
            if (format == OutputFormat::Csv) PrintLines(k419::CsvRow(reading, start), stdout);
            if (format == OutputFormat::Jsonl) PrintLines(k419::JsonLine(reading, start), stdout);
        });
        form.SetOnLinkChanged([](bool up, const std::string& port) {
            PrintToStandardError(port + (up ? ": link back" : ": link lost, waiting for the device"));
        });
        // With the record on standard output, the watchdog's texts would break its rows.
        FILE* watchdog = format == OutputFormat::Text ? stdout : stderr;
        form.SetOnWatchdog([watchdog](const k419::PanelTexts& t) { PrintWatchdog(t, watchdog); });
    }
    if (options.frames > 0) {
        form.SetOnFrameShown([&form, &options, headless](const k419::PanelTexts& t) {
            if (headless && options.format == k419::app::OutputFormat::Text) PrintFrame(t);
            if (form.FramesShown() >= options.frames) QApplication::quit();
        });
    }
    if (options.duration > 0) {
        QTimer::singleShot(std::chrono::milliseconds(static_cast<long long>(options.duration * 1000)),
                           &app, [] { QApplication::quit(); });
    }
    form.show();
    const int status = QApplication::exec();
    form.Session().StopRecording();
    if (headless) PrintToStandardError(form.Session().Statistics().Summary());
    if (headless && !form.PortWasOpened()) return ExitNeverOpened;
    return status;
}
