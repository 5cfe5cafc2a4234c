// The readings kept beside the displays, in the window: the companion window "Запись и
// график" opens from the context menu and its button, records every frame taken to a CSV file,
// shows statistics that match the file and plots; a port move and a silence are gaps in time.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "PanelTestSupport.h"
#include "app/CompanionWindow.h"
#include "app/Form1.h"
#include "app/ReadingSession.h"
#include "meter/FrameBytes.h"
#include "meter/ReadingStatistics.h"

namespace {

using k419::test::App;
using k419::test::ErrorRecord;
using k419::test::ManualTimerClock;
using k419::test::MeterLine;
using k419::test::WaitUntil;

// A CSV file of the recording, by column name (no quoted fields in these rows).
struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    explicit Table(const std::filesystem::path& path) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::vector<std::string> cells;
            std::stringstream s(line);
            std::string cell;
            while (std::getline(s, cell, ',')) cells.push_back(cell);
            if (!line.empty() && line.back() == ',') cells.emplace_back();
            (header.empty() ? header : rows.emplace_back()) = cells;
        }
    }
    std::vector<double> Numbers(const std::string& column) const {
        const auto at = std::find(header.begin(), header.end(), column) - header.begin();
        std::vector<double> values;
        for (const auto& row : rows) values.push_back(std::stod(row.at(at)));
        return values;
    }
};

class ReadingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        form = std::make_unique<TForm1>(",", clock);
        dir = std::filesystem::temp_directory_path() /
              ("k419-readings-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        form.reset();
        std::filesystem::remove_all(dir);
    }
    // Sends `count` frames of a 1024 kΩ resistor (first number 1/1024 in range 4: "R 1024.000 кОм")
    // and waits until the window has taken them.
    bool Send(MeterLine& line, int count, float first = 1.0f / 1024) {
        for (int i = 0; i < count; ++i) {
            const auto before = form->FramesShown();
            if (!line.Send(k419::test::MakeFrame(first, 0.5f, 4, 0x12, 0)) ||
                !WaitUntil([&] { return form->FramesShown() > before; })) {
                return false;
            }
        }
        return true;
    }

    ManualTimerClock clock;
    MeterLine com1{1};
    ErrorRecord errors;
    std::unique_ptr<TForm1> form;
    std::filesystem::path dir;
};

TEST_F(ReadingsTest, TheCompanionRecordsShowsStatisticsThatMatchTheFileAndPlots) {
    // In the compact height, from the window's context menu.
    ASSERT_EQ(form->height(), 110);
    const auto actions = form->actions();
    const auto open = std::find_if(actions.begin(), actions.end(), [](QAction* a) {
        return a->text() == QStringLiteral("Запись и график…");
    });
    ASSERT_NE(open, actions.end());
    EXPECT_EQ(form->contextMenuPolicy(), Qt::ActionsContextMenu);
    (*open)->trigger();
    k419::app::CompanionWindow& companion = form->Companion();
    ASSERT_TRUE(companion.isVisible());
    EXPECT_EQ(companion.windowTitle(), "Запись и график");
    EXPECT_EQ(form->windowTitle(), "K4-19");

    const auto file = dir / "r.csv";
    companion.SetFileChooser([&](const QString&) { return QString::fromStdString(file); });
    QLabel* mark = form->findChild<QLabel*>("RecordMark");
    EXPECT_FALSE(mark->isVisibleTo(form.get()));
    companion.findChild<QPushButton*>("RecordButton")->click();
    ASSERT_TRUE(form->Session().Recording());
    EXPECT_TRUE(mark->isVisibleTo(form.get()));

    float first = 1e-3f;
    for (int i = 0; i < 20; ++i, first *= 1.001f) ASSERT_TRUE(Send(com1, 1, first));
    companion.findChild<QPushButton*>("RecordButton")->click();
    EXPECT_FALSE(form->Session().Recording());
    EXPECT_FALSE(mark->isVisibleTo(form.get()));

    const Table csv(file);
    ASSERT_EQ(csv.rows.size(), 20u);
    const auto ohms = csv.Numbers("resistance_ohm");
    companion.Refresh();
    auto* table = companion.findChild<QTableWidget*>("Statistics");
    EXPECT_EQ(table->item(0, 0)->text(), "R");
    EXPECT_EQ(table->item(0, 1)->text(), "20");
    const auto [low, high] = std::minmax_element(ohms.begin(), ohms.end());
    // As the panel writes its readings: its unit names and decimal separator.
    EXPECT_EQ(table->item(0, 2)->text().toStdString(), k419::WithPanelPrefix(*low, "Ω", ","));
    EXPECT_EQ(table->item(0, 3)->text().toStdString(), k419::WithPanelPrefix(*high, "Ω", ","));
    EXPECT_GT(companion.PlotRedraws(), 0u);
    auto* plot = companion.findChild<QChartView*>("Plot");
    ASSERT_FALSE(plot->chart()->series().isEmpty());
    EXPECT_GE(static_cast<QXYSeries*>(plot->chart()->series()[0])->count(), 2);
    EXPECT_TRUE(errors.messages.empty());

    // From the button of the expanded window as well.
    companion.close();
    form->findChild<QPushButton*>("BitBtn16")->click();
    EXPECT_TRUE(companion.isVisible());
}

TEST_F(ReadingsTest, APortMoveAndASilenceAreGapsInTimeNeverRowsOfZeros) {
    MeterLine com2(2);
    const auto file = dir / "gap.csv";
    ASSERT_TRUE(form->Session().StartRecording(file.string()));
    ASSERT_TRUE(Send(com1, 3));
    form->findChild<QSpinBox*>("SpinEdit1")->stepUp();  // to COM2
    ASSERT_TRUE(form->ComPort1.Open());
    ASSERT_TRUE(Send(com2, 3));
    // Three seconds without a frame.
    WaitUntil([] { return false; }, 3100);
    clock.Advance(4000);  // the watchdog's texts meanwhile: not readings
    ASSERT_TRUE(Send(com2, 3));
    form->Session().StopRecording();

    const Table csv(file);
    ASSERT_EQ(csv.rows.size(), 9u);
    const auto seconds = csv.Numbers("elapsed_s");
    EXPECT_GE(seconds[6] - seconds[5], 3.0);
    for (const double ohm : csv.Numbers("resistance_ohm")) EXPECT_EQ(ohm, 1024e3);
    EXPECT_TRUE(std::is_sorted(seconds.begin(), seconds.end()));
}

// The plot shows one quantity at a time: L readings, then C, leave only the C points.
TEST(ReadingSessionPlot, AChangeOfQuantityClearsThePlottedHistory) {
    k419::app::ReadingSession session;
    k419::Reading r;
    r.primary = 'L';
    r.primaryValue.value = 1e-3;
    for (int i = 0; i < 3; ++i) session.Take(r);
    ASSERT_FALSE(session.Primary().history.Empty());
    r.primary = 'C';
    r.primaryValue.value = 1e-9;
    for (int i = 0; i < 2; ++i) session.Take(r);
    EXPECT_EQ(session.Primary().quantity, 'C');
    const auto points = session.Primary().history.Points();
    ASSERT_FALSE(points.empty());
    for (const auto& point : points) EXPECT_EQ(point.value, 1e-9);
}

}  // namespace
