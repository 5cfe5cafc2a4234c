#include "app/HeadlessOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace k419::app {

namespace {

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

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

HeadlessOutput::HeadlessOutput(OutputFormat format, std::chrono::system_clock::time_point start)
    : format_(format), start_(start) {}

void HeadlessOutput::Begin() {
    if (format_ == OutputFormat::Csv) Write(k419::CsvHeader());
}

void HeadlessOutput::Frame(const k419::PanelTexts& t) {
    if (format_ != OutputFormat::Text) return;
    // The two displays with their letters, then the state panel.
    Write(t.LA + " " + Trimmed(t.Base) + " | " + t.LD + " " + Trimmed(t.Dop) + " | РЕЖИМ " +
          t.Label2 + " | ПРЕДЕЛ " + t.Label1 + " | ЧАСТОТА " + t.Label3 + " | СМЕЩЕНИЕ " +
          t.Label4 + " | УРОВЕНЬ " + t.Label5 + " | СХЕМА " + t.Label7 + "\n");
}

void HeadlessOutput::Reading(const k419::Reading& reading) {
    if (format_ == OutputFormat::Csv) Write(k419::CsvRow(reading, start_));
    if (format_ == OutputFormat::Jsonl) Write(k419::JsonLine(reading, start_));
}

void HeadlessOutput::Watchdog(const k419::PanelTexts& t) {
    // With the record on standard output, the watchdog's texts would break its rows.
    if (format_ == OutputFormat::Text) {
        Write(t.Base + " | " + t.Dop + "\n");
    } else {
        PrintToStandardError(t.Base + " | " + t.Dop);
    }
}

void HeadlessOutput::Fail(const std::string& message) {
    if (failed_) return;
    failed_ = true;
    PrintToStandardError(message);
    if (onFailed_) onFailed_();
}

void HeadlessOutput::Write(const std::string& text) {
    if (failed_) return;
    errno = 0;
    // Output to a full device is often taken into the stream's buffer and refused at the flush.
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
        std::fflush(stdout) == 0) {
        return;
    }
    const int error = errno != 0 ? errno : EIO;
    Fail(std::string("cannot write standard output: ") + std::strerror(error));
}

}  // namespace k419::app
