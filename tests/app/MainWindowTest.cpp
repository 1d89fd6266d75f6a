#include "app/MainWindow.h"
#include "protocol/ProgrammerLink.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QValidator>
#include <QVBoxLayout>

#include <memory>

#include <gtest/gtest.h>

namespace {

// config.ini's bytes on this platform: "\r\n" line ends on Windows.
QByteArray platformLines(QByteArray text) {
#ifdef _WIN32
    text.replace("\n", "\r\n");
#endif
    return text;
}

// Each test runs in a fresh current directory: config.ini and Flash.ini are looked up there.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(workDir.path()));
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previousDirectory);
    }
    void writeConfig(const QByteArray& content) {
        QFile f(workDir.filePath("config.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QByteArray configOnDisk() {
        QFile f(workDir.filePath("config.ini"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    MainWindow& open() {
        window = std::make_unique<MainWindow>();
        window->setMessageHook([this](const QString& title, const QString& text) {
            messages << title + QStringLiteral("|") + text;
        });
        return *window;
    }
    template <typename T>
    T* child(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QStringList logLines() {
        return child<QTextEdit>("textEdit")->toPlainText().split(QLatin1Char('\n'));
    }

    QTemporaryDir workDir;
    QString previousDirectory;
    std::unique_ptr<MainWindow> window;
    QStringList messages;
};

TEST_F(WindowTest, WindowHasItsTitleFlagsSizeFontAndCursor) {
    MainWindow& w = open();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("QV310_SWD_ISP_V1.2C"));
    EXPECT_EQ(w.objectName(), QStringLiteral("MainWindow"));
    EXPECT_STREQ(w.metaObject()->className(), "MainWindow");
    const Qt::WindowFlags flags = w.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.minimumSize(), QSize(960, 660));
    EXPECT_EQ(w.size(), QSize(960, 660));
    EXPECT_EQ(w.font().family(), QStringLiteral("微软雅黑"));
    EXPECT_EQ(w.font().pointSize(), 8);
    EXPECT_EQ(w.font().weight(), 75);
    EXPECT_EQ(w.cursor().shape(), Qt::PointingHandCursor);

    auto* message = child<QGroupBox>("groupBox");
    EXPECT_EQ(message->title(), QStringLiteral("Message"));
    EXPECT_EQ(message->minimumSize(), QSize(700, 600));
    EXPECT_EQ(message->font().family(), QStringLiteral("Arial"));
    auto* control = child<QGroupBox>("groupBox_2");
    EXPECT_EQ(control->title(), QStringLiteral("Control"));
    EXPECT_EQ(control->minimumWidth(), 250);
    EXPECT_EQ(child<QWidget>("widget")->minimumHeight(), 150);
    EXPECT_EQ(child<QTextEdit>("textEdit")->font().pointSize(), 10);
    auto* progress = child<QProgressBar>("progressBar");
    EXPECT_EQ(progress->minimum(), 0);
    EXPECT_EQ(progress->maximum(), 100);
    EXPECT_EQ(progress->value(), 0);
}

TEST_F(WindowTest, ButtonsHaveTheirTextsOrderAndStartingState) {
    open();
    struct Row {
        const char* name;
        const char* text;
        bool enabled;
    } rows[] = {
        {"pushButton_OpenDevice", "Open programmer", true},
        {"pushButton_wrBootCode", "Program 310 Boot", false},
        {"pushButton_VerifyBoot", "Verify Boot", false},
        {"pushButton_UpdateTarget", "Program 310 McuCode", false},
        {"pushButton_VerifyTarget", "Verify McuCode", false},
        {"pushButton_UpdateUI", "Update UI", false},
        {"pushButton_CheckUI", "Check UI", false},
        {"pushButton_UpdateAPP", "Programmer Firmware update", false},
        {"pushButton_UpdateBoot", "Programmer Boot update", false},
        {"pushButton_Exit", "Exit", true},
        {"pushButton_InputBoot", "Input Boot", true},
        {"pushButton_InputMCUCode", "Input MCU Code", true},
        {"pushButton_UI_bin", "Input UI bin", true},
    };
    for (const Row& row : rows) {
        auto* button = child<QPushButton>(row.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), QString::fromUtf8(row.text)) << row.name;
        EXPECT_EQ(button->isEnabled(), row.enabled) << row.name;
    }
    EXPECT_EQ(child<QPushButton>("pushButton_InputMCUCode")->minimumWidth(), 120);

    // The ten control buttons stand in one vertical box with spacing 3, top to bottom.
    auto* box = child<QPushButton>("pushButton_OpenDevice")->parentWidget()->findChild<QVBoxLayout*>(
        QStringLiteral("verticalLayout_buttons"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->spacing(), 3);
    ASSERT_EQ(box->count(), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(box->itemAt(i)->widget()->objectName(), QString::fromLatin1(rows[i].name)) << i;
    }
}

TEST_F(WindowTest, FieldsCombosAndLabelsStartAsDescribed) {
    open();
    EXPECT_EQ(child<QLineEdit>("lineEdit_McuCodeAddr")->text(), QStringLiteral("0xA000"));
    EXPECT_EQ(child<QLineEdit>("lineEdit_WrSum")->text(), QStringLiteral("100000"));
    EXPECT_TRUE(child<QLineEdit>("lineEdit_MCU")->isReadOnly());
    EXPECT_FALSE(child<QLineEdit>("lineEdit_Boot")->isReadOnly());
    EXPECT_FALSE(child<QLineEdit>("lineEdit_Flash")->isReadOnly());
    for (const char* name : {"lineEdit_FlashID", "lineEdit_FlashSize", "lineEdit_FlashName", "lineEdit_TgFlashID",
                             "lineEdit_TgFlashSize", "lineEdit_TgFlashName"}) {
        EXPECT_TRUE(child<QLineEdit>(name)->isReadOnly()) << name;
        EXPECT_TRUE(child<QLineEdit>(name)->text().isEmpty()) << name;
    }
    EXPECT_EQ(child<QLabel>("label_BootCRC")->text(), QStringLiteral("Boot code,CRC = 0x0  Len: 0"));
    EXPECT_EQ(child<QLabel>("label_MCUCRC")->text(), QStringLiteral("Mcu code,CRC = 0x0  Len: 0"));
    EXPECT_EQ(child<QLabel>("label_UICRC")->text(), QStringLiteral("UI File,CRC = 0x0  Len: 0"));
    EXPECT_EQ(child<QLabel>("label_7")->text(), QStringLiteral("Board ID: "));
    EXPECT_EQ(child<QLabel>("label_8")->text(), QStringLiteral("McuCode Addr :  "));
    EXPECT_EQ(child<QLabel>("label_2")->text(), QStringLiteral("Program Number:"));
    EXPECT_EQ(child<QLabel>("label_6")->text(), QStringLiteral("Program Speed:"));
    EXPECT_EQ(child<QLabel>("label")->text(), QStringLiteral("Target Name: "));
    EXPECT_EQ(child<QLabel>("label_3")->text(),
              QStringLiteral("<html><head/><body><p>Board Flash ID: </p></body></html>"));
    EXPECT_EQ(child<QLabel>("label_10")->text(),
              QStringLiteral("<html><head/><body><p>Target Flash Name: </p></body></html>"));
    EXPECT_EQ(child<QCheckBox>("checkBox_PwrOFF")->text(),
              QStringLiteral("Stop power supply to \nthe targe PCB after done."));
    EXPECT_FALSE(child<QCheckBox>("checkBox_PwrOFF")->isChecked());

    auto rowsOf = [](QComboBox* box) {
        QStringList rows;
        for (int i = 0; i < box->count(); ++i) rows << box->itemText(i);
        return rows;
    };
    auto* mcuType = child<QComboBox>("comboBox_MCUType");
    EXPECT_EQ(rowsOf(mcuType), (QStringList{"QV0100", "QV48M07", "QV270x", "QV512", "QV390", "QV310"}));
    EXPECT_EQ(mcuType->currentIndex(), 0);
    auto* speed = child<QComboBox>("comboBox_SWDSPEED");
    EXPECT_EQ(rowsOf(speed), (QStringList{"High", "middle", "Low"}));
    EXPECT_EQ(speed->currentIndex(), 0);
    EXPECT_EQ(child<QComboBox>("comboBox_Device")->count(), 0);
}

TEST_F(WindowTest, ProgramNumberTakesOnlyNumbersOfTwoDigitsOrMoreWithoutLeadingZero) {
    open();
    const QValidator* validator = child<QLineEdit>("lineEdit_WrSum")->validator();
    ASSERT_NE(validator, nullptr);
    struct Case {
        const char* text;
        QValidator::State state;
    } cases[] = {
        {"100000", QValidator::Acceptable}, {"10", QValidator::Acceptable},
        {"1", QValidator::Intermediate},    {"0", QValidator::Invalid},
        {"01", QValidator::Invalid},        {"12a", QValidator::Invalid},
        {"-5", QValidator::Invalid},
    };
    for (const Case& c : cases) {
        QString text = QString::fromLatin1(c.text);
        int pos = 0;
        EXPECT_EQ(validator->validate(text, pos), c.state) << c.text;
    }
}

TEST_F(WindowTest, WithoutConfigFileDefaultsStayAndTheExitWritesTheDefaultFile) {
    open();
    EXPECT_TRUE(logLines().contains(QStringLiteral("Open config.ini fail")));
    EXPECT_TRUE(child<QLineEdit>("lineEdit_MCU")->text().isEmpty());
    EXPECT_TRUE(child<QLineEdit>("lineEdit_Flash")->text().isEmpty());
    EXPECT_TRUE(child<QLineEdit>("lineEdit_Boot")->text().isEmpty());
    window.reset();
    EXPECT_EQ(configOnDisk(), platformLines("UPBOOT:0\nNFLASH:0\n./\n./\n\nWAITT:0\nPWROFF:0\n"));
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(WindowTest, ConfigFileFillsPathsCheckBoxAndOneRunUnlock) {
    writeConfig("xxUPBOOT:12\nNFLASH:0\n  /fw/app.bin  \n/ui/a.bin\n/boot/b.bin\nWAITT:0\nPWROFF:1\n");
    MainWindow& w = open();
    EXPECT_EQ(w.upbootEnabled, true);
    EXPECT_EQ(child<QLineEdit>("lineEdit_MCU")->text(), QStringLiteral("  /fw/app.bin  "));
    EXPECT_EQ(child<QLineEdit>("lineEdit_Flash")->text(), QStringLiteral("/ui/a.bin"));
    EXPECT_EQ(child<QLineEdit>("lineEdit_Boot")->text(), QStringLiteral("/boot/b.bin"));
    EXPECT_TRUE(child<QCheckBox>("checkBox_PwrOFF")->isChecked());
    EXPECT_FALSE(logLines().contains(QStringLiteral("Open config.ini fail")));
    window.reset();
    // The unlock holds for one run; the paths are saved trimmed.
    EXPECT_EQ(configOnDisk(),
              platformLines("UPBOOT:0\nNFLASH:0\n/fw/app.bin\n/ui/a.bin\n/boot/b.bin\nWAITT:0\nPWROFF:1\n"));
}

TEST_F(WindowTest, LowerCaseUnlockKeyUnlocksNothing) {
    writeConfig("upboot:1\n");
    EXPECT_EQ(open().upbootEnabled, false);
}

TEST_F(WindowTest, ASaveThatCannotOpenTheFileShowsTheMessage) {
    open();
    ASSERT_TRUE(QDir(workDir.path()).mkdir("config.ini"));  // nothing can be written in its place
    window.reset();
    EXPECT_EQ(messages, QStringList{QStringLiteral("Message|打开文件失败")});
}

TEST_F(WindowTest, ExitRequestsStopAndClosesTheWindow) {
    MainWindow& w = open();
    w.show();
    ASSERT_TRUE(w.isVisible());
    child<QPushButton>("pushButton_Exit")->click();
    EXPECT_EQ(w.exitRequested, true);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(WindowTest, ClosingByTheTitleBarDoesNotRequestExit) {
    MainWindow& w = open();
    w.show();
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.exitRequested, false);
}

}  // namespace
