#include "app/MainWindow.h"
#include "protocol/ProgrammerLink.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"
#include "support/TestEnvironment.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

namespace {

vprog::Options named(const char* name) {
    vprog::Options options;
    options.name = name;
    return options;
}

// The real window against virtual programmers plugged in and out around it.
class HotplugTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(work.path()));
        window = std::make_unique<MainWindow>();
        window->setMessageHook([this](const QString&, const QString& text) { messages << text; });
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previous);
    }
    QComboBox* deviceBox() { return window->findChild<QComboBox*>("comboBox_Device"); }
    QStringList rows() {
        QStringList r;
        for (int i = 0; i < deviceBox()->count(); ++i) r << deviceBox()->itemText(i);
        return r;
    }
    QString log() { return window->findChild<QTextEdit*>("textEdit")->toPlainText(); }
    QPushButton* button(const char* name) { return window->findChild<QPushButton*>(name); }
    bool groupEnabled() {
        for (const char* name : {"pushButton_wrBootCode", "pushButton_VerifyBoot", "pushButton_UpdateTarget",
                                 "pushButton_VerifyTarget", "pushButton_CheckUI", "pushButton_UpdateUI"}) {
            if (!button(name)->isEnabled()) return false;
        }
        return true;
    }
    void openRow(int row) {
        deviceBox()->setCurrentIndex(row);
        button("pushButton_OpenDevice")->click();
    }

    QTemporaryDir work;
    QString previous;
    std::unique_ptr<MainWindow> window;
    QStringList messages;
};

TEST_F(HotplugTest, FirstSearchRunsAfterOneSecondAndListsTheProgrammer) {
    // Plugged in before the window exists: no event, so the search waits for the first second.
    window.reset();
    vprog::VirtualProgrammer programmer(named("first"));
    QElapsedTimer timer;
    timer.start();
    window = std::make_unique<MainWindow>();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 1; }));
    EXPECT_GE(timer.elapsed(), 900);
    EXPECT_EQ(rows(), QStringList{QString::fromStdString(programmer.devicePath())});
    EXPECT_EQ(deviceBox()->currentIndex(), 0);
    EXPECT_FALSE(window->searchTimer().isActive()) << "each search stops the timer";
}

TEST_F(HotplugTest, PluggingInLogsTheUpperCasedPathAndListsItSoonAfter) {
    ASSERT_TRUE(qvtest::pumpUntil([&] { return !window->searchTimer().isActive(); }));  // first search done
    vprog::VirtualProgrammer programmer(named("arriving"));
    const QString path = QString::fromStdString(programmer.devicePath());
    ASSERT_TRUE(qvtest::pumpUntil([&] { return log().contains("device insert:"); }));
    EXPECT_TRUE(log().contains(QStringLiteral("device insert:") + path.toUpper()));
    EXPECT_TRUE(window->searchTimer().isActive());
    EXPECT_EQ(window->searchTimer().interval(), 100);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return rows() == QStringList{path}; }, 1000));
}

TEST_F(HotplugTest, UnpluggingTheOpenProgrammerClosesItStopsTheWorkerAndDisablesTheButtons) {
    auto programmer = std::make_unique<vprog::VirtualProgrammer>(named("open-one"));
    const QString path = QString::fromStdString(programmer->devicePath());
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 1; }));
    openRow(0);
    ASSERT_TRUE(log().contains("Connect the programmer successful")) << log().toStdString();
    ASSERT_TRUE(groupEnabled());
    ASSERT_TRUE(window->transferWorker().isRunning());

    programmer.reset();  // unplugged while idle
    ASSERT_TRUE(qvtest::pumpUntil([&] { return log().contains("device remove:"); }));
    EXPECT_TRUE(log().contains(QStringLiteral("device remove:") + path.toUpper()));
    EXPECT_FALSE(window->usbDevice().isOpen());
    EXPECT_FALSE(window->transferWorker().isRunning());
    EXPECT_FALSE(groupEnabled());
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 0; }, 1000));
}

TEST_F(HotplugTest, UnpluggingAnotherProgrammerLeavesTheOpenOneOpen) {
    vprog::VirtualProgrammer kept(named("a-kept"));
    auto other = std::make_unique<vprog::VirtualProgrammer>(named("b-other"));
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 2; }));
    openRow(0);
    ASSERT_TRUE(log().contains("Connect the programmer successful"));
    other.reset();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return log().contains("device remove:"); }));
    EXPECT_TRUE(window->usbDevice().isOpen());
    EXPECT_TRUE(window->transferWorker().isRunning());
    EXPECT_TRUE(groupEnabled());
    ASSERT_TRUE(qvtest::pumpUntil([&] { return rows() == QStringList{QString::fromStdString(kept.devicePath())}; }, 1000));
}

TEST_F(HotplugTest, OpeningAgainAfterTheProgrammerRestartedConnectsAndShowsTheNewState) {
    vprog::Options options = named("restarting");
    vprog::VirtualProgrammer programmer(options);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 1; }));
    openRow(0);
    ASSERT_TRUE(log().contains("Connect the programmer successful"));
    button("pushButton_OpenDevice")->click();
    EXPECT_EQ(messages, QStringList{"The programmer have opened!"});

    // The programmer drops off the bus and comes back (as after a firmware update).
    programmer.unplug();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return !window->usbDevice().isOpen(); }));
    programmer.withModel([](vprog::DeviceModel& model) { model.mutableOptions().appVersion = 0x200101; });
    ASSERT_TRUE(programmer.plug());
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 1 && !window->searchTimer().isActive(); }));
    window->findChild<QTextEdit*>("textEdit")->clear();
    openRow(0);
    EXPECT_TRUE(log().contains("Connect the programmer successful")) << log().toStdString();
    EXPECT_TRUE(log().contains("App_Version:  0x20200101")) << log().toStdString();
    EXPECT_EQ(messages.size(), 1);
}

TEST_F(HotplugTest, AfterAFirmwareUpdateTheProgrammerComesBackAndOpensWithItsNewVersion) {
    vprog::Options options = named("updating");
    options.modeLetter = '[';  // its boot loader runs: the application can be replaced
    vprog::VirtualProgrammer programmer(options);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return deviceBox()->count() == 1 && !window->searchTimer().isActive(); }));
    openRow(0);
    ASSERT_TRUE(log().contains("Connection for update mcu code")) << log().toStdString();
    ASSERT_TRUE(button("pushButton_UpdateAPP")->isEnabled());

    QByteArray image(8192, '\x5A');
    image[0x1000] = 0x21;  // version 0x210304
    image[0x1001] = 0x03;
    image[0x1002] = 0x04;
    const char mcu[4] = {0x19, 0x71, 0x03, 0x10};
    image.replace(0x1004, 4, mcu, 4);
    ASSERT_TRUE(QDir(work.path()).mkdir("Firmware"));
    const QString file = work.filePath("Firmware/new.app");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(image);
    out.close();
    QString offeredDirectory;
    window->setFileDialogHook([&](const QString&, const QString& directory, const QString&) {
        offeredDirectory = directory;
        return file;
    });
    button("pushButton_UpdateAPP")->click();
    EXPECT_EQ(offeredDirectory, QDir::currentPath() + "/Firmware");
    ASSERT_TRUE(log().contains("Update MCU is OK!!!!!!")) << log().toStdString();
    EXPECT_FALSE(button("pushButton_UpdateAPP")->isEnabled());

    // The programmer restarts: it drops off the bus and comes back about a second later.
    ASSERT_TRUE(qvtest::pumpUntil([&] { return !window->usbDevice().isOpen(); }));
    EXPECT_FALSE(window->transferWorker().isRunning());
    // (The update cleared the log when it started, so these lines belong to the restart.)
    ASSERT_TRUE(qvtest::pumpUntil([&] { return log().contains("device remove:") && log().contains("device insert:") &&
                                       deviceBox()->count() == 1 &&
                                       !window->searchTimer().isActive(); },
                          5000))
        << log().toStdString();
    window->findChild<QTextEdit*>("textEdit")->clear();
    openRow(0);
    EXPECT_TRUE(log().contains("Connection for normal work")) << log().toStdString();
    EXPECT_TRUE(log().contains("App_Version:  0x20210304")) << log().toStdString();
    EXPECT_TRUE(groupEnabled());
}

}  // namespace
