#include "Steps.h"

#include "targetcode/CodeImage.h"

#include <QRegularExpression>

#include <utility>

namespace qv::engine {

namespace {

const std::pair<Command, const char*> kCommandNames[] = {
    {Command::Help, "help"},
    {Command::Version, "version"},
    {Command::List, "list"},
    {Command::Info, "info"},
    {Command::ProgramBoot, "program-boot"},
    {Command::ProgramMcu, "program-mcu"},
    {Command::VerifyBoot, "verify-boot"},
    {Command::VerifyMcu, "verify-mcu"},
    {Command::WriteUi, "write-ui"},
    {Command::CheckUi, "check-ui"},
    {Command::UpdateFirmware, "update-firmware"},
    {Command::UpdateBoot, "update-boot"},
    {Command::Run, "run"},
    {Command::Station, "station"},
    {Command::Serials, "serials"},
};

}  // namespace

QString commandName(Command command) {
    if (command == Command::RecordsExport)
        return QStringLiteral("records export");
    if (command == Command::RecordsSync)
        return QStringLiteral("records sync");
    if (command == Command::RecordsYield)
        return QStringLiteral("records yield");
    for (const auto& entry : kCommandNames) {
        if (entry.first == command)
            return QString::fromLatin1(entry.second);
    }
    return QString();
}

Command commandOfName(const QString& name) {
    for (const auto& entry : kCommandNames) {
        if (name == QLatin1String(entry.second))
            return entry.first;
    }
    return Command::None;
}

bool isOperation(Command command) {
    switch (command) {
        case Command::ProgramBoot:
        case Command::ProgramMcu:
        case Command::VerifyBoot:
        case Command::VerifyMcu:
        case Command::WriteUi:
        case Command::CheckUi:
        case Command::UpdateFirmware:
        case Command::UpdateBoot:
            return true;
        default:
            return false;
    }
}

bool updatesProgrammer(Command command) {
    return command == Command::UpdateFirmware || command == Command::UpdateBoot;
}

bool isStrictCodeAddress(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^0[xX][0-9A-Fa-f]{1,8}\\z"));
    if (!pattern.match(text).hasMatch())
        return false;
    bool ok = false;
    const qulonglong value = text.mid(2).toULongLong(&ok, 16);
    return ok && value < kCodeFlashEnd && value % 4096 == 0;
}

}  // namespace qv::engine
