#include "app/UserMessages.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cerrno>
#include <cstring>

#include "platform/SerialPorts.h"

namespace k419::app {

QTranslator* InstallRussianTranslations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    // qtbase holds the texts of the widgets and dialogs this window uses.
    if (!translator->load(QStringLiteral("qtbase_ru"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

std::string RussianFileReason(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return "на диске нет места";
        case EACCES:
        case EPERM:
            return "нет прав на запись";
        case ENOENT:
        case ENOTDIR:
            return "такой папки нет";
        case EROFS:
            return "диск доступен только для чтения";
        case EISDIR:
            return "это папка, а не файл";
        default:
            return std::strerror(error);
    }
}

std::string RussianFileFailure(bool creating, const std::string& path, int error) {
    return (creating ? "не удалось создать файл " : "не удалось записать в файл ") + path + ": " +
           RussianFileReason(error);
}

std::string RussianPortSentence(PortTrouble trouble, int number, const std::string& device) {
    const std::string com = "COM" + std::to_string(number);
    const std::string port = device.empty() ? com : com + " (" + device + ")";
    switch (trouble) {
        case PortTrouble::Missing:
            if (device.empty()) {
                return "Порт " + com +
                       " не открыт: ни одно устройство не получило этот номер. Подключите "
                       "адаптер или выберите другой порт.";
            }
            return "Порт " + com + " не открыт: устройства " + device +
                   " нет. Подключите адаптер или выберите другой порт; панель подключится сама, "
                   "как только устройство появится.";
        case PortTrouble::Busy:
            return "Порт " + port +
                   " занят другой программой. Закройте её или выберите другой порт.";
        case PortTrouble::NoPermission: {
            const auto access = k419::platform::DescribeDeviceAccess(device);
            if (access.group == "dialout") {
                return "Нет прав на порт " + port +
                       ": устройство принадлежит группе dialout. Добавьте себя в неё (sudo "
                       "adduser $USER dialout) и войдите в систему заново.";
            }
            if (access.owner.empty()) {
                return "Нет прав на порт " + port +
                       ". Попросите администратора дать вам доступ к устройству.";
            }
            return "Нет прав на порт " + port + ": владелец устройства " + access.owner +
                   ", группа " + access.group + ", права " + access.mode +
                   ". Попросите администратора дать вам доступ к нему.";
        }
        case PortTrouble::Other:
            break;
    }
    return "Порт " + port + " не удалось использовать.";
}

}  // namespace k419::app
