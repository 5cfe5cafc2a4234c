// The glue between Qt and the layers below it: the platform's per-thread message queue run by
// Qt's event loop, and the application's exception handler shown to the user.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace k419::app {

// A failure of the serial port as the user is told of it: the port and device it is about,
// then the component's own message (what(), as a line on standard error shows it); and for a
// message box, a plain Russian sentence to go above that.
class PortFailure : public std::runtime_error {
  public:
    explicit PortFailure(const std::string& message, std::string russian = {})
        : std::runtime_error(message), russian_(std::move(russian)) {}
    const std::string& Russian() const { return russian_; }

  private:
    std::string russian_;
};

// Lets the calling thread's platform messages (the serial engine's notifications and its
// worker threads' reports) run on that thread's Qt event loop: every arrival schedules one
// drain of the queue on the loop, and arrivals before that drain has started share it. While
// the serial engine pumps platform messages by itself (a close waiting for its worker
// threads), Qt gets a turn before each message, so timer ticks and clicks keep flowing.
// Call once per GUI thread, after the QApplication exists; calling it again changes nothing.
void ConnectPlatformMessages();

// Ends every event loop that runs on the main thread, a modal dialog's (a message box, the file
// dialog) included, and keeps any loop started afterwards from running: the program is on its
// way out. Main thread.
void EndEventLoops();
// Whether EndEventLoops was called; the program's main loop must not start then.
bool EventLoopsEnded();
// From this call on, Ctrl+C and SIGTERM end the program through EndEventLoops, whatever dialog
// is open, so that the port is closed and a recording finished as at a normal exit. Call once,
// after the QApplication exists.
void EndOnTerminationRequests();

// Makes sure the program stores nothing on disk: Qt's own dialogs (the file dialog remembers
// its folders and layout) write their settings to the user's configuration folder; from this
// call on they go nowhere. Call once, after the QApplication exists.
void StoreNoSettings();

enum class MessageDisplay {
    Dialog,         // a modal message box, as a desktop program reports an error
    StandardError,  // one line on the standard error stream, after "k419: " (no display)
};

// Installs the application's exception handler for the whole process: a failure that ends an
// event handler, or that escapes a serial worker thread (reported on the thread that started
// it), is shown with its message and the program runs on.
void InstallExceptionDisplay(MessageDisplay display);

// Shows `message` as the installed display does. Main thread.
void ShowExceptionMessage(const std::string& message, MessageDisplay display);

// Passes the exception being handled to the application's exception handler. Only inside a
// catch block; never throws.
void ReportCurrentException() noexcept;

// Runs `body` as the entry point of an event handler: an exception ends the handler, goes to
// the application's exception handler and never reaches Qt's event loop.
template <class Body>
void Guarded(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        ReportCurrentException();
    }
}

}  // namespace k419::app
