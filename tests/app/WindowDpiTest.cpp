// The window on one display setting: this program is run once for each DPI and scale factor
// (tests/app/CMakeLists.txt), with the options of tests/support/DisplayRun.h:
//
//   qv_app_window_dpi_tests --font-dpi=144 [--scale=1.25] [--fontconfig=FILE --expect-family=NAME]
//       [gtest options]
//   qv_app_window_dpi_tests -platform windows --display-dpi=144
#include "app/MainWindow.h"
#include "support/DisplayRun.h"

#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QGroupBox>
#include <QTemporaryDir>

#include <memory>

#include <gtest/gtest.h>

namespace {

qvtest::DisplayRun display;

class WindowDpiTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(workDir.path()));  // config.ini is written there at exit
        window = std::make_unique<MainWindow>();
        window->setMessageHook([](const QString&, const QString&) {});
        window->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(previousDirectory);
    }

    QTemporaryDir workDir;
    QString previousDirectory;
    std::unique_ptr<MainWindow> window;
};

TEST_F(WindowDpiTest, TheWindowGrowsWithTheDisplayAndKeepsItsLayout) {
    SCOPED_TRACE(display.describe().toStdString());
    // Laid out as at 96 DPI, in the same logical pixels...
    EXPECT_EQ(window->logicalDpiX(), 96);
    EXPECT_EQ(window->size(), QSize(960, 660));
    // ...and drawn that much larger, fractional factors included.
    EXPECT_NEAR(window->devicePixelRatioF(), display.factor(), 1e-6);
}

TEST_F(WindowDpiTest, EveryTextFitsItsWidget) {
    const QString family = QFontInfo(window->findChild<QGroupBox*>(QStringLiteral("groupBox_2"))->font()).family();
    if (!display.expectedFamily.isEmpty()) {
        ASSERT_EQ(family, display.expectedFamily) << "the run's fonts are not the ones it is for";
    }
    const QStringList cut = qvtest::cutTexts(*window);
    EXPECT_TRUE(cut.isEmpty()) << qPrintable(display.describe()) << ", panels in "
                               << qPrintable(family) << ":\n  " << qPrintable(cut.join(QStringLiteral("\n  ")));
}

}  // namespace

int main(int argc, char** argv) {
    return qvtest::runTestsOnDisplay(argc, argv, display);
}
