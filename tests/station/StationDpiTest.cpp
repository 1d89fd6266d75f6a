// The station window on one display setting: this program is run once for each DPI and scale
// factor (tests/station/CMakeLists.txt), with the options of tests/support/DisplayRun.h.
#include "StationFixture.h"

#include "support/DisplayRun.h"

#include <QApplication>
#include <QFontInfo>

using namespace stationtest;

namespace {

qvtest::DisplayRun display;

// Two tiles, READY, then one PASS and one FAIL with its reason: every text the window shows in a
// round, read whole.
TEST_F(Station, theWindowGrowsWithTheDisplayAndEveryTextFitsThroughARound) {
    SCOPED_TRACE(display.describe().toStdString());
    auto window = openWindow();
    ASSERT_TRUE(window);
    if (!display.expectedFamily.isEmpty()) {
        ASSERT_EQ(QFontInfo(window->font()).family(), display.expectedFamily) << "the run's fonts are not the ones it is for";
    }
    window->show();
    plug("display-pass", 1);
    failNextCheck(plug("display-fail", 2));
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 2; }));
    QApplication::processEvents();

    EXPECT_EQ(window->logicalDpiX(), 96);
    EXPECT_NEAR(window->devicePixelRatioF(), display.factor(), 1e-6);
    QStringList cut = qvtest::cutTexts(*window);
    EXPECT_TRUE(cut.isEmpty()) << "ready:\n  " << qPrintable(cut.join(QStringLiteral("\n  ")));

    button(*window, QStringLiteral("Start all"))->click();
    ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 2); }));
    QApplication::processEvents();
    ASSERT_EQ(window->tile(path(*programmers[1]))->stateText(), QStringLiteral("FAIL"));
    cut = qvtest::cutTexts(*window);
    EXPECT_TRUE(cut.isEmpty()) << "after the round:\n  " << qPrintable(cut.join(QStringLiteral("\n  ")));
}

}  // namespace

int main(int argc, char** argv) {
    return qvtest::runTestsOnDisplay(argc, argv, display);
}
