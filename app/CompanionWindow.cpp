#include "app/CompanionWindow.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <string>

#include "app/ReadingSession.h"
#include "meter/ReadingStatistics.h"

namespace k419::app {

namespace {

constexpr int RefreshMs = 250;  // at most four redraws a second

// An SI prefix for values up to `magnitude`: its power of ten (a multiple of 3) and its symbol.
std::pair<int, QString> PrefixFor(double magnitude) {
    static const std::pair<int, const char*> prefixes[] = {
        {-15, "f"}, {-12, "p"}, {-9, "n"}, {-6, "µ"}, {-3, "m"},
        {0, ""},    {3, "k"},   {6, "M"},  {9, "G"},  {12, "T"}};
    if (!(magnitude > 0) || !std::isfinite(magnitude)) return {0, {}};
    const int power = static_cast<int>(std::floor(std::log10(magnitude) / 3.0)) * 3;
    for (auto it = std::rbegin(prefixes); it != std::rend(prefixes); ++it) {
        if (power >= it->first) return {it->first, QString::fromUtf8(it->second)};
    }
    return {prefixes[0].first, QString::fromUtf8(prefixes[0].second)};
}

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

struct CompanionWindow::Parts {
    explicit Parts(ReadingSession& s) : session(s) {}

    // One plotted value: its line and its axis.
    struct Trace {
        QLineSeries* line = nullptr;
        QValueAxis* axis = nullptr;
        unsigned generation = 0;
    };

    ReadingSession& session;
    QPushButton* record = nullptr;
    QLabel* status = nullptr;
    QTableWidget* table = nullptr;
    QChart* chart = nullptr;
    QValueAxis* time = nullptr;
    Trace primary, secondary;
    QTimer refresh;
    unsigned long shownChanges = ~0UL;
    unsigned long redraws = 0;
    QString lastFolder = QDir::homePath();
    std::function<QString(const QString&)> chooser;
};

CompanionWindow::CompanionWindow(ReadingSession& session, QWidget* parent)
    : QWidget(parent, Qt::Window), parts_(std::make_unique<Parts>(session)) {
    Parts& p = *parts_;
    setObjectName(QStringLiteral("CompanionWindow"));
    setWindowTitle(QStringLiteral("Запись и график"));
    resize(720, 520);

    p.record = new QPushButton(this);
    p.record->setObjectName(QStringLiteral("RecordButton"));
    p.status = new QLabel(this);
    p.status->setObjectName(QStringLiteral("RecordStatus"));
    p.status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* reset = new QPushButton(QStringLiteral("Сбросить статистику"), this);
    reset->setObjectName(QStringLiteral("ResetButton"));

    p.table = new QTableWidget(2, 7, this);
    p.table->setObjectName(QStringLiteral("Statistics"));
    p.table->setHorizontalHeaderLabels({QStringLiteral("Величина"), QStringLiteral("Отсчётов"),
                                        QStringLiteral("Минимум"), QStringLiteral("Максимум"),
                                        QStringLiteral("Среднее"), QStringLiteral("СКО"),
                                        QStringLiteral("Без числа")});
    p.table->setVerticalHeaderLabels({QStringLiteral("Основная"), QStringLiteral("Вторая")});
    p.table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    p.table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    p.table->setFixedHeight(p.table->horizontalHeader()->sizeHint().height() +
                            2 * p.table->verticalHeader()->defaultSectionSize() + 4);
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 7; ++c) p.table->setItem(r, c, new QTableWidgetItem);
    }

    p.chart = new QChart;
    p.chart->legend()->setAlignment(Qt::AlignBottom);
    p.time = new QValueAxis;
    p.time->setTitleText(QStringLiteral("Время, с"));
    p.time->setLabelFormat(QStringLiteral("%.0f"));
    p.chart->addAxis(p.time, Qt::AlignBottom);
    const auto trace = [&](Parts::Trace& t, Qt::Alignment side, QColor colour) {
        t.line = new QLineSeries;
        t.line->setPen(QPen(colour, 1.5));
        t.axis = new QValueAxis;
        t.axis->setLinePenColor(colour);
        p.chart->addSeries(t.line);
        p.chart->addAxis(t.axis, side);
        t.line->attachAxis(p.time);
        t.line->attachAxis(t.axis);
    };
    trace(p.primary, Qt::AlignLeft, QColor(0, 110, 200));
    trace(p.secondary, Qt::AlignRight, QColor(220, 110, 0));
    auto* view = new QChartView(p.chart, this);
    view->setObjectName(QStringLiteral("Plot"));
    view->setRenderHint(QPainter::Antialiasing);

    auto* top = new QHBoxLayout;
    top->addWidget(p.record);
    top->addWidget(p.status, 1);
    top->addWidget(reset);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(p.table);
    layout->addWidget(view, 1);

    connect(p.record, &QPushButton::clicked, this, [this] { ToggleRecording(); });
    connect(reset, &QPushButton::clicked, this, [this] {
        parts_->session.ResetStatistics();
        Refresh();
    });
    // Runs only while the window is shown: a closed window costs the panel nothing.
    p.refresh.setInterval(RefreshMs);
    connect(&p.refresh, &QTimer::timeout, this, [this] {
        if (parts_->session.Changes() != parts_->shownChanges) Refresh();
    });
    Refresh();
}

CompanionWindow::~CompanionWindow() = default;

void CompanionWindow::SetFileChooser(std::function<QString(const QString&)> chooser) {
    parts_->chooser = std::move(chooser);
}

unsigned long CompanionWindow::PlotRedraws() const { return parts_->redraws; }

void CompanionWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    parts_->refresh.stop();
}

void CompanionWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    parts_->refresh.start();
    Refresh();
}

void CompanionWindow::ToggleRecording() {
    Parts& p = *parts_;
    if (p.session.Recording()) {
        p.session.StopRecording();
        Refresh();
        return;
    }
    const QString suggested =
        QDir(p.lastFolder)
            .filePath(
                QStringLiteral("k419-%1.csv")
                    .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    const QString path =
        p.chooser ? p.chooser(suggested)
                  : QFileDialog::getSaveFileName(this, QStringLiteral("Записать показания в файл"),
                                                 suggested, QStringLiteral("Таблица CSV (*.csv)"));
    if (path.isEmpty()) return;
    p.lastFolder = QFileInfo(path).absolutePath();
    // A file that cannot be created is reported by the session's failure handler's owner;
    // here it only shows in the status line.
    p.session.StartRecording(path.toStdString());
    Refresh();
}

void CompanionWindow::Refresh() {
    Parts& p = *parts_;
    p.shownChanges = p.session.Changes();

    const auto& recorder = p.session.Recorder();
    if (recorder.Recording()) {
        p.record->setText(QStringLiteral("Остановить запись"));
        p.status->setText(QStringLiteral("Запись в %1, записано строк: %2")
                              .arg(Text(recorder.Path()))
                              .arg(recorder.Rows()));
    } else {
        p.record->setText(QStringLiteral("Записать в файл…"));
        p.status->setText(
            p.session.RecordingError().empty()
                ? QStringLiteral("Запись не идёт")
                : QStringLiteral("Запись остановлена: %1").arg(Text(p.session.RecordingError())));
    }

    const auto& stats = p.session.Statistics();
    const auto row = [&](int r, const k419::ReadingStatistics::Side& side) {
        const auto& v = side.values;
        const bool any = v.Count() > 0;
        const auto number = [&](double x) {
            return any ? Text(k419::WithSiPrefix(x, side.unit)) : QString();
        };
        const QString cells[] = {
            side.quantity != 0 ? QString(QChar::fromLatin1(side.quantity)) : QString(),
            QString::number(v.Count()),
            number(v.Minimum()),
            number(v.Maximum()),
            number(v.Mean()),
            v.Count() > 1 ? Text(k419::WithSiPrefix(v.StandardDeviation(), side.unit)) : QString(),
            QString::number(side.withoutNumber)};
        for (int c = 0; c < 7; ++c) p.table->item(r, c)->setText(cells[c]);
    };
    row(0, stats.Primary());
    row(1, stats.Secondary());

    if (!isVisible()) return;
    double latest = 0.0;
    const auto plot = [&](Parts::Trace& t, const ReadingSession::Series& series) {
        const auto points = series.history.Points();
        double magnitude = 0.0, low = 0.0, high = 0.0;
        for (const auto& point : points) magnitude = std::max(magnitude, std::fabs(point.value));
        // Ratios carry no unit, so no prefix either.
        const auto [power, prefix] =
            series.unit.empty() ? std::pair<int, QString>{0, {}} : PrefixFor(magnitude);
        const double scale = std::pow(10.0, -power);
        QList<QPointF> scaled;
        scaled.reserve(static_cast<qsizetype>(points.size()));
        for (const auto& point : points) {
            const double y = point.value * scale;
            if (scaled.isEmpty()) low = high = y;
            low = std::min(low, y);
            high = std::max(high, y);
            scaled.append({point.seconds, y});
            latest = std::max(latest, point.seconds);
        }
        t.line->replace(scaled);
        const QString quantity =
            series.quantity != 0 ? QString(QChar::fromLatin1(series.quantity)) : QString();
        const QString unit = Text(series.unit);
        t.line->setName(quantity);
        t.axis->setTitleText(unit.isEmpty() && prefix.isEmpty()
                                 ? quantity
                                 : quantity + QStringLiteral(", ") + prefix + unit);
        const double margin =
            high > low ? (high - low) * 0.05 : std::max(std::fabs(high), 1e-12) * 0.05;
        t.axis->setRange(low - margin, high + margin);
        // Enough decimals that neighbouring ticks differ.
        const double tick = (high - low + 2 * margin) / (t.axis->tickCount() - 1);
        const int decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(tick))) + 1, 0, 9);
        t.axis->setLabelFormat(QStringLiteral("%.") + QString::number(decimals) +
                               QStringLiteral("f"));
        t.generation = series.generation;
    };
    plot(p.primary, p.session.Primary());
    plot(p.secondary, p.session.Secondary());
    p.time->setRange(0.0, std::max(latest, 1.0));
    ++p.redraws;
}

}  // namespace k419::app
