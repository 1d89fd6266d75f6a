#include "app/Launcher.h"
#include "app/MainWindow.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextEdit>

#include <memory>

#include <gtest/gtest.h>

namespace {

// The window reads and writes config.ini in the current directory, so each test starts from a
// directory of its own and ends the window before going back.
class LauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.isValid());
        previousDirectory = QDir::currentPath();
        startDirectory = scratch.filePath(QStringLiteral("start"));
        ASSERT_TRUE(QDir().mkpath(startDirectory));
        ASSERT_TRUE(QDir::setCurrent(startDirectory));
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previousDirectory);
    }
    static bool writeFile(const QString& path, const QByteArray& content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    static QString logOf(MainWindow& w) {
        return w.findChild<QTextEdit*>(QStringLiteral("textEdit"))->toPlainText();
    }

    QTemporaryDir scratch;
    QString previousDirectory;
    QString startDirectory;
    std::unique_ptr<MainWindow> window;
};

TEST_F(LauncherTest, WindowIsBuiltInTheWorkFolderAndReadsItsConfigThere) {
    const QByteArray config =
        "UPBOOT:0\nNFLASH:0\n/fw/mcu.bin\n/fw/ui.bin\n/fw/boot.bin\nWAITT:0\nPWROFF:1\n";
    const QString folder = scratch.filePath(QStringLiteral("data/qv310-isp"));
    const QString shipped = scratch.filePath(QStringLiteral("Flash.ini"));
    ASSERT_TRUE(writeFile(shipped, "0x1C4016,512,4096,CHIP16M,\n"));
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/config.ini"), config));

    QString problem;
    window = qv::openWindowInWorkFolder(folder, shipped, problem);
    ASSERT_NE(window, nullptr) << problem.toStdString();
    EXPECT_EQ(QDir::currentPath(), QDir(folder).canonicalPath());
    EXPECT_EQ(window->findChild<QLineEdit*>(QStringLiteral("lineEdit_MCU"))->text(),
              QStringLiteral("/fw/mcu.bin"));

    // With the catalogue in place the log is that of the window started plainly in a folder with
    // the same config.ini: nothing added, nothing missing.
    const QString plainFolder = scratch.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(QDir().mkpath(plainFolder));
    ASSERT_TRUE(writeFile(plainFolder + QStringLiteral("/config.ini"), config));
    ASSERT_TRUE(QDir::setCurrent(plainFolder));
    auto plain = std::make_unique<MainWindow>();
    const QString plainLog = logOf(*plain);
    plain.reset();
    ASSERT_TRUE(QDir::setCurrent(folder));
    EXPECT_EQ(logOf(*window), plainLog);
}

TEST_F(LauncherTest, MissingDefaultCatalogueIsOneLineInTheWindowsLog) {
    const QString folder = scratch.filePath(QStringLiteral("qv310-isp"));
    const QString shipped = scratch.filePath(QStringLiteral("nowhere/Flash.ini"));

    QString problem;
    window = qv::openWindowInWorkFolder(folder, shipped, problem);
    ASSERT_NE(window, nullptr) << problem.toStdString();

    const QStringList lines = logOf(*window).split(QLatin1Char('\n'));
    EXPECT_EQ(lines.filter(shipped).size(), 1) << logOf(*window).toStdString();
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/Flash.ini")));
}

TEST_F(LauncherTest, UnusableFolderGivesNoWindowAndLeavesTheCurrentDirectory) {
    const QString blocker = scratch.filePath(QStringLiteral("file"));
    ASSERT_TRUE(writeFile(blocker, "not a folder"));
    const QString folder = blocker + QStringLiteral("/qv310-isp");

    QString problem;
    window = qv::openWindowInWorkFolder(folder, scratch.filePath(QStringLiteral("Flash.ini")), problem);
    EXPECT_EQ(window, nullptr);
    EXPECT_TRUE(problem.contains(folder)) << problem.toStdString();
    EXPECT_EQ(QDir::currentPath(), QDir(startDirectory).canonicalPath());
    EXPECT_FALSE(QFile::exists(startDirectory + QStringLiteral("/config.ini")));
}

}  // namespace
