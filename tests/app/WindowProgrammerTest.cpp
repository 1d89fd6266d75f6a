// The real window with a programmer open: what its buttons do while an operation runs.

#include "app/MainWindow.h"
#include "protocol/Frames.h"
#include "protocol/ProgrammerLink.h"
#include "usb/UsbBurnCtrl.h"
#include "vprog/VirtualProgrammer.h"
#include "support/TestEnvironment.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

class WindowWithProgrammer : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(work.path()));
        vprog::Options options;
        options.name = "window-busy";
        // Replies take some milliseconds, so that an operation waits for them and pumps events.
        options.wireBytesPerSecond = 4000;
        programmer = std::make_unique<vprog::VirtualProgrammer>(options);
        window = std::make_unique<MainWindow>();
        window->setMessageHook([this](const QString& title, const QString& text) {
            messages << title + QStringLiteral("|") + text;
        });
        ASSERT_TRUE(
            qvtest::pumpUntil([&] { return window->findChild<QComboBox*>("comboBox_Device")->count() == 1; }));
        button("pushButton_OpenDevice")->click();
        ASSERT_TRUE(log().contains("Connect the programmer successful")) << log().toStdString();
    }
    void TearDown() override {
        window.reset();
        programmer.reset();
        QDir::setCurrent(previous);
    }
    QString log() { return window->findChild<QTextEdit*>("textEdit")->toPlainText(); }
    QPushButton* button(const char* name) { return window->findChild<QPushButton*>(name); }
    // The request letters the programmer has received, in order.
    std::string letters() {
        std::string s;
        programmer->withModel([&](vprog::DeviceModel& m) {
            for (const auto& r : m.requestLog())
                s += r.size() > 2 ? char(r[2]) : '?';
        });
        return s;
    }

    QTemporaryDir work;
    QString previous;
    std::unique_ptr<vprog::VirtualProgrammer> programmer;
    std::unique_ptr<MainWindow> window;
    QStringList messages;
};

TEST_F(WindowWithProgrammer, OpenProgrammerDuringAnOperationShowsTheBoxAndSendsNothing) {
    QFile image(work.filePath("ui.bin"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(5000, '\xFF'));  // what a new SPI flash holds: the check passes
    image.close();
    window->findChild<QLineEdit*>("lineEdit_Flash")->setText(image.fileName());
    messages.clear();

    const std::string before = letters();
    bool pressedDuringOperation = false;
    std::string sentAround[2];
    QStringList messagesAfterPress;
    QTimer::singleShot(0, window.get(), [&] {
        pressedDuringOperation = window->programmerLink().operationRunning();
        sentAround[0] = letters();
        button("pushButton_OpenDevice")->click();
        sentAround[1] = letters();
        messagesAfterPress = messages;
    });
    button("pushButton_CheckUI")->click();

    ASSERT_TRUE(pressedDuringOperation) << "the press must land inside Check UI";
    EXPECT_EQ(messagesAfterPress, QStringList{"Message|The programmer have opened!"});
    EXPECT_EQ(sentAround[1], sentAround[0]) << "the box sends nothing";
    EXPECT_EQ(letters().substr(before.size()), "AGA") << "Check UI itself went on undisturbed";
    EXPECT_TRUE(log().contains("Check EFlash OK!")) << log().toStdString();
    EXPECT_EQ(messages.size(), 1);
}

// Exit while the worker is stuck in a write because the programmer stopped taking requests: the
// window is gone within a second of Exit's own pause, and config.ini is written.
TEST_F(WindowWithProgrammer, ExitDoesNotHangWhenTheProgrammerStopsTakingRequests) {
    programmer->withModel([](vprog::DeviceModel& m) {
        m.mutableOptions().fault = vprog::Fault::Stall;
        m.mutableOptions().faultAtRequest = m.requestCount() + 1;
    });
    // Requests go out through the worker until the link has no room left and a write waits.
    USB_BURN_CTRL& worker = window->transferWorker();
    static const QByteArray payload(4096, '\x5A');
    bool stuck = false;
    for (int i = 0; i < 1000 && !stuck; ++i) {
        worker.txLength = qv::frame::buildDataFrame(
            worker.txBuffer, 'F', 0x80000, reinterpret_cast<const uint8_t*>(payload.constData()), 4096);
        worker.txDone.store(0);
        worker.txPending.store(1);
        stuck = !qvtest::pumpUntil([&] { return worker.txDone.load() == 1; }, 300);
    }
    ASSERT_TRUE(stuck) << "every write went through";

    button("pushButton_Exit")->click();
    QElapsedTimer timer;
    timer.start();
    window.reset();
    EXPECT_LT(timer.elapsed(), 1000) << "the window took that long to go after Exit";
    QFile saved(work.filePath("config.ini"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("UPBOOT:0\nNFLASH:0\n./\n./\n\nWAITT:0\nPWROFF:0\n"));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

}  // namespace
