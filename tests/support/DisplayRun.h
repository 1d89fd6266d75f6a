#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace qvtest {

// One display a window test program runs on. Qt fixes the DPI and the scale factor when the
// application object is made, so such a program runs once per display (tests/CMakeLists.txt,
// qv_add_display_runs), with these options before the gtest ones:
//   --font-dpi=N      the display's DPI on the offscreen platform (QT_FONT_DPI: what Windows'
//                     display scaling or X's Xft.dpi gives a program); 96 when not given
//   --display-dpi=N   on a real platform: the DPI the display is set to, which the platform
//                     reports itself (scripts/check-windows-zip.sh runs the window so under Wine)
//   --scale=F         a further factor on top (QT_SCALE_FACTOR)
//   --fontconfig=FILE a fontconfig file that leaves the program only some of the machine's fonts
//   --expect-family=NAME the family those fonts must give the window
struct DisplayRun {
    int fontDpi = 96;
    double extraScale = 1.0;
    QString expectedFamily;

    double factor() const { return fontDpi / 96.0 * extraScale; }
    QString describe() const;
};

// The main() of a window test program: takes the options above into display, sets the
// environment for them, turns on the programs' display scaling, makes the QApplication and runs
// the tests.
int runTestsOnDisplay(int argc, char** argv, DisplayRun& display);

// Sends the window's pending layout requests until they have reached its top: what the event
// loop does in the next few rounds, done now.
void settleLayouts(QWidget& window);

// Every visible label, push button and check box under window with a text that does not fit the room
// its style gives it (font metrics; word-wrapped labels measured wrapped), one line each with the
// widget's name, the text and both sizes. The window's layouts are settled first.
QStringList cutTexts(QWidget& window);

}  // namespace qvtest
