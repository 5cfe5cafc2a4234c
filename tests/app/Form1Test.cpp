// The front panel window end to end, offscreen: frames from a pseudo-terminal reach every
// control, the keys send their codes, the watchdog reports silence on a hand-driven clock,
// the port selector moves the link, and failures are reported while the window runs on.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <deque>
#include <filesystem>
#include <memory>
#include <thread>

#include "PanelTestSupport.h"
#include "app/Form1.h"
#include "meter/FrameBytes.h"
#include "meter/FrontPanel.h"

namespace {

using k419::MeterFrame;
using k419::test::App;
using k419::test::ErrorRecord;
using k419::test::Frame;
using k419::test::ManualTimerClock;
using k419::test::MeterLine;
using k419::test::WaitUntil;

constexpr std::array<std::uint8_t, 4> One{0x00, 0x00, 0x00, 0x7F};      // 1.0
constexpr std::array<std::uint8_t, 4> Ten{0x00, 0x00, 0x20, 0x82};      // 10.0
constexpr std::array<std::uint8_t, 4> Half{0x00, 0x00, 0x00, 0x7E};     // 0.5
constexpr std::array<std::uint8_t, 4> MinusPi{0xDB, 0x0F, 0xC9, 0x80};  // -3.1415927

// The texts a model shows after the same frames, fed without a port.
class ReferencePanel {
  public:
    explicit ReferencePanel(std::string separator) : model_(std::move(separator)) {
        model_.FormCreated();
    }
    const k419::PanelTexts& Show(const MeterFrame& frame) {
        Bytes bytes;
        bytes.data.assign(frame.begin(), frame.end());
        bytes.data.push_back(k419::FrameHeader);
        NoWatchdog watchdog;
        model_.ReceiveTrigger(bytes, watchdog);
        return model_.Texts();
    }

  private:
    struct Bytes : k419::FrameSource {
        std::deque<std::uint8_t> data;
        std::uint16_t InputCount() override { return static_cast<std::uint16_t>(data.size()); }
        void ReadBlock(std::uint8_t* buffer, std::uint16_t count) override {
            for (std::uint16_t i = 0; i < count; ++i, data.pop_front()) buffer[i] = data.front();
        }
        void DiscardInput() override { data.clear(); }
    };
    struct NoWatchdog : k419::Watchdog {
        void Disable() override {}
        void Enable() override {}
    };
    k419::FrontPanelModel model_;
};

class Form1Test : public ::testing::Test {
  protected:
    void SetUp() override { App(); }

    void Create(std::string separator = ",") {
        form = std::make_unique<TForm1>(std::move(separator), clock);
    }

    std::string Text(const char* name) const {
        if (auto* label = form->findChild<QLabel*>(name)) return label->text().toStdString();
        if (auto* edit = form->findChild<QLineEdit*>(name)) return edit->text().toStdString();
        ADD_FAILURE() << "no text control " << name;
        return {};
    }

    // Sends a frame on `line` and waits until the window has shown it.
    bool Show(const MeterFrame& frame, MeterLine& line) {
        const auto before = form->FramesShown();
        return line.Send(frame) && WaitUntil([&] { return form->FramesShown() > before; });
    }
    bool Show(const MeterFrame& frame) { return Show(frame, com1); }

    void ExpectPanel(const k419::PanelTexts& t) {
        const std::pair<const char*, const std::string*> controls[] = {
            {"LA", &t.LA},         {"Base", &t.Base},     {"LD", &t.LD},
            {"Dop", &t.Dop},       {"A", &t.A},           {"B", &t.B},
            {"C", &t.C},           {"D", &t.D},           {"E", &t.E},
            {"F", &t.F},           {"Label1", &t.Label1}, {"Label2", &t.Label2},
            {"Label3", &t.Label3}, {"Label4", &t.Label4}, {"Label5", &t.Label5},
            {"Label7", &t.Label7}};
        for (const auto& [name, text] : controls) EXPECT_EQ(Text(name), *text) << name;
    }

    ManualTimerClock clock;
    MeterLine com1{1};
    ErrorRecord errors;
    std::unique_ptr<TForm1> form;
};

TEST_F(Form1Test, StartsOnComOneWithTheDesignTexts) {
    Create();
    EXPECT_TRUE(form->ComPort1.Open());
    EXPECT_EQ(form->ComPort1.ComNumber(), 1);
    EXPECT_TRUE(WaitUntil([&] { return com1.Listened(); }));
    EXPECT_EQ(form->findChild<QSpinBox*>("SpinEdit1")->value(), 1);
    for (const char* empty : {"LA", "LD", "Base", "Dop", "B", "C", "D", "E", "F"}) {
        EXPECT_EQ(Text(empty), "") << empty;
    }
    EXPECT_EQ(Text("A"), "-256");
    const std::pair<const char*, const char*> design[] = {{"Label2", "AUTO"}, {"Label1", "1"},
                                                          {"Label3", "1кГц"}, {"Label4", "ВКЛ"},
                                                          {"Label5", "MAX"},  {"Label7", "ПАР"}};
    for (const auto& [name, caption] : design) EXPECT_EQ(Text(name), caption) << name;
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(Form1Test, FramesReachEveryControlWithTheLocaleSeparator) {
    struct Case {
        const char* separator;
        MeterFrame frame;
        // The texts of a frame whose every number is known by heart: R in range 5, Q.
        bool checkByHeart;
    };
    const Case cases[] = {
        {",", Frame(One, Ten, 5, 0x12, 0x00), true},
        {",", Frame(Half, MinusPi, 2, 0xFF, 0xFF), false},
        {",", Frame(MinusPi, Half, 8, 0x00, 0x00), false},
        {".", Frame(One, Ten, 5, 0x12, 0x00), false},
        {".", Frame(Ten, One, 0, 0x40, 0x01), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "separator " << c.separator << ", range "
                                        << int(c.frame[9]) << ", status " << int(c.frame[10]));
        form.reset();
        MeterLine line(1);
        Create(c.separator);
        ReferencePanel reference(c.separator);
        ASSERT_TRUE(Show(c.frame, line));
        ExpectPanel(reference.Show(c.frame));
        if (c.checkByHeart) {
            EXPECT_EQ(Text("LA"), "R");
            EXPECT_EQ(Text("Base"), "  1000,0  Ом");
            EXPECT_EQ(Text("A"), "  1000,0  Ом");
            EXPECT_EQ(Text("LD"), "Q");
            EXPECT_EQ(Text("Dop"), "  10,000  ");
            EXPECT_EQ(Text("F"), "   0,100  ");
            EXPECT_EQ(Text("Label1"), "5");
            EXPECT_EQ(Text("Label2"), "Ручной");
            EXPECT_EQ(Text("Label3"), "1кГц");
            EXPECT_EQ(Text("Label4"), "ВЫКЛ");
            EXPECT_EQ(Text("Label5"), "1 V");
            EXPECT_EQ(Text("Label7"), "ПАР");
        }
        form.reset();
    }
}

TEST_F(Form1Test, ConsecutiveFramesEachReplaceThePanel) {
    Create();
    ReferencePanel reference(",");
    const MeterFrame frames[] = {Frame(One, Ten, 5, 0x12, 0x00),
                                 Frame(Half, MinusPi, 2, 0xFF, 0xFF),
                                 Frame(Ten, One, 7, 0x23, 0x01), Frame(One, Half, 200, 0x00, 0x02)};
    for (const MeterFrame& f : frames) {
        ASSERT_TRUE(Show(f));
        ExpectPanel(reference.Show(f));
    }
    EXPECT_EQ(form->FramesShown(), 4u);
}

TEST_F(Form1Test, ShownWindowCatchesUpWithTheLatestFrameOfAFastStream) {
    Create();
    form->show();
    ReferencePanel reference(",");
    const MeterFrame frames[] = {Frame(One, Ten, 5, 0x12, 0x00),
                                 Frame(Half, MinusPi, 2, 0xFF, 0xFF),
                                 Frame(Ten, One, 7, 0x23, 0x01), Frame(One, Half, 3, 0x00, 0x00)};
    k419::PanelTexts last;
    for (const MeterFrame& f : frames) {
        ASSERT_TRUE(Show(f));  // back to back: faster than a screen refreshes
        last = reference.Show(f);
    }
    EXPECT_TRUE(WaitUntil([&] { return Text("Label1") == last.Label1 && Text("A") == last.A; }));
    ExpectPanel(last);
}

// Frames that piled up (the program could not run for a while) are all taken in one event, each
// kept as any frame is, so that the panel is at once as new as the meter.
TEST_F(Form1Test, ABacklogIsTakenWholeInOneEvent) {
    Create();
    const auto path = std::filesystem::temp_directory_path() / "k419-backlog-test.csv";
    ASSERT_TRUE(form->Session().StartRecording(path.string()));
    std::string bytes;
    for (int i = 1; i <= 10; ++i) {
        const MeterFrame f = k419::test::MakeFrame(static_cast<float>(i), 1, 5, 0x12, 0x02);
        bytes.append(f.begin(), f.end());
    }
    bytes.push_back(static_cast<char>(k419::FrameHeader));
    ASSERT_TRUE(com1.WriteRaw(bytes));
    // All of it waits in the port before the handler runs once: this thread does not take
    // the component's notifications until it waits below. The handler is reached as in the
    // program, through a delivery; called directly, its reads would race the dispatch
    // thread's delivery of the same bytes.
    for (int ms = 0; form->ComPort1.InputCount() < bytes.size() && ms < 10000; ++ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(form->ComPort1.InputCount(), bytes.size());
    ASSERT_TRUE(WaitUntil([&] { return form->FramesShown() > 0; }));
    EXPECT_EQ(form->FramesShown(), 10u);
    EXPECT_TRUE(WaitUntil([&] { return form->ComPort1.InputCount() == 1u; }));
    // The averaging rings, the statistics and the recording saw every frame.
    double sum = 0;
    for (double v : form->Model().FirstHistory) sum += v;
    EXPECT_DOUBLE_EQ(sum, 55.0);
    EXPECT_EQ(form->Session().Statistics().Primary().values.Count(), 10u);
    EXPECT_EQ(form->Session().Recorder().Rows(), 10u);
    form->Session().StopRecording();
    std::filesystem::remove(path);
}

TEST_F(Form1Test, TypingIntoAFieldIsOverwrittenByTheNextFrame) {
    Create();
    const MeterFrame f = Frame(One, Ten, 5, 0x12, 0x00);
    ASSERT_TRUE(Show(f));
    const std::string before = Text("C");
    QLineEdit* c = form->findChild<QLineEdit*>("C");
    c->selectAll();
    c->insert("typed");  // as the user types: emits textEdited
    ASSERT_EQ(Text("C"), "typed");
    ASSERT_TRUE(Show(f));
    EXPECT_EQ(Text("C"), before);
}

TEST_F(Form1Test, EachKeySendsExactlyItsCode) {
    Create();
    ASSERT_TRUE(WaitUntil([&] { return com1.Listened(); }));
    std::string expected;
    for (const k419::KeyDef& key : k419::KeyTable) {
        auto* button =
            form->findChild<QPushButton*>(QString::fromUtf8(key.button.data(), key.button.size()));
        ASSERT_NE(button, nullptr) << key.button;
        if (!key.caption.empty()) {
            EXPECT_EQ(button->text().toStdString(), key.caption) << key.button;
        }
        button->click();
        expected.push_back(static_cast<char>(key.code));
    }
    // One more click closes the sequence: an extra byte from any key would shift it.
    form->findChild<QPushButton*>("BitBtn10")->click();
    expected.push_back(static_cast<char>(k419::KeyCode::L));
    EXPECT_EQ(com1.Read(expected.size()), expected);
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(Form1Test, AveragingKeyMakesTheNextAveragedFrameStartFromClearedRings) {
    Create();
    // Range 5, R on the main display, averaging on: R = 1000 x the averaged first number,
    // with one decimal more than the table's.
    const MeterFrame averaged = Frame(One, Ten, 5, 0x10, 0x02);
    ASSERT_TRUE(Show(averaged));
    EXPECT_EQ(Text("Base"), "  181,82  Ом");  // 2/11 after the reset at start
    ASSERT_TRUE(Show(averaged));
    EXPECT_EQ(Text("Base"), "  272,73  Ом");  // 3/11
    form->findChild<QPushButton*>("BitBtn12")->click();
    EXPECT_EQ(com1.Read(1), std::string(1, '\x0A'));
    ASSERT_TRUE(Show(averaged));
    EXPECT_EQ(Text("Base"), "  181,82  Ом");  // 2/11 again, not 4/11
}

TEST_F(Form1Test, WatchdogReportsTwoSecondsWithoutAFrame) {
    Create();
    int ticks = 0;
    form->SetOnWatchdog([&](const k419::PanelTexts&) { ++ticks; });
    clock.Advance(1999);
    EXPECT_EQ(Text("Base"), "");
    clock.Advance(1);
    EXPECT_EQ(Text("Base"), "Нет данных");
    EXPECT_EQ(Text("Dop"), "разрыв связи");

    const MeterFrame f = Frame(One, Ten, 5, 0x12, 0x00);
    ASSERT_TRUE(Show(f));
    const std::string reading = Text("Base");
    ASSERT_EQ(reading, "  1000,0  Ом");
    clock.Advance(1999);
    ASSERT_TRUE(Show(f));  // at 1999 ms: a fresh period starts
    clock.Advance(1999);
    EXPECT_EQ(Text("Base"), reading);
    EXPECT_EQ(ticks, 1);
    clock.Advance(1);
    EXPECT_EQ(Text("Base"), "Нет данных");
    EXPECT_EQ(Text("Dop"), "разрыв связи");
    // Only the two displays change; the letters, fields and state panel keep the frame's.
    EXPECT_EQ(Text("LA"), "R");
    EXPECT_EQ(Text("LD"), "Q");
    EXPECT_EQ(Text("A"), reading);
    EXPECT_EQ(Text("Label1"), "5");
    clock.Advance(2000);
    EXPECT_EQ(ticks, 3);
}

TEST_F(Form1Test, PortSelectorMovesTheLinkAndDiscardsWaitingInput) {
    MeterLine com2(2);
    Create();
    ASSERT_TRUE(WaitUntil([&] { return com1.Listened(); }));
    // Left on COM2's line before the move: it must not shift the frames that follow.
    ASSERT_TRUE(com2.WriteRaw("\x01\x02\x03\x04\x05"));
    form->findChild<QSpinBox*>("SpinEdit1")->stepUp();
    EXPECT_EQ(form->findChild<QSpinBox*>("SpinEdit1")->value(), 2);
    EXPECT_EQ(form->ComPort1.ComNumber(), 2);
    EXPECT_TRUE(form->ComPort1.Open());
    EXPECT_TRUE(WaitUntil([&] { return !com1.Listened() && com2.Listened(); }));

    ReferencePanel reference(",");
    const MeterFrame f = Frame(Half, MinusPi, 3, 0x52, 0x01);
    ASSERT_TRUE(Show(f, com2));
    ExpectPanel(reference.Show(f));
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(Form1Test, PortSelectorStaysWithinOneToFourAndArrowsOnly) {
    MeterLine com2(2), com3(3), com4(4);
    Create();
    QSpinBox* spin = form->findChild<QSpinBox*>("SpinEdit1");
    spin->stepDown();
    EXPECT_EQ(spin->value(), 1);
    EXPECT_EQ(form->ComPort1.ComNumber(), 1);
    for (int i = 0; i < 5; ++i) spin->stepUp();
    EXPECT_EQ(spin->value(), 4);
    EXPECT_EQ(form->ComPort1.ComNumber(), 4);
    EXPECT_TRUE(form->ComPort1.Open());

    // The number changes by the arrows only: the text part takes no typing.
    auto* edit = spin->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->isReadOnly());
    spin->stepDown();
    EXPECT_EQ(spin->value(), 3);
    EXPECT_EQ(form->ComPort1.ComNumber(), 3);
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(Form1Test, HeightButtonsSwitchBetweenCompactAndExpanded) {
    Create();
    EXPECT_EQ(form->size(), QSize(506, 110));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    form->findChild<QPushButton*>("BitBtn14")->click();
    EXPECT_EQ(form->size(), QSize(506, 303));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    // Readouts keep updating at either height.
    ASSERT_TRUE(Show(Frame(One, Ten, 5, 0x12, 0x00)));
    EXPECT_EQ(Text("A"), "  1000,0  Ом");
    form->findChild<QPushButton*>("BitBtn15")->click();
    EXPECT_EQ(form->size(), QSize(506, 110));
    ASSERT_TRUE(Show(Frame(Ten, One, 5, 0x12, 0x00)));
    EXPECT_EQ(Text("A"), " 10000,0  Ом");  // exactly 10000 is still a reading
    form->findChild<QPushButton*>("BitBtn14")->click();
    EXPECT_EQ(form->size(), QSize(506, 303));
}

TEST_F(Form1Test, ExitButtonClosesTheWindow) {
    Create();
    form->show();
    ASSERT_TRUE(form->isVisible());
    form->findChild<QPushButton*>("BitBtn1")->click();
    EXPECT_FALSE(form->isVisible());
}

class Form1WithoutPortTest : public Form1Test {
  protected:
    void SetUp() override {
        Form1Test::SetUp();
        setenv("K419_COM1", "/nonexistent/k419-test-tty", 1);
    }
};

TEST_F(Form1WithoutPortTest, PortThatCannotOpenIsReportedAndTheWindowRunsOn) {
    MeterLine com2(2);
    Create();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0],
              "COM1 (/nonexistent/k419-test-tty): ie_BadId - Specified comport doesn't exist");
    // A message box leads with a Russian sentence on the cause and what to do.
    EXPECT_EQ(errors.russian[0],
              "Порт COM1 не открыт: устройства /nonexistent/k419-test-tty нет. Подключите "
              "адаптер или выберите другой порт; панель подключится сама, как только "
              "устройство появится.");
    EXPECT_FALSE(form->ComPort1.Open());
    EXPECT_EQ(Text("A"), " ");  // FormCreate ended before A was set
    EXPECT_EQ(form->size(), QSize(506, 110));
    form->show();
    EXPECT_TRUE(form->isVisible());

    clock.Advance(2000);
    EXPECT_EQ(Text("Base"), "Нет данных");
    EXPECT_EQ(Text("Dop"), "разрыв связи");

    // A key tries to open the port again; the failure is shown as before, and nothing is sent.
    EXPECT_TRUE(form->WaitingForDevice());
    form->findChild<QPushButton*>("BitBtn10")->click();
    ASSERT_EQ(errors.messages.size(), 2u);
    EXPECT_EQ(errors.messages[1], errors.messages[0]);
    EXPECT_EQ(errors.russian[1], errors.russian[0]);

    // The user picks a port that works.
    form->findChild<QSpinBox*>("SpinEdit1")->stepUp();
    EXPECT_TRUE(form->ComPort1.Open());
    ReferencePanel reference(",");
    const MeterFrame f = Frame(One, Ten, 5, 0x12, 0x00);
    ASSERT_TRUE(Show(f, com2));
    EXPECT_EQ(Text("A"), reference.Show(f).A);
    EXPECT_EQ(errors.messages.size(), 2u);
}

}  // namespace
