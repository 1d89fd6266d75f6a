#include "MainWindow.h"

#include "FirmwareUpdate.h"
#include "Settings.h"
#include "TargetOperations.h"
#include "UiFlashOperations.h"
#include "protocol/ProgrammerLink.h"
#include "ui_mainwindow.h"
#include "usb/ProgrammerRoster.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegExp>
#include <QRegExpValidator>
#include <QThread>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    // Form, with the button slots bound by object name.
    ui->setupUi(this);

    setWindowFlags(Qt::Dialog | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("QV310_SWD_ISP_V1.2C"));

    // The worker is started by "Open programmer", not here.
    worker = new USB_BURN_CTRL();
    device = new qv::UsbDevice();
    worker->device = device;

    link = std::make_unique<qv::ProgrammerLink>(*worker, *device, *this);
    targetOps = std::make_unique<qv::TargetOperations>(*link, *this);
    uiFlashOps = std::make_unique<qv::UiFlashOperations>(*link, *this);
    firmware = std::make_unique<qv::FirmwareUpdate>(*link, *this);

    // Plugging and unplugging of programmers, as the roster hears of them (native notifications on
    // Windows, libusb hot-plug and a watch on the virtual programmer directory elsewhere); all end
    // in the same two handlers.
    roster = std::make_unique<qv::ProgrammerRoster>();
    roster->watchWindow(reinterpret_cast<void*>(winId()));
    connect(roster.get(), &qv::ProgrammerRoster::deviceArrived, this, &MainWindow::deviceArrived);
    connect(roster.get(), &qv::ProgrammerRoster::deviceRemoved, this, &MainWindow::deviceRemoved);

    upbootEnabled = false;

    ui->label_BootCRC->setText(QString::asprintf("Boot code,CRC = 0x%x  Len: %d", 0u, 0));
    ui->label_MCUCRC->setText(QString::asprintf("Mcu code,CRC = 0x%x  Len: %d", 0u, 0));
    ui->label_UICRC->setText(QString::asprintf("UI File,CRC = 0x%x  Len: %d", 0u, 0));
    ui->progressBar->setValue(0);
    ui->lineEdit_WrSum->setValidator(
        new QRegExpValidator(QRegExp(QStringLiteral("[1-9][0-9]+$")), ui->lineEdit_WrSum));
    targetOps->mcuCodePath = QStringLiteral("./");
    uiFlashOps->uiImagePath = QStringLiteral("./");

    for (QPushButton* button :
         {ui->pushButton_wrBootCode, ui->pushButton_VerifyBoot, ui->pushButton_UpdateTarget,
          ui->pushButton_VerifyTarget, ui->pushButton_CheckUI, ui->pushButton_UpdateUI,
          ui->pushButton_UpdateBoot, ui->pushButton_UpdateAPP}) {
        button->setEnabled(false);
    }

    ui->comboBox_MCUType->clear();
    ui->comboBox_MCUType->addItems({QStringLiteral("QV0100"), QStringLiteral("QV48M07"), QStringLiteral("QV270x"),
                                    QStringLiteral("QV512"), QStringLiteral("QV390"), QStringLiteral("QV310")});
    ui->comboBox_MCUType->setCurrentIndex(0);
    ui->comboBox_SWDSPEED->clear();
    ui->comboBox_SWDSPEED->addItems({QStringLiteral("High"), QStringLiteral("middle"), QStringLiteral("Low")});
    ui->comboBox_SWDSPEED->setCurrentIndex(0);
    ui->lineEdit_McuCodeAddr->setText(QStringLiteral("0xA000"));

    loadSettings();

    connect(&deviceSearchTimer, &QTimer::timeout, this, &MainWindow::winusbDeviceSearch);
    deviceSearchTimer.start(1000);
}

MainWindow::~MainWindow() {
    roster.reset();
    if (worker) {
        worker->stopAndWait();
        delete worker;
        worker = nullptr;
    }
    delete device;
    device = nullptr;
    saveSettings();
    delete ui;
}

// ---------------------------------------------------------------------------------------------
// Reporting helpers and the operations' host
// ---------------------------------------------------------------------------------------------

void MainWindow::appendLog(const QString& line) { ui->textEdit->append(line); }

void MainWindow::clearLog() { ui->textEdit->clear(); }

void MainWindow::setProgress(int value) { ui->progressBar->setValue(value); }

void MainWindow::showMessageBox(const QString& title, const QString& text) {
    if (messageHook) {
        messageHook(title, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, this);
    box.setDefaultButton(static_cast<QPushButton*>(nullptr));
    box.exec();
}

void MainWindow::showCriticalMessage(const QString& text) { showMessageBox(tr("Message"), text); }

void MainWindow::showErrorMessage(const QString& text) { showMessageBox(QStringLiteral("Error"), text); }

void MainWindow::setButtonsEnabled(bool enabled) {
    ui->pushButton_wrBootCode->setEnabled(enabled);
    ui->pushButton_VerifyBoot->setEnabled(enabled);
    ui->pushButton_UpdateTarget->setEnabled(enabled);
    ui->pushButton_VerifyTarget->setEnabled(enabled);
    ui->pushButton_CheckUI->setEnabled(enabled);
    ui->pushButton_UpdateUI->setEnabled(enabled);
}

void MainWindow::setButtonEnabled(qv::Button button, bool enabled) {
    switch (button) {
        case qv::Button::UpdateApp: ui->pushButton_UpdateAPP->setEnabled(enabled); break;
        case qv::Button::UpdateBoot: ui->pushButton_UpdateBoot->setEnabled(enabled); break;
    }
}

void MainWindow::processEvents() { QCoreApplication::processEvents(); }

QString MainWindow::openFileName(const QString& caption, const QString& directory, const QString& filter) {
    const QString translatedCaption = QCoreApplication::translate("MainWindow", caption.toUtf8().constData());
    const QString translatedFilter = QCoreApplication::translate("MainWindow", filter.toUtf8().constData());
    if (fileDialogHook) return fileDialogHook(translatedCaption, directory, translatedFilter);
    return QFileDialog::getOpenFileName(this, translatedCaption, directory, translatedFilter);
}

QString MainWindow::text(qv::TextField field) const {
    using F = qv::TextField;
    switch (field) {
        case F::BootPath: return ui->lineEdit_Boot->text();
        case F::McuPath: return ui->lineEdit_MCU->text();
        case F::UiPath: return ui->lineEdit_Flash->text();
        case F::McuCodeAddr: return ui->lineEdit_McuCodeAddr->text();
        case F::BoardId: return ui->lineEdit_BoardID->text();
        case F::BootCrcLabel: return ui->label_BootCRC->text();
        case F::McuCrcLabel: return ui->label_MCUCRC->text();
        case F::UiCrcLabel: return ui->label_UICRC->text();
        case F::BoardFlashId: return ui->lineEdit_FlashID->text();
        case F::BoardFlashSize: return ui->lineEdit_FlashSize->text();
        case F::BoardFlashName: return ui->lineEdit_FlashName->text();
        case F::TargetFlashId: return ui->lineEdit_TgFlashID->text();
        case F::TargetFlashSize: return ui->lineEdit_TgFlashSize->text();
        case F::TargetFlashName: return ui->lineEdit_TgFlashName->text();
    }
    return QString();
}

void MainWindow::setText(qv::TextField field, const QString& value) {
    using F = qv::TextField;
    switch (field) {
        case F::BootPath: ui->lineEdit_Boot->setText(value); break;
        case F::McuPath: ui->lineEdit_MCU->setText(value); break;
        case F::UiPath: ui->lineEdit_Flash->setText(value); break;
        case F::McuCodeAddr: ui->lineEdit_McuCodeAddr->setText(value); break;
        case F::BoardId: ui->lineEdit_BoardID->setText(value); break;
        case F::BootCrcLabel: ui->label_BootCRC->setText(value); break;
        case F::McuCrcLabel: ui->label_MCUCRC->setText(value); break;
        case F::UiCrcLabel: ui->label_UICRC->setText(value); break;
        case F::BoardFlashId: ui->lineEdit_FlashID->setText(value); break;
        case F::BoardFlashSize: ui->lineEdit_FlashSize->setText(value); break;
        case F::BoardFlashName: ui->lineEdit_FlashName->setText(value); break;
        case F::TargetFlashId: ui->lineEdit_TgFlashID->setText(value); break;
        case F::TargetFlashSize: ui->lineEdit_TgFlashSize->setText(value); break;
        case F::TargetFlashName: ui->lineEdit_TgFlashName->setText(value); break;
    }
}

int MainWindow::swdSpeedIndex() const { return ui->comboBox_SWDSPEED->currentIndex(); }

bool MainWindow::powerOffChecked() const { return ui->checkBox_PwrOFF->isChecked(); }

void MainWindow::setMcuTypeRow(int row) { ui->comboBox_MCUType->setCurrentIndex(row); }

// ---------------------------------------------------------------------------------------------
// Buttons
// ---------------------------------------------------------------------------------------------

void MainWindow::on_pushButton_OpenDevice_clicked() {
    qv::openProgrammer(*link, *this, devicePaths, ui->comboBox_Device->currentIndex());
}

void MainWindow::on_pushButton_wrBootCode_clicked() { targetOps->programBootCode(); }

void MainWindow::on_pushButton_VerifyBoot_clicked() { targetOps->verifyBootCode(); }

void MainWindow::on_pushButton_UpdateTarget_clicked() { targetOps->programMcuCode(); }

void MainWindow::on_pushButton_VerifyTarget_clicked() { targetOps->verifyMcuCode(); }

void MainWindow::on_pushButton_UpdateUI_clicked() { uiFlashOps->updateUi(); }

void MainWindow::on_pushButton_CheckUI_clicked() { uiFlashOps->checkUi(); }

void MainWindow::on_pushButton_UpdateAPP_clicked() { firmware->updateApplication(); }

void MainWindow::on_pushButton_UpdateBoot_clicked() { firmware->updateBootLoader(); }

void MainWindow::on_pushButton_InputBoot_clicked() { targetOps->inputBootCode(); }

void MainWindow::on_pushButton_InputMCUCode_clicked() { targetOps->inputMcuCode(); }

void MainWindow::on_pushButton_UI_bin_clicked() { uiFlashOps->selectUiFile(); }

// Exit: long loops see exitRequested at their next check. The pause deliberately does not pump
// events; the window is destroyed once the event loop ends.
void MainWindow::on_pushButton_Exit_clicked() {
    exitRequested = true;
    QThread::msleep(500);
    close();
}

// ---------------------------------------------------------------------------------------------
// Device search and hot-plug
// ---------------------------------------------------------------------------------------------

void MainWindow::winusbDeviceSearch() {
    deviceSearchTimer.stop();
    ui->comboBox_Device->clear();
    devicePaths = roster->search();
    ui->comboBox_Device->addItems(devicePaths);
    if (!devicePaths.isEmpty()) ui->comboBox_Device->setCurrentIndex(0);
}

void MainWindow::deviceArrived(const QString& path) {
    appendLog(QStringLiteral("device insert:") + path.toUpper());
    deviceSearchTimer.start(100);
}

void MainWindow::deviceRemoved(const QString& path) {
    if (device->isOpen() && !roster->search().contains(device->devicePath())) {
        device->close();
        worker->stopAndWait();
        setButtonsEnabled(false);
    }
    appendLog(QStringLiteral("device remove:") + path.toUpper());
    deviceSearchTimer.start(100);
}

bool MainWindow::nativeEvent(const QByteArray& eventType, void* message, long* result) {
    Q_UNUSED(eventType);
    Q_UNUSED(result);
    // No roster before the constructor made it or after the destructor let it go.
    if (roster) roster->nativeEvent(message);
    return false;
}

// ---------------------------------------------------------------------------------------------
// config.ini
// ---------------------------------------------------------------------------------------------

void MainWindow::loadSettings() {
    QFile file(QDir::currentPath() + QStringLiteral("/config.ini"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        appendLog(QStringLiteral("Open config.ini fail"));
        return;
    }
    const qv::StoredSettings stored = qv::readSettings(file);
    upbootEnabled = stored.upbootEnabled;
    if (stored.hasMcuCodeLine) {
        targetOps->mcuCodePath = stored.mcuCodeLine.trimmed();
        ui->lineEdit_MCU->setText(stored.mcuCodeLine);
    }
    if (stored.hasUiImageLine) {
        uiFlashOps->uiImagePath = stored.uiImageLine.trimmed();
        ui->lineEdit_Flash->setText(stored.uiImageLine);
    }
    if (stored.hasBootCodeLine) {
        targetOps->bootCodePath = stored.bootCodeLine.trimmed();
        ui->lineEdit_Boot->setText(stored.bootCodeLine);
    }
    if (stored.hasPowerOffLine) ui->checkBox_PwrOFF->setChecked(stored.powerOff);
}

void MainWindow::saveSettings() {
    const QString path = QDir::currentPath() + QStringLiteral("/config.ini");
    appendLog(path);
    const QByteArray bytes = qv::settingsFileBytes(targetOps->mcuCodePath, uiFlashOps->uiImagePath,
                                                   targetOps->bootCodePath, ui->checkBox_PwrOFF->isChecked());
    if (!qv::writeFileAtomically(path, bytes)) {
        showCriticalMessage(QStringLiteral("打开文件失败"));
    }
}
