#include "qtsupport/DisplayScaling.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace qv {

void enableDisplayScaling() {
    // Without this Qt leaves the window at its pixel size while the text grows with the display's
    // DPI, and a window laid out for 96 DPI loses its texts at 120 DPI and above.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // By default Qt 5 rounds the factor to a whole number: at 125 % it stays 1 and the text
    // outgrows the window again; at 150 % it becomes 2 and the window is larger than asked for.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

}  // namespace qv
