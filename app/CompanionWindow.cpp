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
#include <optional>
#include <string>
#include <utility>

#include "app/ReadingSession.h"
#include "meter/ReadingStatistics.h"

namespace k419::app {

namespace {

constexpr int RefreshMs = 250;  // at most four redraws a second

// A prefix for values up to `magnitude`, as the panel writes it: its power of ten (a multiple of
// 3) and its symbol.
std::pair<int, QString> PrefixFor(double magnitude) {
    static const std::pair<int, const char*> prefixes[] = {
        {-15, "ф"}, {-12, "п"}, {-9, "н"}, {-6, "мк"}, {-3, "м"},
        {0, ""},    {3, "к"},   {6, "М"},  {9, "Г"},   {12, "Т"}};
    if (!(magnitude > 0) || !std::isfinite(magnitude)) return {0, {}};
    const int power = static_cast<int>(std::floor(std::log10(magnitude) / 3.0)) * 3;
    for (auto it = std::rbegin(prefixes); it != std::rend(prefixes); ++it) {
        if (power >= it->first) return {it->first, QString::fromUtf8(it->second)};
    }
    return {prefixes[0].first, QString::fromUtf8(prefixes[0].second)};
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into about `parts`.
double RoundStep(double span, int parts) {
    if (!(span > 0) || !std::isfinite(span)) return 1.0;
    const double raw = span / parts;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (raw <= m * power * (1 + 1e-9)) return m * power;
    }
    return 10.0 * power;
}

// Sets `axis` to cover `low` to `high` with ticks at round values: the range widened to whole
// steps, never below 0 for values that are all positive (nor above 0 for negative ones), and
// labels with as many decimals as the step needs.
void RoundAxis(QValueAxis* axis, double low, double high) {
    if (high < low) std::swap(low, high);
    if (high == low) {
        const double pad = std::max(std::fabs(high), 1e-12) * 0.05;
        low -= pad;
        high += pad;
    }
    const double step = RoundStep(high - low, 5);
    double from = std::floor(low / step) * step;
    double to = std::ceil(high / step) * step;
    if (low >= 0 && from < 0) from = 0;
    if (high <= 0 && to > 0) to = 0;
    if (to - from < step / 2) to = from + step;
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0.0);
    axis->setTickInterval(step);
    axis->setRange(from, to);
    const int decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 9);
    axis->setLabelFormat(QStringLiteral("%.") + QString::number(decimals) + QStringLiteral("f"));
}

// A sans-serif font whatever fonts the system has: the families the panel is laid out for,
// then the common ones, then the generic family.
QFont SansSerif(QFont font) {
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans"),
                      QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

struct CompanionWindow::Parts {
    Parts(ReadingSession& s, std::string separator)
        : session(s), decimalSeparator(std::move(separator)) {}

    // One plotted value: its line and its axis.
    struct Trace {
        QLineSeries* line = nullptr;
        QValueAxis* axis = nullptr;
        unsigned generation = 0;
    };

    ReadingSession& session;
    std::string decimalSeparator;
    // When the window was first shown, on the session's time scale: the time axis counts from
    // there (or from a later reset) while nothing records.
    std::optional<double> openedAt;
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

CompanionWindow::CompanionWindow(ReadingSession& session, std::string decimalSeparator,
                                 QWidget* parent)
    : QWidget(parent, Qt::Window),
      parts_(std::make_unique<Parts>(session, std::move(decimalSeparator))) {
    Parts& p = *parts_;
    setObjectName(QStringLiteral("CompanionWindow"));
    setWindowTitle(QStringLiteral("Запись и график"));
    setFont(SansSerif(font()));
    resize(720, 520);

    p.record = new QPushButton(this);
    p.record->setObjectName(QStringLiteral("RecordButton"));
    p.status = new QLabel(this);
    p.status->setObjectName(QStringLiteral("RecordStatus"));
    p.status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    p.status->setToolTip(QStringLiteral("Куда идёт запись и сколько строк в файле"));
    auto* reset = new QPushButton(QStringLiteral("Сбросить статистику"), this);
    reset->setObjectName(QStringLiteral("ResetButton"));
    reset->setToolTip(QStringLiteral("Начать статистику и график заново"));

    p.table = new QTableWidget(2, 7, this);
    p.table->setObjectName(QStringLiteral("Statistics"));
    p.table->setHorizontalHeaderLabels({QStringLiteral("Величина"), QStringLiteral("Отсчётов"),
                                        QStringLiteral("Минимум"), QStringLiteral("Максимум"),
                                        QStringLiteral("Среднее"), QStringLiteral("СКО"),
                                        QStringLiteral("Без числа")});
    p.table->setVerticalHeaderLabels({QStringLiteral("Основная"), QStringLiteral("Вторая")});
    p.table->setToolTip(QStringLiteral(
        "Статистика основной и второй величины с последнего сброса или смены величины"));
    const char* const columnTips[] = {
        "L, C, R или G; D или Q",
        "Сколько показаний с числом вошло в статистику",
        "Наименьшее показание",
        "Наибольшее показание",
        "Среднее показаний",
        "Среднеквадратичное отклонение показаний",
        "Показания без числа (перегрузка или предел вне 1–8): в статистику не входят"};
    for (int c = 0; c < 7; ++c)
        p.table->horizontalHeaderItem(c)->setToolTip(QString::fromUtf8(columnTips[c]));
    p.table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Columns are fitted to their texts whenever these change (FitColumns).
    p.table->setWordWrap(false);
    p.table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    p.table->setFixedHeight(p.table->horizontalHeader()->sizeHint().height() +
                            2 * p.table->verticalHeader()->defaultSectionSize() + 4);
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 7; ++c) p.table->setItem(r, c, new QTableWidgetItem);
    }

    p.chart = new QChart;
    p.chart->setLocalizeNumbers(true);
    p.chart->legend()->setFont(font());
    p.chart->legend()->setAlignment(Qt::AlignBottom);
    p.time = new QValueAxis;
    p.time->setTitleText(QStringLiteral("Время, с"));
    p.chart->addAxis(p.time, Qt::AlignBottom);
    // The chart's theme gives its axes a font of their own; they take the window's.
    const auto axisFonts = [this](QValueAxis* axis) {
        axis->setLabelsFont(font());
        QFont title = font();
        title.setBold(true);
        axis->setTitleFont(title);
    };
    axisFonts(p.time);
    const auto trace = [&](Parts::Trace& t, Qt::Alignment side, QColor colour) {
        t.line = new QLineSeries;
        t.line->setPen(QPen(colour, 1.5));
        t.axis = new QValueAxis;
        axisFonts(t.axis);
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
    view->setToolTip(QStringLiteral(
        "Основная величина (левая ось) и вторая (правая ось) по времени: от начала записи, "
        "пока она идёт, иначе от сброса или от открытия окна"));

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

void CompanionWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FitColumns();
}

// Each column at least as wide as its widest text, so that a number is never wrapped or cut
// whatever the font, and the room left shared out evenly.
void CompanionWindow::FitColumns() {
    QTableWidget* table = parts_->table;
    table->resizeColumnsToContents();
    const int columns = table->columnCount();
    int used = 0;
    for (int c = 0; c < columns; ++c) used += table->columnWidth(c);
    const int spare = table->viewport()->width() - used;
    if (spare <= 0) return;
    for (int c = 0; c < columns; ++c) {
        table->setColumnWidth(
            c, table->columnWidth(c) + spare / columns + (c < spare % columns ? 1 : 0));
    }
}

void CompanionWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    parts_->refresh.stop();
}

void CompanionWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!parts_->openedAt) parts_->openedAt = parts_->session.Seconds();
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
        p.record->setToolTip(QStringLiteral("Закончить запись в файл"));
        p.status->setText(QStringLiteral("Запись в %1, записано строк: %2")
                              .arg(Text(recorder.Path()))
                              .arg(recorder.Rows()));
    } else {
        p.record->setText(QStringLiteral("Записать в файл…"));
        p.record->setToolTip(
            QStringLiteral("Записывать каждое показание панели в файл CSV (таблицу)"));
        if (!p.session.RecordingError().empty() && recorder.ErrorWhileCreating()) {
            p.status->setText(QStringLiteral("Запись не началась: %1.")
                                  .arg(Text(p.session.RecordingErrorInRussian())));
        } else if (!p.session.RecordingError().empty()) {
            p.status->setText(
                QStringLiteral("Запись остановлена: %1. В файле %2 строк: %3")
                    .arg(Text(p.session.RecordingErrorInRussian()), Text(recorder.Path()))
                    .arg(recorder.Rows()));
        } else if (!recorder.Path().empty()) {
            p.status->setText(QStringLiteral("Запись окончена: в файле %1 строк: %2")
                                  .arg(Text(recorder.Path()))
                                  .arg(recorder.Rows()));
        } else {
            p.status->setText(QStringLiteral("Запись не идёт"));
        }
    }

    const auto& stats = p.session.Statistics();
    const auto row = [&](int r, const k419::ReadingStatistics::Side& side) {
        const auto& v = side.values;
        const bool any = v.Count() > 0;
        const auto number = [&](double x) {
            return any ? Text(k419::WithPanelPrefix(x, side.unit, p.decimalSeparator)) : QString();
        };
        const QString cells[] = {
            side.quantity != 0 ? QString(QChar::fromLatin1(side.quantity)) : QString(),
            QString::number(v.Count()),
            number(v.Minimum()),
            number(v.Maximum()),
            number(v.Mean()),
            v.Count() > 1 ? number(v.StandardDeviation()) : QString(),
            QString::number(side.withoutNumber)};
        for (int c = 0; c < 7; ++c) p.table->item(r, c)->setText(cells[c]);
    };
    row(0, stats.Primary());
    row(1, stats.Secondary());
    FitColumns();

    if (!isVisible()) return;
    // The time axis counts from the start of the recording while one runs, else from the
    // reset or the window's opening, whichever came later.
    const double origin = p.session.RecordingSince().value_or(
        std::max(p.session.ResetAt(), p.openedAt.value_or(0.0)));
    double first = 0.0, latest = 0.0;
    bool anyPoint = false;
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
            const double x = point.seconds - origin;
            if (scaled.isEmpty()) low = high = y;
            low = std::min(low, y);
            high = std::max(high, y);
            scaled.append({x, y});
            first = anyPoint ? std::min(first, x) : x;
            latest = anyPoint ? std::max(latest, x) : x;
            anyPoint = true;
        }
        t.line->replace(scaled);
        const QString quantity =
            series.quantity != 0 ? QString(QChar::fromLatin1(series.quantity)) : QString();
        const QString unit = Text(std::string(k419::PanelUnit(series.unit)));
        t.line->setName(quantity);
        t.axis->setTitleText(unit.isEmpty() && prefix.isEmpty()
                                 ? quantity
                                 : quantity + QStringLiteral(", ") + prefix + unit);
        if (!scaled.isEmpty()) RoundAxis(t.axis, low, high);
        t.generation = series.generation;
    };
    plot(p.primary, p.session.Primary());
    plot(p.secondary, p.session.Secondary());
    RoundAxis(p.time, std::min(first, 0.0), std::max(latest, first + 1.0));
    ++p.redraws;
}

}  // namespace k419::app
