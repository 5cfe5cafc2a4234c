// What the program writes when it runs without a window: a line per frame or reading on
// standard output, the watchdog's lines, and its messages on standard error.
//
// A headless run keeps what it was asked to keep or says that it could not: the first output
// that cannot be created or written (standard output, the recording, the capture) is said once
// on standard error (what, where, the system's reason), and the run ends with status 3.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "app/CommandLine.h"
#include "meter/FrontPanel.h"
#include "meter/Reading.h"

namespace k419::app {

// Headless exit statuses.
inline constexpr int ExitNeverOpened = 1;  // the port never opened (or the simulator failed)
inline constexpr int ExitUsage = 2;
inline constexpr int ExitOutputFailed = 3;  // a recording, capture or standard output failed

// Each line of `text` on standard error, after "k419: ".
void PrintToStandardError(const std::string& text);

class HeadlessOutput {
  public:
    // `start`: time zero of the records' seconds.
    HeadlessOutput(OutputFormat format, std::chrono::system_clock::time_point start);

    // The CSV header, when that is the format; before anything else is written.
    void Begin();
    // After a frame the panel has shown (the text format's line).
    void Frame(const k419::PanelTexts& texts);
    // After a reading the panel has taken (the csv and jsonl formats' line).
    void Reading(const k419::Reading& reading);
    // After a watchdog tick: on standard output in the text format, else on standard error.
    void Watchdog(const k419::PanelTexts& texts);

    // An output the user asked for cannot be kept: says `message` on standard error, the first
    // time only, and calls the failure handler.
    void Fail(const std::string& message);
    bool Failed() const { return failed_; }
    // Called once, after the first failure has been said.
    void SetOnFailed(std::function<void()> handler) { onFailed_ = std::move(handler); }

  private:
    void Write(const std::string& text);

    OutputFormat format_;
    std::chrono::system_clock::time_point start_;
    bool failed_ = false;
    std::function<void()> onFailed_;
};

}  // namespace k419::app
