// What the panel keeps of the readings it takes, beside the displays: the recording to a CSV
// file, the statistics since their last reset and the plot's decimated history. The window
// hands it every frame its receive handler takes (also those a visible window does not
// repaint); the companion window and the headless program read it. Main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "meter/PlotDecimator.h"
#include "meter/Reading.h"
#include "meter/ReadingRecorder.h"
#include "meter/ReadingStatistics.h"

namespace k419::app {

class ReadingSession {
  public:
    // One plotted value: its quantity letter and unit (a change starts a new series) and its
    // history since the series started, in seconds since the session started.
    struct Series {
        char quantity = 0;
        std::string unit;
        k419::PlotDecimator history;
        unsigned generation = 0;  // grows with every new series
    };

    ReadingSession();

    // Takes one reading: records it (when recording), adds it to the statistics and the plot.
    // Does nothing while keeping is off.
    void Take(const k419::Reading& reading);

    // Whether readings are kept at all (on from the start). Off, the panel computes no record
    // for its frames unless somebody else asks for them: the cost of the displays alone.
    bool Keeping() const { return keeping_; }
    void SetKeeping(bool keeping) { keeping_ = keeping; }

    // Starts recording to `path` (replacing the file); false with RecordingError() set.
    bool StartRecording(const std::string& path);
    // Goes on with a recording started elsewhere (its file created, its header written), so
    // that a file that cannot be written is known before anything else happens.
    void StartRecording(k419::ReadingRecorder started);
    void StopRecording();
    bool Recording() const { return recorder_.Recording(); }
    const k419::ReadingRecorder& Recorder() const { return recorder_; }
    // Why the recording could not start or stopped by itself (empty while none failed).
    const std::string& RecordingError() const { return recordingError_; }
    // The same in Russian, for the window: "не удалось записать в файл /x: на диске нет места".
    std::string RecordingErrorInRussian() const;

    const k419::ReadingStatistics& Statistics() const { return statistics_; }
    // Starts the statistics and the plotted histories afresh.
    void ResetStatistics();

    // Seconds since the session started: the time scale of the plotted histories.
    double Seconds() const;
    // When the statistics were last reset (0: never), and when the recording in progress
    // started (none while nothing records), on that scale.
    double ResetAt() const { return resetAt_; }
    std::optional<double> RecordingSince() const;

    const Series& Primary() const { return primary_; }
    const Series& Secondary() const { return secondary_; }

    // Grows with every change a viewer may want to show (a reading, a reset, a recording that
    // started or stopped), so a viewer redraws only when it changed.
    unsigned long Changes() const { return changes_; }

    // Called when a recording stops by itself because the file could not be written, with
    // the reason; the panel goes on.
    void SetOnRecordingFailed(std::function<void(const std::string&)> handler) {
        onRecordingFailed_ = std::move(handler);
    }
    // Called whenever a recording starts or stops.
    void SetOnRecordingChanged(std::function<void()> handler) {
        onRecordingChanged_ = std::move(handler);
    }

  private:
    void Plot(Series& series, char quantity, std::string_view unit, const k419::RecordValue& value,
              double seconds);

    std::chrono::steady_clock::time_point start_;
    double resetAt_ = 0.0;
    double recordingSince_ = 0.0;
    k419::ReadingRecorder recorder_;
    std::string recordingError_;
    k419::ReadingStatistics statistics_;
    Series primary_, secondary_;
    unsigned long changes_ = 0;
    bool keeping_ = true;
    std::function<void(const std::string&)> onRecordingFailed_;
    std::function<void()> onRecordingChanged_;
};

}  // namespace k419::app
