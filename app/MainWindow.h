#pragma once

#include "OperationHost.h"

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class USB_BURN_CTRL;

namespace Ui {
class MainWindow;
}

namespace qv {
class UsbDevice;
class ProgrammerRoster;
class ProgrammerLink;
class FirmwareUpdate;
class TargetOperations;
class UiFlashOperations;
}  // namespace qv

// The tool's one window. It owns the transfer worker, the device, the device-search timer and the
// button bodies; every button runs its operation from a slot bound by object name. The window is
// also the operations' reporter and the button bodies' host: they log, report progress, ask for
// files and read the few widget values they need only through qv::OperationHost.
class MainWindow : public QMainWindow, public qv::OperationHost {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // --- qv::OperationHost ---
    void appendLog(const QString& line) override;
    void clearLog() override;
    void setProgress(int value) override;
    void showCriticalMessage(const QString& text) override;
    void showErrorMessage(const QString& text) override;
    void setButtonsEnabled(bool enabled) override;
    void setButtonEnabled(qv::Button button, bool enabled) override;
    void processEvents() override;
    QString openFileName(const QString& caption, const QString& directory, const QString& filter) override;
    QString text(qv::TextField field) const override;
    void setText(qv::TextField field, const QString& text) override;
    int swdSpeedIndex() const override;
    bool powerOffChecked() const override;
    void setMcuTypeRow(int row) override;

    // Replaces the modal file dialog and message boxes, so that tests never block on one.
    using FileDialogHook = std::function<QString(const QString& caption, const QString& directory,
                                                 const QString& filter)>;
    using MessageHook = std::function<void(const QString& title, const QString& text)>;
    void setFileDialogHook(FileDialogHook hook) { fileDialogHook = std::move(hook); }
    void setMessageHook(MessageHook hook) { messageHook = std::move(hook); }

    // For tests and diagnostics.
    qv::ProgrammerLink& programmerLink() { return *link; }
    qv::TargetOperations& targetOperations() { return *targetOps; }
    qv::UiFlashOperations& uiFlashOperations() { return *uiFlashOps; }
    qv::FirmwareUpdate& firmwareUpdate() { return *firmware; }
    USB_BURN_CTRL& transferWorker() { return *worker; }
    qv::UsbDevice& usbDevice() { return *device; }
    const QStringList& listedDevicePaths() const { return devicePaths; }
    QTimer& searchTimer() { return deviceSearchTimer; }

protected:
    bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;

private slots:
    void on_pushButton_OpenDevice_clicked();
    void on_pushButton_wrBootCode_clicked();
    void on_pushButton_VerifyBoot_clicked();
    void on_pushButton_UpdateTarget_clicked();
    void on_pushButton_VerifyTarget_clicked();
    void on_pushButton_UpdateUI_clicked();
    void on_pushButton_CheckUI_clicked();
    void on_pushButton_UpdateAPP_clicked();
    void on_pushButton_UpdateBoot_clicked();
    void on_pushButton_Exit_clicked();
    void on_pushButton_InputBoot_clicked();
    void on_pushButton_InputMCUCode_clicked();
    void on_pushButton_UI_bin_clicked();
    void winusbDeviceSearch();
    void deviceArrived(const QString& path);
    void deviceRemoved(const QString& path);

private:
    void loadSettings();
    void saveSettings();
    void showMessageBox(const QString& title, const QString& text);

    Ui::MainWindow* ui = nullptr;
    QTimer deviceSearchTimer;
    QStringList devicePaths;
    USB_BURN_CTRL* worker = nullptr;
    qv::UsbDevice* device = nullptr;
    std::unique_ptr<qv::ProgrammerLink> link;
    std::unique_ptr<qv::TargetOperations> targetOps;
    std::unique_ptr<qv::UiFlashOperations> uiFlashOps;
    std::unique_ptr<qv::FirmwareUpdate> firmware;
    std::unique_ptr<qv::ProgrammerRoster> roster;
    FileDialogHook fileDialogHook;
    MessageHook messageHook;
};
