// The companion window "Запись и график": the recording of the readings to a CSV file, their
// statistics since the last reset and a live plot of the primary value (left axis) and the
// secondary value (right axis) over time. It shows what a ReadingSession keeps, at most four
// times a second while it is visible, so an open plot costs the panel little.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

namespace k419::app {

class ReadingSession;

class CompanionWindow : public QWidget {
    Q_OBJECT

  public:
    // The session must outlive the window. `decimalSeparator`: the panel's (the locale's), for
    // the table, which shows values as the panel does.
    CompanionWindow(ReadingSession& session, std::string decimalSeparator,
                    QWidget* parent = nullptr);
    ~CompanionWindow() override;

    // Asks for the file to record into: given a suggested path, returns the chosen one or an
    // empty string when the user cancels. By default a save dialog that starts in the folder
    // used last in this run (nothing about it is stored on disk).
    void SetFileChooser(std::function<QString(const QString& suggested)> chooser);

    // Starts a recording into a file the chooser names, or stops the one in progress: what the
    // record button does.
    void ToggleRecording();
    // Brings what the window shows up to date with the session now.
    void Refresh();
    // How many times the plot was redrawn (for the tests and the benchmarks).
    unsigned long PlotRedraws() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void FitColumns();

    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace k419::app
