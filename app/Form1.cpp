#include "app/Form1.h"

#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QFontInfo>
#include <QKeyEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "app/CompanionWindow.h"
#include "app/Glyphs.h"
#include "app/PlatformBridge.h"
#include "app/UserMessages.h"
#include "platform/PathWatch.h"
#include "platform/PlatformHooks.h"
#include "platform/SerialPorts.h"
#include "serial/CommErrors.h"
#include "ui_Form1.h"

using k419::KeyCode;
using k419::PanelTexts;
using k419::app::Guarded;

// The raw bytes of a session, written as they are received. The first write that fails ends
// the capture: the file is closed and `failed` is told the error number, once.
class TForm1::Capture {
  public:
    Capture(std::FILE* file, std::function<void(int)> failed)
        : file_(file), failed_(std::move(failed)) {}
    ~Capture() {
        if (file_ != nullptr) std::fclose(file_);
    }
    void Write(const std::uint8_t* bytes, std::size_t count) {
        if (count == 0 || file_ == nullptr) return;
        errno = 0;
        // A full disk often takes the bytes into the stream's buffer and refuses them at the
        // flush.
        if (std::fwrite(bytes, 1, count, file_) == count && std::fflush(file_) == 0) return;
        const int error = errno != 0 ? errno : EIO;
        std::fclose(file_);
        file_ = nullptr;
        if (failed_) failed_(error);
    }

  private:
    std::FILE* file_;
    std::function<void(int)> failed_;
};

// The serial component as the meter model's source of frames. With a capture, every byte
// taken or thrown away passes through it first.
class TForm1::PortFrameSource final : public k419::FrameSource {
  public:
    explicit PortFrameSource(TComPort& port) : port_(port) {}
    std::uint16_t InputCount() override { return port_.InputCount(); }
    void ReadBlock(std::uint8_t* buffer, std::uint16_t count) override {
        port_.ReadBlock(buffer, count);
        if (capture_ != nullptr) capture_->Write(buffer, count);
    }
    void DiscardInput() override {
        if (capture_ != nullptr) {
            // What is waiting is read into the capture before it is thrown away.
            std::vector<std::uint8_t> waiting(port_.InputCount());
            if (!waiting.empty()) {
                ReadBlock(waiting.data(), static_cast<std::uint16_t>(waiting.size()));
            }
        }
        port_.DiscardInput();
    }
    void SetCapture(Capture* capture) { capture_ = capture; }

  private:
    TComPort& port_;
    Capture* capture_ = nullptr;
};

// Timer1 as the meter model's watchdog.
class TForm1::TimerWatchdog final : public k419::Watchdog {
  public:
    explicit TimerWatchdog(k419::app::TTimer& timer) : timer_(timer) {}
    void Disable() override { timer_.SetEnabled(false); }
    void Enable() override { timer_.SetEnabled(true); }

  private:
    k419::app::TTimer& timer_;
};

enum class TForm1::Field : int {
    LA,
    LD,
    Base,
    Dop,
    A,
    B,
    C,
    D,
    E,
    F,
    Label1,
    Label2,
    Label3,
    Label4,
    Label5,
    Label7,
    Count
};

struct TForm1::FieldControl {
    std::string PanelTexts::*text = nullptr;
    QLabel* label = nullptr;  // exactly one of label and edit is set
    QLineEdit* edit = nullptr;
    // Labels size themselves to their text, so that a wider text than the design's is not cut.
    bool autoSize = false;
};

namespace {

constexpr int CaptionGap = 3;
constexpr std::chrono::milliseconds RefreshInterval(10);
constexpr int MinimumStretch = 60;

// The form's font does not exist outside Windows; these have the same pixel sizes and carry
// Cyrillic letters, the first ones with narrow metrics like the original.
void SubstituteFormFont() {
    static const bool done = [] {
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                                    QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"),
                                    QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)done;
}

// Sizes a label to its text, as the form's labels do. Where the text would run into the control
// to its right (the substitute font is wider than the design's), the caption is condensed to
// the room there instead.
void AutoSizeCaption(QLabel* label) {
    label->ensurePolished();
    const QRect own = label->geometry();
    int room = std::numeric_limits<int>::max();
    for (QWidget* w : label->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QRect g = w->geometry();
        if (w != label && g.left() > own.left() && g.top() <= own.bottom() &&
            g.bottom() >= own.top()) {
            room = std::min(room, g.left() - own.left() - CaptionGap);
        }
    }
    const int advance = label->fontMetrics().horizontalAdvance(label->text());
    if (advance > room) {
        QFont condensed = label->font();
        condensed.setStretch(std::max(MinimumStretch, 100 * room / advance));
        label->setFont(condensed);
    }
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
}

// The width a line edit has for its text: what is left of its contents box after the style's
// frame and padding, the text margins and the 2-pixel margin on each side that the edit keeps;
// a text scrolls once its width plus one pixel for the cursor passes it.
int TextRoom(const QLineEdit* edit) {
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->contentsRect();
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    const QRect contents = edit->style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                               .marginsRemoved(edit->textMargins());
    constexpr int EditMargin = 2;
    return contents.width() - 2 * EditMargin - 1;
}

// Sets the pixel size of a control's own font, which its style sheet holds.
void SetFontPixels(QWidget* control, int pixels) {
    static const QRegularExpression size(QStringLiteral("\\b\\d+px\\b"));
    QString sheet = control->styleSheet();
    const QString wanted = QString::number(pixels) + QStringLiteral("px");
    if (sheet.contains(size)) {
        sheet.replace(size, wanted);
    } else {
        sheet += QStringLiteral("font: %1 \"MS Sans Serif\";").arg(wanted);
    }
    control->setStyleSheet(sheet);
}

// Gives `edit` the largest font, not above the form's, in which every one of `texts` fits
// whole: with a font wider than the design's a reading would otherwise scroll and hide its
// sign and leading digits. Chosen once, so the size never changes from one reading to the next.
void FitFontToTexts(QLineEdit* edit, const std::vector<std::string>& texts) {
    edit->ensurePolished();
    const int room = TextRoom(edit);
    std::vector<QString> candidates;
    candidates.reserve(texts.size());
    for (const std::string& text : texts) candidates.push_back(QString::fromStdString(text));
    QFont font = edit->font();
    const int designPixels = QFontInfo(font).pixelSize();
    const auto widest = [&](int pixels) {
        font.setPixelSize(pixels);
        const QFontMetrics metrics(font);
        int width = 0;
        for (const QString& text : candidates) {
            width = std::max(width, metrics.horizontalAdvance(text));
        }
        return width;
    };
    constexpr int SmallestPixels = 6;
    int pixels = designPixels;
    while (pixels > SmallestPixels && widest(pixels) > room) --pixels;
    if (pixels != designPixels) SetFontPixels(edit, pixels);
}

// Keeps a spin box to its arrow buttons: the wheel, the keys (but for moving the focus on) and
// its context menu's steps would move the link by accident.
class ArrowsOnly final : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Wheel:
            case QEvent::ContextMenu:
                return true;
            case QEvent::KeyPress:
            case QEvent::KeyRelease: {
                const int key = static_cast<QKeyEvent*>(event)->key();
                return key != Qt::Key_Tab && key != Qt::Key_Backtab;
            }
            default:
                return QObject::eventFilter(watched, event);
        }
    }
};

// Gives a widget a tooltip written when it is about to show.
class LiveToolTip final : public QObject {
  public:
    LiveToolTip(QWidget* widget, std::function<QString()> text)
        : QObject(widget), text_(std::move(text)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ToolTip) {
            static_cast<QWidget*>(watched)->setToolTip(text_());
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<QString()> text_;
};

// A text that no model text ever equals: the control holds something else (the user's typing).
const std::string StaleText(1, '\0');

}  // namespace

TForm1::TForm1(std::string decimalSeparator, k419::app::TimerClock& clock, QWidget* parent)
    : QWidget(parent),
      Timer1(clock),
      ui_(std::make_unique<Ui::TForm1>()),
      model_(std::move(decimalSeparator)),
      source_(std::make_unique<PortFrameSource>(ComPort1)),
      watchdog_(std::make_unique<TimerWatchdog>(Timer1)),
      fields_(std::make_unique<FieldControl[]>(static_cast<int>(Field::Count))),
      shown_(model_.Texts()) {
    k419::app::ConnectPlatformMessages();
    SubstituteFormFont();
    ui_->setupUi(this);

    // Fixed single border with system menu and minimise box, no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    SetClientHeight(ExpandedClientHeight);

    ui_->BitBtn7->setIcon(QIcon(k419::app::RangeDownGlyph()));
    ui_->BitBtn7->setIconSize(QSize(20, 16));
    ui_->BitBtn8->setIcon(QIcon(k419::app::RangeUpGlyph()));
    ui_->BitBtn8->setIconSize(QSize(21, 16));
    ui_->BitBtn1->setIcon(QIcon(k419::app::CloseGlyph()));
    ui_->BitBtn1->setIconSize(QSize(16, 16));
    // The port number changes only through the arrows: no typing, no wheel, no keys.
    auto* arrowsOnly = new ArrowsOnly(ui_->SpinEdit1);
    ui_->SpinEdit1->installEventFilter(arrowsOnly);
    if (auto* edit = ui_->SpinEdit1->findChild<QLineEdit*>()) {
        edit->setReadOnly(true);
        edit->installEventFilter(arrowsOnly);
    }

    const auto field = [&](Field f, std::string PanelTexts::*text, QWidget* control,
                           bool autoSize) {
        FieldControl& c = fields_[static_cast<int>(f)];
        c.text = text;
        c.label = qobject_cast<QLabel*>(control);
        c.edit = qobject_cast<QLineEdit*>(control);
        c.autoSize = autoSize;
    };
    field(Field::LA, &PanelTexts::LA, ui_->LA, false);
    field(Field::LD, &PanelTexts::LD, ui_->LD, false);
    field(Field::Base, &PanelTexts::Base, ui_->Base, false);
    field(Field::Dop, &PanelTexts::Dop, ui_->Dop, false);
    field(Field::A, &PanelTexts::A, ui_->A, false);
    field(Field::B, &PanelTexts::B, ui_->B, false);
    field(Field::C, &PanelTexts::C, ui_->C, false);
    field(Field::D, &PanelTexts::D, ui_->D, false);
    field(Field::E, &PanelTexts::E, ui_->E, false);
    field(Field::F, &PanelTexts::F, ui_->F, false);
    field(Field::Label1, &PanelTexts::Label1, ui_->Label1, true);
    field(Field::Label2, &PanelTexts::Label2, ui_->Label2, true);
    field(Field::Label3, &PanelTexts::Label3, ui_->Label3, true);
    field(Field::Label4, &PanelTexts::Label4, ui_->Label4, true);
    field(Field::Label5, &PanelTexts::Label5, ui_->Label5, true);
    field(Field::Label7, &PanelTexts::Label7, ui_->Label7, true);
    // The captions that never change size themselves once.
    for (QLabel* caption :
         {ui_->Label6, ui_->Label8, ui_->Label9, ui_->Label10, ui_->Label11, ui_->Label12,
          ui_->Label13, ui_->StaticText3, ui_->StaticText4, ui_->StaticText5, ui_->StaticText6,
          ui_->StaticText7, ui_->StaticText8, ui_->Label1, ui_->Label2, ui_->Label3, ui_->Label4,
          ui_->Label5, ui_->Label7}) {
        AutoSizeCaption(caption);
    }

    FitDisplayFonts();

    LoadComponents();
    ConnectControls();
    ConnectReadings();
    ConnectLink();
    FormCreate();
}

void TForm1::ConnectLink() {
    ComPort1.SetDeviceLostHandler([this](TObject*) { DeviceLost(); });
    ui_->SpinEdit1->installEventFilter(
        new LiveToolTip(ui_->SpinEdit1, [this] { return PortToolTip(); }));
}

// The device of the selected number and its state, for the COM selector's tooltip.
QString TForm1::PortToolTip() {
    const int number = ui_->SpinEdit1->value();
    const auto port = k419::platform::DescribePort(number);
    QString text = QStringLiteral("COM%1: ").arg(number);
    if (port.path.empty()) return text + QStringLiteral("нет устройства");
    text += QString::fromStdString(port.path);
    if (!port.description.empty()) {
        text += QStringLiteral(" (") + QString::fromStdString(port.description) + ')';
    }
    text += QStringLiteral(" — ");
    if (number == ComPort1.ComNumber() && ComPort1.Open()) {
        return text + QStringLiteral("открыт панелью");
    }
    using k419::platform::DeviceState;
    switch (k419::platform::ProbeSerialDevice(port.path)) {
        case DeviceState::Ok:
            return text + QStringLiteral("свободен");
        case DeviceState::Busy:
            return text + QStringLiteral("занят другой программой");
        case DeviceState::NoPermission: {
            const auto access = k419::platform::DescribeDeviceAccess(port.path);
            return text + (access.group == "dialout"
                               ? QStringLiteral("нет прав доступа (группа dialout)")
                               : QStringLiteral("нет прав доступа (%1:%2, %3)")
                                     .arg(QString::fromStdString(access.owner),
                                          QString::fromStdString(access.group),
                                          QString::fromStdString(access.mode)));
        }
        case DeviceState::Missing:
            break;
    }
    return text + (waiting_ && number == ComPort1.ComNumber()
                       ? QStringLiteral("нет устройства, панель ждёт его")
                       : QStringLiteral("нет устройства"));
}

// The link looks after itself. A port whose device vanished or hung up (not the user's doing)
// is closed quietly, and a port that waits for its device opens again, without a message box,
// as soon as the device is there: at once when something appears where the device can (a
// notice from the file system, so waiting costs nothing), and at every watchdog tick besides.
void TForm1::DeviceLost() {
    if (destroying_ || !ComPort1.DeviceLost()) return;
    try {
        ComPort1.SetOpen(false);
    } catch (...) {
        // The device is gone; whatever the close could not do, there is nothing to tell.
    }
    if (onLinkChanged_) onLinkChanged_(LinkChange::Lost, PortLabel());
    WaitForDevice(WaitReason::Lost);
}

void TForm1::WaitForDevice(WaitReason reason) {
    waiting_ = true;
    waitReason_ = reason;
    deviceNotice_.reset();
    deviceWatch_ = std::make_unique<k419::platform::PathWatch>(
        k419::platform::DescribePort(ComPort1.ComNumber()).path);
    if (deviceWatch_->Descriptor() >= 0) {
        deviceNotice_ =
            std::make_unique<QSocketNotifier>(deviceWatch_->Descriptor(), QSocketNotifier::Read);
        connect(deviceNotice_.get(), &QSocketNotifier::activated, this, [this] {
            deviceWatch_->Drain();
            TryReopen();
        });
    }
    // A device that came back before the watch was armed (an adapter that resets within
    // milliseconds) would otherwise wait for the next watchdog tick. Tried from the event loop,
    // so that whoever is told of the open (set up after the window's creation) hears of it.
    QTimer::singleShot(0, this, [this] { TryReopen(); });
}

void TForm1::TryReopen() {
    if (destroying_ || !waiting_) return;
    if (!ComPort1.Open()) {
        const std::string path = k419::platform::DescribePort(ComPort1.ComNumber()).path;
        std::error_code error;
        if (path.empty() || !std::filesystem::exists(path, error)) return;
        try {
            ComPort1.SetOpen(true);
        } catch (...) {
            return;  // there, but not ready yet: the next notice or tick tries again
        }
    }
    // Open again (by this, a key or the selector).
    waiting_ = false;
    deviceNotice_.reset();
    deviceWatch_.reset();
    const WaitReason reason = std::exchange(waitReason_, WaitReason::None);
    if (onLinkChanged_ && reason != WaitReason::None) {
        onLinkChanged_(reason == WaitReason::Lost ? LinkChange::Back : LinkChange::Opened,
                       PortLabel());
    }
}

void TForm1::ConnectReadings() {
    // The companion window opens from the context menu in both heights.
    auto* open = new QAction(QStringLiteral("Запись и график…"), this);
    connect(open, &QAction::triggered, this, [this] { BitBtn16Click(); });
    addAction(open);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    // Over the two displays and their letter boxes the window's own menu opens too (not the
    // edit field's), in the normal menu font rather than the display's, with the reading under
    // the pointer to copy.
    const std::pair<QWidget*, QLineEdit*> displays[] = {
        {ui_->LA, ui_->Base}, {ui_->Base, ui_->Base}, {ui_->LD, ui_->Dop}, {ui_->Dop, ui_->Dop}};
    for (const auto& [control, display] : displays) {
        control->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(control, &QWidget::customContextMenuRequested, this,
                [this, control, display](const QPoint& at) {
                    ShowDisplayMenu(control->mapToGlobal(at), display);
                });
    }
    // A recording in progress shows beside the COM selector.
    session_.SetOnRecordingChanged([this] {
        ui_->RecordMark->setVisible(session_.Recording());
        ui_->RecordMark->setToolTip(
            session_.Recording() ? QStringLiteral("Идёт запись в %1")
                                       .arg(QString::fromStdString(session_.Recorder().Path()))
                                 : QString());
    });
    session_.SetOnRecordingFailed([this](const std::string&) {
        ApplicationHandleException(std::runtime_error(
            "Запись показаний остановлена: " + session_.RecordingErrorInRussian() + "."));
    });
}

void TForm1::ShowDisplayMenu(const QPoint& at, QLineEdit* display) {
    // No parent: the menu takes the application's menu font and colours, not the display's.
    QMenu menu;
    menu.setObjectName(QStringLiteral("DisplayMenu"));
    QAction* copy = menu.addAction(QStringLiteral("Копировать показание"));
    copy->setEnabled(!display->text().trimmed().isEmpty());
    connect(copy, &QAction::triggered, this,
            [display] { QGuiApplication::clipboard()->setText(display->text().trimmed()); });
    menu.addSeparator();
    menu.addActions(actions());
    menu.exec(at);
}

void TForm1::FitDisplayFonts() {
    using k419::ReadoutControl;
    const std::pair<QLineEdit*, ReadoutControl> displays[] = {
        {ui_->Base, ReadoutControl::Base}, {ui_->Dop, ReadoutControl::Dop},
        {ui_->A, ReadoutControl::A},       {ui_->B, ReadoutControl::B},
        {ui_->C, ReadoutControl::C},       {ui_->D, ReadoutControl::D},
        {ui_->E, ReadoutControl::E},       {ui_->F, ReadoutControl::F},
    };
    for (const auto& [edit, control] : displays) FitFontToTexts(edit, model_.WidestTexts(control));
}

TForm1::~TForm1() {
    // From here on no handler runs: a click or tick that arrives while the port closes (the
    // close lets Qt take turns) must not reopen it.
    destroying_ = true;
    Timer1.SetEnabled(false);
    try {
        // A capture keeps what was received but not taken yet.
        if (capture_) {
            std::vector<std::uint8_t> waiting(ComPort1.InputCount());
            if (!waiting.empty()) source_->ReadBlock(waiting.data(), waiting.size());
        }
        ComPort1.SetOpen(false);
    } catch (...) {
        // The component closes as far as it can; nobody is left to show a message to.
    }
}

// The stored settings of the form description, applied as a form reader applies them: the
// component is in its loading state while its properties are set, so nothing touches a
// device before Loaded.
void TForm1::LoadComponents() {
    Guarded([&] {
        ComPort1.SetName("ComPort1");
        ComPort1.SetLoading(true);
        ComPort1.SetComNumber(1);
        ComPort1.SetBaud(9600);
        ComPort1.SetRTS(false);
        ComPort1.SetBufferFull(3686);
        ComPort1.SetBufferResume(409);
        ComPort1.SetTraceName("K419.TRC");
        ComPort1.SetLogName("K419.LOG");
        ComPort1.SetOnTrigger(
            [this](TObject* cp, std::uint16_t msg, std::uint16_t handle, std::uint16_t data) {
                ComPort1Trigger(cp, msg, handle, data);
            });
        // Every open the panel makes (at start, after a move, after a reconnection, or one
        // that a key or a discard makes by itself) starts from an empty input.
        ComPort1.SetPortOpenedHandler([this](TObject*) {
            portWasOpened_ = true;
            DiscardWaitingInput();
        });
        ComPort1.Loaded();
    });
    Timer1.SetInterval(WatchdogInterval);
    Timer1.SetOnTimer([this] { Timer1Timer(); });
    Timer1.SetEnabled(true);
}

void TForm1::ConnectControls() {
    const auto key = [this](QPushButton* button, void (TForm1::*handler)()) {
        connect(button, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    };
    key(ui_->BitBtn2, &TForm1::BitBtn2Click);
    key(ui_->BitBtn3, &TForm1::BitBtn3Click);
    key(ui_->BitBtn4, &TForm1::BitBtn4Click);
    key(ui_->BitBtn5, &TForm1::BitBtn5Click);
    key(ui_->BitBtn6, &TForm1::BitBtn6Click);
    key(ui_->BitBtn7, &TForm1::BitBtn7Click);
    key(ui_->BitBtn8, &TForm1::BitBtn8Click);
    key(ui_->BitBtn9, &TForm1::BitBtn9Click);
    key(ui_->BitBtn10, &TForm1::BitBtn10Click);
    key(ui_->BitBtn11, &TForm1::BitBtn11Click);
    key(ui_->BitBtn12, &TForm1::BitBtn12Click);
    key(ui_->BitBtn13, &TForm1::BitBtn13Click);
    key(ui_->BitBtn14, &TForm1::BitBtn14Click);
    key(ui_->BitBtn15, &TForm1::BitBtn15Click);
    key(ui_->BitBtn16, &TForm1::BitBtn16Click);
    connect(ui_->BitBtn1, &QPushButton::clicked, this, [this] {
        if (!destroying_) close();
    });
    connect(ui_->SpinEdit1, &QSpinBox::valueChanged, this, [this] { SpinEdit1Change(); });
    for (Field f : {Field::A, Field::B, Field::C, Field::D, Field::E, Field::F}) {
        FieldControl& c = fields_[static_cast<int>(f)];
        connect(c.edit, &QLineEdit::textEdited, this, [this, &c] { shown_.*c.text = StaleText; });
    }
}

template <class Body>
void TForm1::Handle(Body&& body) {
    if (!destroying_) Guarded(std::forward<Body>(body));
}

// What a failure of the port is about, as the user knows it: "COM2 (/dev/ttyUSB0)".
std::string TForm1::PortLabel() const {
    const std::string com = "COM" + std::to_string(ComPort1.ComNumber());
    const std::string device = k419::platform::DevicePathForName(("\\\\.\\" + com).c_str());
    return device.empty() ? com : com + " (" + device + ")";
}

// A handler that uses the port: whatever the component raises reaches the user with the port
// and device it is about in front of the component's own message.
template <class Body>
void TForm1::HandlePort(Body&& body) {
    Handle([&] {
        try {
            body();
        } catch (const std::exception& e) {
            throw PortFailureOf(e);
        }
    });
}

// What the user is told of a failure of the port: the component's own message after the port
// and device it is about, and above it, in a message box, a Russian sentence on the cause and
// what to do.
k419::app::PortFailure TForm1::PortFailureOf(const std::exception& e) const {
    using k419::app::PortTrouble;
    PortTrouble trouble = PortTrouble::Other;
    if (dynamic_cast<const EBadId*>(&e) != nullptr) {
        trouble = PortTrouble::Missing;
    } else if (dynamic_cast<const EAlreadyOpen*>(&e) != nullptr) {
        trouble = PortTrouble::Busy;
    } else if (const auto* io = dynamic_cast<const EInOutError*>(&e);
               io != nullptr && io->ErrorCode() == PermissionErrorNumber) {
        trouble = PortTrouble::NoPermission;
    }
    const std::string device = k419::platform::DescribePort(ComPort1.ComNumber()).path;
    std::string russian = k419::app::RussianPortSentence(trouble, ComPort1.ComNumber(), device);
    if (waiting_ && trouble != PortTrouble::Missing) {
        russian += " Панель ждёт устройство и подключится, как только оно появится.";
    }
    return k419::app::PortFailure(PortLabel() + ": " + e.what(), russian);
}

void TForm1::FormCreate() {
    HandlePort([&] {
        SetClientHeight(CompactClientHeight);
        ComPort1.SetComNumber(1);
        ui_->SpinEdit1->setValue(1);
        // A failure ends the handler here: A keeps its design text and the averaging state
        // stays as the model starts it.
        ComPort1.SetOpen(true);
        model_.FormCreated();
        ShowField(Field::A, model_.Texts().A);
    });
    // After the message, the port opens by itself once its device is there.
    if (!destroying_ && !ComPort1.Open()) WaitForDevice(WaitReason::OpenFailed);
}

void TForm1::ComPort1Trigger(TObject*, std::uint16_t, std::uint16_t, std::uint16_t) {
    HandlePort([&] {
        // Every whole frame that waits is taken, not only one per event: frames that piled up
        // while the program could not run (a machine that stalled, a laptop that slept) would
        // otherwise keep every later reading behind the meter by as much, for good, since the
        // meter's frames arrive whole, one event each. A frame is still taken only once the
        // first byte after it has arrived; the displays end on the newest.
        while ((frameLimit_ == 0 || framesShown_ < frameLimit_) &&
               model_.ReceiveTrigger(*source_, *watchdog_)) {
            TakeFrame();
        }
    });
}

// Everything a frame the model has just taken goes through: it is kept (recorded, counted,
// plotted), shown and reported.
void TForm1::TakeFrame() {
    // Every frame taken is kept, also one that a visible window does not repaint.
    std::optional<k419::Reading> reading;
    if (session_.Keeping() || onReading_) {
        reading = k419::MakeReading(model_, std::chrono::system_clock::now());
        session_.Take(*reading);
    }
    ShowFrame();
    ++framesShown_;
    if (onFrameShown_) onFrameShown_(model_.Texts());
    if (onReading_) onReading_(*reading);
}

// Bytes that waited in the device before the panel opened it are of unknown age: whatever
// waits right after an open is thrown away (into the capture, if one runs), so that the first
// frame shown is one the meter has just sent.
void TForm1::DiscardWaitingInput() {
    if (destroying_ || !ComPort1.Open()) return;
    try {
        source_->DiscardInput();
    } catch (const std::exception&) {
        // The port is open and works; old bytes left behind only delay the newest frame.
    }
}

void TForm1::SendKey(KeyCode code) {
    try {
        ComPort1.SendByte(static_cast<char>(code));
    } catch (const std::exception& e) {
        throw PortFailureOf(e);
    }
}

void TForm1::BitBtn2Click() {
    Handle([&] { SendKey(KeyCode::AutoRange); });
}
void TForm1::BitBtn3Click() {
    Handle([&] { SendKey(KeyCode::Frequency); });
}
void TForm1::BitBtn4Click() {
    Handle([&] { SendKey(KeyCode::Bias); });
}
void TForm1::BitBtn5Click() {
    Handle([&] { SendKey(KeyCode::Level); });
}
void TForm1::BitBtn6Click() {
    Handle([&] { SendKey(KeyCode::RG); });
}
void TForm1::BitBtn7Click() {
    Handle([&] { SendKey(KeyCode::RangeDown); });
}
void TForm1::BitBtn8Click() {
    Handle([&] { SendKey(KeyCode::RangeUp); });
}
void TForm1::BitBtn9Click() {
    Handle([&] { SendKey(KeyCode::DQ); });
}
void TForm1::BitBtn10Click() {
    Handle([&] { SendKey(KeyCode::L); });
}
void TForm1::BitBtn11Click() {
    Handle([&] { SendKey(KeyCode::C); });
}
void TForm1::BitBtn12Click() {
    Handle([&] {
        SendKey(KeyCode::Averaging);
        model_.RequestAveragingReset();
    });
}
void TForm1::BitBtn13Click() {
    Handle([&] { SendKey(KeyCode::PS); });
}

void TForm1::BitBtn14Click() {
    Handle([&] { SetClientHeight(ExpandedClientHeight); });
}

void TForm1::BitBtn15Click() {
    Handle([&] { SetClientHeight(CompactClientHeight); });
}

void TForm1::SpinEdit1Change() {
    HandlePort([&] {
        ComPort1.SetComNumber(static_cast<std::uint16_t>(ui_->SpinEdit1->value()));
        source_->DiscardInput();
        ComPort1.SetOpen(true);
    });
    // The new number is waited for as the old one was; a lost link no longer applies.
    if (destroying_) return;
    if (ComPort1.Open()) {
        waiting_ = false;
        waitReason_ = WaitReason::None;
        deviceNotice_.reset();
        deviceWatch_.reset();
    } else {
        WaitForDevice(WaitReason::OpenFailed);
    }
}

void TForm1::BitBtn16Click() {
    Handle([&] { OpenCompanion(); });
}

k419::app::CompanionWindow& TForm1::Companion() {
    if (!companion_) {
        companion_ =
            std::make_unique<k419::app::CompanionWindow>(session_, model_.DecimalSeparator());
    }
    return *companion_;
}

void TForm1::OpenCompanion() {
    k419::app::CompanionWindow& window = Companion();
    window.show();
    window.raise();
    window.activateWindow();
}

bool TForm1::StartCapture(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wbe");
    if (file == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    StartCapture(file, path);
    return true;
}

void TForm1::StartCapture(std::FILE* file, const std::string& path) {
    source_->SetCapture(nullptr);
    capture_ = std::make_unique<Capture>(file, [this, path](int error) {
        // The capture is over; the panel goes on.
        if (onCaptureFailed_) {
            onCaptureFailed_("cannot write " + path + ": " + std::strerror(error));
        } else {
            ApplicationHandleException(
                std::runtime_error("Запись принятых байтов остановлена: " +
                                   k419::app::RussianFileFailure(false, path, error) + "."));
        }
    });
    source_->SetCapture(capture_.get());
}

void TForm1::Timer1Timer() {
    TryReopen();
    Handle([&] {
        model_.WatchdogTick();
        ShowField(Field::Base, model_.Texts().Base);
        ShowField(Field::Dop, model_.Texts().Dop);
        if (onWatchdog_) onWatchdog_(model_.Texts());
    });
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (centred_ || event->spontaneous()) return;
    centred_ = true;
    if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        const QRect frame = frameGeometry();
        move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
}

void TForm1::SetClientHeight(int height) { setFixedSize(ClientWidth, height); }

void TForm1::ShowField(Field f, const std::string& text) {
    FieldControl& c = fields_[static_cast<int>(f)];
    std::string& shown = shown_.*c.text;
    if (shown == text) return;
    shown = text;
    const QString value = QString::fromStdString(text);
    if (c.edit != nullptr) {
        c.edit->setText(value);
        // Shown from its first character (setText leaves the cursor at the end).
        c.edit->setCursorPosition(0);
    } else {
        c.label->setText(value);
        if (c.autoSize && c.label->sizeHint().width() > c.label->width()) {
            c.label->resize(c.label->sizeHint().width(), c.label->height());
        }
    }
}

// A visible window shows every frame at once as long as frames come no faster than a screen
// refreshes. A faster stream would spend its time laying out and painting texts nobody can
// see: then the controls catch up with the latest frame once per RefreshInterval, so what is
// on screen is never more than that behind the meter. A hidden window shows every frame at once.
void TForm1::ShowFrame() {
    if (refreshPending_) return;
    const auto now = std::chrono::steady_clock::now();
    const auto since = now - lastShownAt_;
    if (!isVisible() || since >= RefreshInterval) {
        lastShownAt_ = now;
        ShowFrameTexts();
        return;
    }
    refreshPending_ = true;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(RefreshInterval - since);
    QTimer::singleShot(wait, this, [this] {
        refreshPending_ = false;
        lastShownAt_ = std::chrono::steady_clock::now();
        ShowFrameTexts();
    });
}

void TForm1::ShowFrameTexts() {
    const PanelTexts& t = model_.Texts();
    for (int i = 0; i < static_cast<int>(Field::Count); ++i) {
        ShowField(static_cast<Field>(i), t.*fields_[i].text);
    }
}
