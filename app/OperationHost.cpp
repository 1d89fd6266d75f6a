#include "OperationHost.h"

#include "protocol/Text.h"

#include <algorithm>

namespace qv {

namespace {

// Target type codes in the order of the MCU-type combo box rows.
constexpr uint32_t kTargetTypeRows[] = {
    0x19710100,  // QV0100
    0x19714807,  // QV48M07
    0x19712700,  // QV270x
    0x19715120,  // QV512
    0x19713900,  // QV390
    0x19713100,  // QV310
};

int rowForTargetType(uint32_t code) {
    for (size_t row = 0; row < sizeof kTargetTypeRows / sizeof kTargetTypeRows[0]; ++row) {
        if (kTargetTypeRows[row] == code)
            return int(row);
    }
    return 0;
}

}  // namespace

void OperationHost::learned(Learned what, const Connection& connection) {
    const auto showFlash = [this](const FlashChipInfo& chip, TextField id, TextField size, TextField name) {
        setText(id, hexText(chip.id, 6));
        setText(size, QString::number(chip.size));
        setText(name, chip.name);
    };
    switch (what) {
        case Learned::Connection:
            if (connection.mode == NormalWork)
                setButtonEnabled(Button::UpdateBoot, upbootEnabled);
            setText(TextField::BoardId, hexText(connection.boardId, 8));
            break;
        case Learned::BoardFlash:
            showFlash(connection.boardFlash, TextField::BoardFlashId, TextField::BoardFlashSize,
                      TextField::BoardFlashName);
            break;
        case Learned::TargetType:
            setMcuTypeRow(rowForTargetType(connection.targetType.value_or(0)));
            break;
        case Learned::TargetFlash:
            showFlash(connection.targetFlash, TextField::TargetFlashId, TextField::TargetFlashSize,
                      TextField::TargetFlashName);
            break;
    }
}

TargetSettings OperationHost::targetSettings() const {
    TargetSettings settings;
    settings.swdSpeed = uint8_t(std::clamp(swdSpeedIndex(), 0, 2));
    settings.powerOff = powerOffChecked();
    return settings;
}

ProgrammerLink::OpenOutcome openProgrammer(ProgrammerLink& link, OperationHost& host, const QStringList& devicePaths,
                                           int index) {
    const ProgrammerLink::OpenOutcome outcome = link.openProgrammer(devicePaths, index);
    switch (outcome) {
        case ProgrammerLink::OpenOutcome::AlreadyOpen:
            host.showCriticalMessage(QStringLiteral("The programmer have opened!"));
            break;
        case ProgrammerLink::OpenOutcome::OpenFailed:
            host.showCriticalMessage(QStringLiteral("Open fail"));
            break;
        case ProgrammerLink::OpenOutcome::Connected:
            if (link.connection().mode == UpdateMcuCode) {
                host.setButtonEnabled(Button::UpdateApp, true);
            } else {
                host.setButtonsEnabled(true);
            }
            break;
        default:
            break;
    }
    return outcome;
}

}  // namespace qv
