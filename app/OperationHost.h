#pragma once

#include "protocol/ProgrammerLink.h"
#include "protocol/Reporter.h"
#include "targetcode/CodeOperations.h"

#include <QString>
#include <QStringList>

namespace qv {

// The text widgets that operations read or fill.
enum class TextField {
    BootPath,        // lineEdit_Boot
    McuPath,         // lineEdit_MCU
    UiPath,          // lineEdit_Flash
    McuCodeAddr,     // lineEdit_McuCodeAddr
    BoardId,         // lineEdit_BoardID
    BootCrcLabel,    // label_BootCRC
    McuCrcLabel,     // label_MCUCRC
    UiCrcLabel,      // label_UICRC
    BoardFlashId,    // lineEdit_FlashID
    BoardFlashSize,  // lineEdit_FlashSize
    BoardFlashName,  // lineEdit_FlashName
    TargetFlashId,   // lineEdit_TgFlashID
    TargetFlashSize, // lineEdit_TgFlashSize
    TargetFlashName, // lineEdit_TgFlashName
};

// The buttons outside the six-button operation group that operations switch.
enum class Button {
    UpdateApp,   // pushButton_UpdateAPP
    UpdateBoot,  // pushButton_UpdateBoot
};

// The engineer's window as its button bodies see it: the operations' reporter (the log pane, the
// progress bar, event pumping, Exit as the stop request) and the widgets the buttons read and fill.
// MainWindow implements it with its widgets; tests implement it with a recorder. Every call is
// made on the window's thread.
class OperationHost : public Reporter {
public:
    // Whether config.ini unlocks "Update programmer Boot".
    bool upbootEnabled = false;
    // Exit was pressed: the writes of a difference file end at their next piece.
    bool exitRequested = false;

    // What the link learned, shown in the widgets: the board id, the flash fields, the MCU type row,
    // and "Update programmer Boot" as config.ini allows once the application runs.
    void learned(Learned what, const Connection& connection) override;
    bool stopRequested() const override { return exitRequested; }
    void refused(const QString& text) override { showCriticalMessage(text); }
    // The SWD speed row and the power-off box, as the target attach takes them.
    TargetSettings targetSettings() const;

    // Modal critical box titled "Message" with one OK button; returns when acknowledged.
    virtual void showCriticalMessage(const QString& text) = 0;
    // Modal critical box titled "Error" with one OK button (file-open failures of the input and
    // UI operations).
    virtual void showErrorMessage(const QString& text) = 0;
    // Enables or disables the six target-operation buttons, in their order.
    virtual void setButtonsEnabled(bool enabled) = 0;
    virtual void setButtonEnabled(Button button, bool enabled) = 0;
    // Processes pending GUI events (slots, device notifications, Exit) once.
    virtual void processEvents() = 0;
    // The open-file dialog; an empty result means cancelled. Caption and filter are untranslated
    // source texts; the host translates them.
    virtual QString openFileName(const QString& caption, const QString& directory,
                                 const QString& filter) = 0;
    virtual QString text(TextField field) const = 0;
    virtual void setText(TextField field, const QString& text) = 0;
    // Current row of comboBox_SWDSPEED (-1 when none).
    virtual int swdSpeedIndex() const = 0;
    virtual bool powerOffChecked() const = 0;
    // Selects a row of comboBox_MCUType.
    virtual void setMcuTypeRow(int row) = 0;
};

// "Open programmer": opens devicePaths[index] and tells the outcome in boxes and enabled buttons.
ProgrammerLink::OpenOutcome openProgrammer(ProgrammerLink& link, OperationHost& host, const QStringList& devicePaths,
                                           int index);

}  // namespace qv
