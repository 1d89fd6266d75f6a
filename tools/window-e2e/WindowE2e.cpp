// qv310-window-e2e: the real window, offscreen, against a virtual programmer that runs as a
// program of its own (qv310-vprog). The window starts first ("window ready"); when the
// programmer is plugged in, the window must notice it and list it; then it opens it, programs
// MCU code and verifies it, writes a UI image and checks it, each by clicking the window's own
// button, and asks for the unplug ("unplug the programmer now"), which the window must notice
// as well. It fails unless every step logs its success line and no message box came up. The
// memories themselves are compared by scripts/check-window-e2e.sh with the dumps the virtual
// programmer saves when it stops.
//
//   qv310-window-e2e --device PATH --mcu FILE --ui FILE
//
// Run it in a folder holding the Flash.ini the window reads. Exit status 0 when every step
// succeeded, 1 when one failed, 2 for a bad command line.
#include "qtsupport/DisplayScaling.h"
#include "app/MainWindow.h"
#include "app/OperationHost.h"
#include "usb/UsbDevice.h"
#include "tests/support/PumpUntil.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTextEdit>

#include <cstdio>
#include <string>

namespace {

class Driver {
  public:
    Driver() {
        window_.setMessageHook([this](const QString& title, const QString& text) {
            std::printf("message box \"%s\": %s\n", qPrintable(title), qPrintable(text));
            messages_ = true;
        });
        window_.show();
    }

    QString log() const { return window_.findChild<QTextEdit*>("textEdit")->toPlainText(); }

    // Waits for the window's own line about a programmer arriving or leaving.
    bool waitForLogLine(const QString& line, const char* what) {
        const bool seen = qvtest::pumpUntil([&] { return log().contains(line); }, 20000);
        std::printf("%s: %s (\"%s\")\n", seen ? "ok" : "FAILED", what, qPrintable(line));
        return seen;
    }

    // The open programmer went away: the window must close it and stop listing it.
    bool waitForRemoval(const QString& path) {
        if (!waitForLogLine(QStringLiteral("device remove:") + path.toUpper(),
                            "the window notices the unplug"))
            return false;
        const bool gone = qvtest::pumpUntil(
            [&] { return !window_.usbDevice().isOpen() && !window_.listedDevicePaths().contains(path); },
            5000);
        std::printf("%s: the window closed the programmer and no longer lists it\n", gone ? "ok" : "FAILED");
        return gone;
    }

    // Waits until the window lists the programmer (its own device search, as on the line), then
    // opens it with "Open Device".
    bool open(const QString& path) {
        if (!qvtest::pumpUntil([&] { return window_.listedDevicePaths().contains(path); }, 15000)) {
            std::printf("FAILED: the window never listed %s (it listed: %s)\n", qPrintable(path),
                        qPrintable(window_.listedDevicePaths().join(", ")));
            return false;
        }
        std::printf("ok: the window lists %s\n", qPrintable(path));
        window_.findChild<QComboBox*>("comboBox_Device")
            ->setCurrentIndex(window_.listedDevicePaths().indexOf(path));
        return click("pushButton_OpenDevice", "Connect the programmer successful");
    }

    void setText(qv::TextField field, const QString& text) { window_.setText(field, text); }

    // Clicks the button and looks for okLine in what the click added to the log (the whole log
    // when the operation cleared it first).
    bool click(const char* button, const char* okLine) {
        const QString before = log();
        messages_ = false;
        QPushButton* target = window_.findChild<QPushButton*>(button);
        if (!target || !target->isEnabled()) {
            std::printf("FAILED: %s is %s\n", button, target ? "disabled" : "missing");
            return false;
        }
        target->click();
        // An operation ends with the buttons enabled again.
        qvtest::pumpUntil([&] { return target->isEnabled(); }, 120000);
        const QString after = log();
        const QString added = after.startsWith(before) ? after.mid(before.size()) : after;
        const bool ok = !messages_ && added.contains(QLatin1String(okLine));
        std::printf("%s: %s logs \"%s\"\n", ok ? "ok" : "FAILED", button, okLine);
        if (!ok)
            std::printf("--- log\n%s\n---\n", qPrintable(after));
        return ok;
    }

  private:
    MainWindow window_;
    bool messages_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    // The offscreen platform unless the command line names another (-platform).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qv::enableDisplayScaling();
    QApplication app(argc, argv);

    // QApplication has taken its own options (-platform ...) out of argv.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QString device, mcu, ui;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--device")) {
            device = args[i + 1];
        } else if (args[i] == QLatin1String("--mcu")) {
            mcu = args[i + 1];
        } else if (args[i] == QLatin1String("--ui")) {
            ui = args[i + 1];
        } else {
            device.clear();
            break;
        }
    }
    if (device.isEmpty() || mcu.isEmpty() || ui.isEmpty() || args.size() % 2 == 0) {
        std::fprintf(stderr, "usage: qv310-window-e2e --device PATH --mcu FILE --ui FILE\n");
        return 2;
    }

    bool ok = false;
    {
        Driver driver;
        std::printf("window ready\n");
        std::fflush(stdout);
        ok = driver.waitForLogLine(QStringLiteral("device insert:") + device.toUpper(),
                                   "the window notices the programmer plugged in");
        ok = driver.open(device) && ok;
        if (ok) {
            driver.setText(qv::TextField::McuPath, mcu);
            ok = driver.click("pushButton_UpdateTarget", "Program target is OK!!!!!!") &&
                 driver.click("pushButton_VerifyTarget", "Check EFlash OK!");
        }
        if (ok) {
            driver.setText(qv::TextField::UiPath, ui);
            ok = driver.click("pushButton_UpdateUI", "Update flash is OK!!!!!!") &&
                 driver.click("pushButton_CheckUI", "Check EFlash OK!");
        }
        std::printf("unplug the programmer now\n");
        std::fflush(stdout);
        ok = driver.waitForRemoval(device) && ok;
    }
    std::printf("%s\n", ok ? "window end-to-end: passed" : "window end-to-end: FAILED");
    std::fflush(stdout);
    return ok ? 0 : 1;
}
