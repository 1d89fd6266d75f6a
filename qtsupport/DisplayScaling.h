#pragma once

namespace qv {

// Makes every window of the program scale as a whole with the display: at 150 % a window is half
// as large again in device pixels and is laid out exactly as at 100 % (96 DPI), with the same
// fonts in the same places. Fractional factors (125 %, 175 %) are used as they are, not rounded.
// Must run before the QApplication is made; every program that shows MainWindow calls it first.
void enableDisplayScaling();

}  // namespace qv
