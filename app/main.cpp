// k419: the K4-19 remote front panel.
#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cerrno>
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
#include "app/Glyphs.h"
#include "app/HeadlessOutput.h"
#include "app/PlatformBridge.h"
#include "app/UserMessages.h"
#include "meter/Reading.h"
#include "platform/PlatformHooks.h"
#include "platform/SerialPorts.h"

extern char** environ;

#ifndef K419_VERSION
#define K419_VERSION "unknown"
#endif

using k419::app::PrintToStandardError;

namespace {

const char* const Usage =
    "Usage: k419 [OPTION]...\n"
    "Remote front panel of the K4-19 LCR meter: shows its readings and state and sends its\n"
    "key codes over a serial line (9600 baud, 8N1).\n"
    "\n"
    "  --port COMn=PATH    COMn (COM1 to COM4) is the device PATH (repeatable)\n"
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
    "error. Qt's own options (e.g. -platform) are accepted.\n"
    "\n"
    "Exit status without a display:\n"
    "  0  ran, and kept everything that was asked\n"
    "  1  the port never opened (also: --simulate could not start its meter)\n"
    "  2  usage error\n"
    "  3  a recording, capture or standard output could not be created or written\n";

// --list-ports: one line per port, "COM1  /dev/ttyUSB0  ok  FTDI FT232R USB UART, serial A1";
// a system console, which no number names, as "-  /dev/ttyS0  not used  ... (system console)".
int ListPorts() {
    const auto ports = k419::platform::ListPorts();
    std::size_t width = 1;
    for (const auto& port : ports) width = std::max(width, port.path.size());
    for (const auto& port : ports) {
        const bool console = port.source == "console";
        const std::string com = console ? "-" : "COM" + std::to_string(port.number);
        const char* state =
            console ? "not used"
            : port.path.empty()
                ? "missing"
                : k419::platform::DeviceStateName(k419::platform::ProbeSerialDevice(port.path));
        std::string about = port.description;
        if (console) {
            about += (about.empty() ? "" : " ") + std::string("(system console)");
        } else if (port.source != "found" && !port.source.empty()) {
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

// The panel has COM1 to COM4: K419_COMn for a higher n names nothing it can use, and is left
// out (said in one line), so that it does not give a number to a device either.
void IgnoreHigherPortVariables() {
    std::vector<std::string> ignored;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        const std::string_view name = text.substr(0, equals);
        if (name.rfind("K419_COM", 0) != 0 || name.size() == 8) continue;
        const std::string_view digits = name.substr(8);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        if (digits.size() > 1 || digits[0] > '4' || digits[0] == '0') ignored.emplace_back(name);
    }
    if (ignored.empty()) return;
    std::string names;
    for (const std::string& name : ignored) {
        names += (names.empty() ? "" : ", ") + name;
        unsetenv(name.c_str());
    }
    std::fprintf(stderr, "k419: %s ignored: the panel has COM1 to COM4\n", names.c_str());
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

void KeepSeriousQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "k419: %s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv) {
    IgnoreHigherPortVariables();
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
            for (const auto& [number, path] : early.ports)
                k419::platform::SetPortDevice(number, path);
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
        return k419::app::ExitUsage;
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
    // The installed icon when the desktop's theme has it, else the one drawn into the program.
    QIcon fallback;
    for (const int size : {16, 32, 48, 64, 128}) fallback.addPixmap(k419::app::ApplicationIcon(size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("k419"), fallback));
    k419::app::StoreNoSettings();
    // The window speaks Russian whatever the user's locale, Qt's own dialogs included.
    k419::app::InstallRussianTranslations();
    k419::app::ConnectPlatformMessages();
    k419::app::InstallExceptionDisplay(headless ? k419::app::MessageDisplay::StandardError
                                                : k419::app::MessageDisplay::Dialog);
    InstallComSelectView();
    k419::app::EndOnTerminationRequests();

    std::unique_ptr<k419::sim::TerminalMeter> demo;
    if (options.simulate) {
        try {
            demo = std::make_unique<k419::sim::TerminalMeter>();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "k419: %s\n", e.what());
            return k419::app::ExitNeverOpened;
        }
        k419::platform::SetPortDevice(1, demo->TerminalPath());
    }

    // The outputs come first: one that cannot be created ends a headless run at once, before
    // the port is opened.
    const auto start = std::chrono::system_clock::now();
    k419::app::HeadlessOutput out(options.format, start);
    if (headless) {
        out.Begin();
        if (out.Failed()) return k419::app::ExitOutputFailed;
    }
    k419::ReadingRecorder recording;
    bool recordingStarted = false;
    if (!options.record.empty()) {
        recordingStarted = recording.Start(options.record, start);
        if (!recordingStarted) {
            if (headless) {
                out.Fail("recording not started: " + recording.Error());
                return k419::app::ExitOutputFailed;
            }
            // The window goes on without the recording.
            k419::app::ShowExceptionMessage(
                "Запись показаний не началась: " +
                    k419::app::RussianFileFailure(recording.ErrorWhileCreating(), options.record,
                                                  recording.ErrorNumber()) +
                    ".",
                k419::app::MessageDisplay::Dialog);
        }
    }
    std::FILE* capture = nullptr;
    if (!options.capture.empty()) {
        capture = std::fopen(options.capture.c_str(), "wbe");
        if (capture == nullptr) {
            const std::string reason = std::strerror(errno);
            PrintToStandardError("capture not started: cannot create " + options.capture + ": " +
                                 reason);
            return k419::app::ExitOutputFailed;
        }
    }

    if (k419::app::EventLoopsEnded()) return 0;  // ended while a message box was open

    // The separator is read once: the panel formats every reading with it.
    TForm1 form(QLocale::system().decimalPoint().toStdString());
    if (capture != nullptr) form.StartCapture(capture, options.capture);
    if (recordingStarted) form.Session().StartRecording(std::move(recording));
    if (headless) {
        // A failure to keep what was asked ends the run.
        out.SetOnFailed([] { k419::app::EndEventLoops(); });
        form.Session().SetOnRecordingFailed(
            [&out](const std::string& reason) { out.Fail("recording stopped: " + reason); });
        form.SetOnCaptureFailed(
            [&out](const std::string& reason) { out.Fail("capture stopped: " + reason); });
        form.SetOnFrameShown([&out](const k419::PanelTexts& t) { out.Frame(t); });
        form.SetOnReading([&out](const k419::Reading& reading) { out.Reading(reading); });
        form.SetOnLinkChanged([](TForm1::LinkChange change, const std::string& port) {
            switch (change) {
                case TForm1::LinkChange::Lost:
                    PrintToStandardError(port + ": link lost, waiting for the device");
                    break;
                case TForm1::LinkChange::Back:
                    PrintToStandardError(port + ": link back");
                    break;
                case TForm1::LinkChange::Opened:
                    PrintToStandardError(port + ": opened");
                    break;
            }
        });
        form.SetOnWatchdog([&out](const k419::PanelTexts& t) { out.Watchdog(t); });
    }
    if (options.frames > 0) {
        form.SetFrameLimit(options.frames);
        form.SetOnFrameShown([&form, &options, &out, headless](const k419::PanelTexts& t) {
            if (headless) out.Frame(t);
            if (form.FramesShown() >= options.frames) QApplication::quit();
        });
    }
    if (options.duration > 0) {
        QTimer::singleShot(
            std::chrono::milliseconds(static_cast<long long>(options.duration * 1000)), &app,
            [] { QApplication::quit(); });
    }
    form.show();
    // A termination request or a failed output may have come while a message box of the start
    // was open: the main loop is not started then.
    const int status = k419::app::EventLoopsEnded() ? 0 : QApplication::exec();
    form.Session().StopRecording();
    if (headless) PrintToStandardError(form.Session().Statistics().Summary());
    if (headless && out.Failed()) return k419::app::ExitOutputFailed;
    if (headless && !form.PortWasOpened()) return k419::app::ExitNeverOpened;
    return status;
}
