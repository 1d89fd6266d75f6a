#pragma once

#include <QString>

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

// The one seam through which operations reach the window. MainWindow implements it with its
// widgets; tests implement it with a recorder. Every call is made on the GUI thread.
class OperationHost {
public:
    virtual ~OperationHost() = default;

    // Appends one paragraph to the log pane, as it is.
    virtual void appendLog(const QString& line) = 0;
    virtual void clearLog() = 0;
    virtual void setProgress(int value) = 0;
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

}  // namespace qv
