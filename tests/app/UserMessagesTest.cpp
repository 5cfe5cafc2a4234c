// The window speaks Russian: Qt's own buttons, the menu over the displays, the advice on a port
// the user may not open, the reasons of a file that cannot be written, the companion's reset.
#include "app/UserMessages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "PanelTestSupport.h"
#include "app/Form1.h"
#include "app/ReadingSession.h"

namespace {

namespace fs = std::filesystem;
using k419::app::PortTrouble;
using k419::app::RussianPortSentence;

TEST(UserMessages, QtsOwnButtonsSpeakRussian) {
    k419::test::App();
    QTranslator* russian = k419::app::InstallRussianTranslations();
    ASSERT_NE(russian, nullptr) << "Qt's Russian translations are not installed";
    QMessageBox box(QMessageBox::Critical, "K4-19", "text", QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("Отмена"));
    QCoreApplication::removeTranslator(russian);
    delete russian;
}

TEST(UserMessages, AFileThatCannotBeWrittenSaysWhyInRussian) {
    EXPECT_EQ(k419::app::RussianFileFailure(false, "/dev/full", ENOSPC),
              "не удалось записать в файл /dev/full: на диске нет места");
    EXPECT_EQ(k419::app::RussianFileFailure(true, "/x/r.csv", ENOENT),
              "не удалось создать файл /x/r.csv: такой папки нет");
    EXPECT_EQ(k419::app::RussianFileReason(EXDEV), std::strerror(EXDEV));  // no word of ours
}

// The advice on a device the user may not open names the group dialout only when the device
// belongs to it; else its owner, group and mode.
TEST(UserMessages, ThePermissionAdviceNamesWhoOwnsTheDevice) {
    const fs::path device = fs::temp_directory_path() / ("k419-perm-" + std::to_string(getpid()));
    std::ofstream(device) << "";
    fs::permissions(device, fs::perms::owner_read | fs::perms::owner_write);
    const std::string sentence = RussianPortSentence(PortTrouble::NoPermission, 2, device);
    EXPECT_EQ(sentence.find("dialout"), std::string::npos) << sentence;
    EXPECT_NE(sentence.find("права -rw-------"), std::string::npos) << sentence;
    EXPECT_NE(sentence.find("COM2 (" + device.string() + ")"), std::string::npos) << sentence;
    if (::geteuid() == 0 && ::chown(device.c_str(), 0, 20) == 0) {  // group dialout on Debian
        const std::string inDialout = RussianPortSentence(PortTrouble::NoPermission, 2, device);
        EXPECT_NE(inDialout.find("sudo adduser $USER dialout"), std::string::npos) << inDialout;
    }
    fs::remove(device);
}

// Right-click over a display opens the window's own menu, in the menu font, with the reading
// to copy.
TEST(UserMessages, OneMenuOverTheDisplays) {
    k419::test::App();
    setenv("K419_COM1", "/nonexistent/k419-test-tty", 1);
    k419::test::ManualTimerClock clock;
    k419::test::ErrorRecord errors;
    TForm1 form(",", clock);
    form.show();
    auto* base = form.findChild<QLineEdit*>("Base");
    base->setText("  123,4  Ом");
    QStringList items;
    int menuPixels = 0;
    QTimer::singleShot(50, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator()) items << action->text();
        }
        menuPixels = QFontInfo(menu->font()).pixelSize();
        menu->actions().front()->trigger();
        menu->close();
    });
    const QPoint at(5, 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, base->mapToGlobal(at));
    QApplication::sendEvent(base, &event);
    EXPECT_EQ(items, (QStringList{"Копировать показание", "Запись и график…"}));
    EXPECT_LT(menuPixels, QFontInfo(base->font()).pixelSize());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "123,4  Ом");
    unsetenv("K419_COM1");
}

TEST(UserMessages, TheCompanionsResetClearsThePlot) {
    k419::app::ReadingSession session;
    k419::Reading r;
    r.primary = 'C';
    r.primaryValue.value = 1e-9;
    r.secondaryValue.value = 0.001;
    session.Take(r);
    ASSERT_FALSE(session.Primary().history.Empty());
    session.ResetStatistics();
    EXPECT_TRUE(session.Primary().history.Empty());
    EXPECT_TRUE(session.Secondary().history.Empty());
    EXPECT_EQ(session.Statistics().Primary().values.Count(), 0u);
}

}  // namespace
