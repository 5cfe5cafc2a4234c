#include "app/ReadingSession.h"

#include "app/UserMessages.h"

namespace k419::app {

ReadingSession::ReadingSession() : start_(std::chrono::steady_clock::now()) {}

void ReadingSession::Take(const k419::Reading& reading) {
    if (!keeping_) return;
    if (recorder_.Recording() && !recorder_.Record(reading)) {
        recordingError_ = recorder_.Error();
        if (onRecordingChanged_) onRecordingChanged_();
        if (onRecordingFailed_) onRecordingFailed_(recordingError_);
    }
    statistics_.Add(reading);
    const double seconds = Seconds();
    Plot(primary_, reading.primary, reading.primaryUnit, reading.primaryValue, seconds);
    Plot(secondary_, reading.secondary, {}, reading.secondaryValue, seconds);
    ++changes_;
}

void ReadingSession::Plot(Series& series, char quantity, std::string_view unit,
                          const k419::RecordValue& value, double seconds) {
    if (series.quantity != quantity) {
        // Another quantity (L, C, R, G; D, Q) in another unit: a new series.
        series.quantity = quantity;
        series.unit = std::string(unit);
        series.history.Clear();
        ++series.generation;
    }
    // An overload is a gap in the picture, never a made-up point.
    if (value.value) series.history.Add(seconds, *value.value);
}

bool ReadingSession::StartRecording(const std::string& path) {
    recorder_.Stop();
    recordingError_.clear();
    const bool started = recorder_.Start(path, std::chrono::system_clock::now());
    if (!started) recordingError_ = recorder_.Error();
    recordingSince_ = Seconds();
    ++changes_;
    if (onRecordingChanged_) onRecordingChanged_();
    return started;
}

void ReadingSession::StartRecording(k419::ReadingRecorder started) {
    recorder_ = std::move(started);
    recordingError_.clear();
    recordingSince_ = Seconds();
    ++changes_;
    if (onRecordingChanged_) onRecordingChanged_();
}

double ReadingSession::Seconds() const {
    // The plot's time runs with the steady clock: a change of the wall clock (a time zone,
    // a correction) must not fold the picture.
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ReadingSession::ResetStatistics() {
    statistics_.Reset();
    primary_.history.Clear();
    secondary_.history.Clear();
    resetAt_ = Seconds();
    ++changes_;
}

std::optional<double> ReadingSession::RecordingSince() const {
    if (!recorder_.Recording()) return std::nullopt;
    return recordingSince_;
}

std::string ReadingSession::RecordingErrorInRussian() const {
    if (recordingError_.empty()) return {};
    return RussianFileFailure(recorder_.ErrorWhileCreating(), recorder_.Path(),
                              recorder_.ErrorNumber());
}

void ReadingSession::StopRecording() {
    if (!recorder_.Recording()) return;
    if (!recorder_.Stop()) {
        recordingError_ = recorder_.Error();
        if (onRecordingFailed_) onRecordingFailed_(recordingError_);
    }
    ++changes_;
    if (onRecordingChanged_) onRecordingChanged_();
}

}  // namespace k419::app
