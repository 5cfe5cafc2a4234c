#include "app/PlatformBridge.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QSettings>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "platform/PlatformHooks.h"
#include "serial/Common.h"

namespace k419::app {

namespace {

// Whether a drain is scheduled and has not started yet. Cleared before the drain runs, so
// a message that arrives while it runs schedules the next one.
std::atomic<bool> drainScheduled{false};
thread_local bool connected = false;
bool loopsEnded = false;

void Drain() {
    drainScheduled.store(false);
    k419::platform::PumpPendingMessages();
}

}  // namespace

void ConnectPlatformMessages() {
    if (connected) return;
    connected = true;
    // Called from any thread: only schedules.
    k419::platform::SetThreadWakeHook([] {
        QCoreApplication* app = QCoreApplication::instance();
        if (app != nullptr && !drainScheduled.exchange(true)) {
            QMetaObject::invokeMethod(app, &Drain, Qt::QueuedConnection);
        }
    });
    k419::platform::SetThreadToolkitHook([] {
        if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
    });
}

void EndEventLoops() {
    loopsEnded = true;
    // Unlike quit(), exit() ends the nested loops of modal dialogs too, also before the main
    // loop has started, and every loop started later returns at once.
    QCoreApplication::exit(0);
}

bool EventLoopsEnded() { return loopsEnded; }

void EndOnTerminationRequests() {
    const int fd = k419::platform::TerminationRequestDescriptor();
    if (fd < 0 || QCoreApplication::instance() == nullptr) return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        // Taken at once: a request left readable would wake the loop again and again.
        k419::platform::DrainTerminationRequests();
        EndEventLoops();
    });
}

void StoreNoSettings() {
    // A folder that cannot exist: settings written there are lost, as they should be.
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        for (const auto scope : {QSettings::UserScope, QSettings::SystemScope}) {
            QSettings::setPath(format, scope, QStringLiteral("/dev/null/k419-stores-no-settings"));
        }
    }
}

void ShowExceptionMessage(const std::string& message, MessageDisplay display) {
    if (display == MessageDisplay::StandardError) {
        // One line per message.
        std::string line = message;
        std::replace(line.begin(), line.end(), '\n', ' ');
        std::fprintf(stderr, "k419: %s\n", line.c_str());
        std::fflush(stderr);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("K4-19"), QString::fromStdString(message),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

void InstallExceptionDisplay(MessageDisplay display) {
    SetApplicationExceptionHandler([display](const std::exception& e) {
        // A message box about a port leads with the window's own Russian sentence.
        const auto* port = dynamic_cast<const PortFailure*>(&e);
        if (display == MessageDisplay::Dialog && port != nullptr && !port->Russian().empty()) {
            ShowExceptionMessage(port->Russian() + "\n\n" + e.what(), display);
        } else {
            ShowExceptionMessage(e.what(), display);
        }
    });
}

void ReportCurrentException() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        ApplicationHandleException(e);
    } catch (...) {
        ApplicationHandleException(std::runtime_error("Unknown exception"));
    }
}

}  // namespace k419::app
