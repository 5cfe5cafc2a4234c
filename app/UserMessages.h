// The window's own words for what goes wrong, in Russian like the rest of the window: a port
// that cannot be used, a file that cannot be written, and Qt's own dialogs and menus. The
// serial engine's messages stay as its table has them (shown below the Russian sentence), and
// the headless program's lines stay English, as a command-line tool's are.
#pragma once

#include <string>

class QTranslator;

namespace k419::app {

// Loads Qt's Russian translations, so that the standard buttons, the file dialog and the edit
// fields' menus speak Russian whatever the user's locale. Returns the translator installed (the
// application owns it), or null when they are not installed: then Qt's English remains. Call
// once, after the QApplication exists.
QTranslator* InstallRussianTranslations();

// Why a file could not be created or written, in Russian, for the causes a user meets (no
// space, no permission, no such folder, a read-only disk, a folder in the file's place); the
// system's English text for any other error number.
std::string RussianFileReason(int error);
// "не удалось создать файл /x/y.csv: нет такой папки", "не удалось записать в файл ...".
std::string RussianFileFailure(bool creating, const std::string& path, int error);

enum class PortTrouble { Missing, Busy, NoPermission, Other };

// One plain Russian sentence (or two) on COM`number` that cannot be used: the port, its device
// (`device`: its path, empty when the number names none), the cause and what to do. For a
// missing permission the advice names the group dialout only when the device belongs to it,
// and otherwise the device's owner, group and mode.
std::string RussianPortSentence(PortTrouble trouble, int number, const std::string& device);

}  // namespace k419::app
