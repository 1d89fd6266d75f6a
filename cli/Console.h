#pragma once

#include <QByteArray>

namespace qv::cli {

// Standard output and standard error as qv310 writes them: UTF-8 text, whatever the console's
// code page. A Windows console is written in UTF-16 (WriteConsoleW), so its code page never
// garbles a log line or a path; a pipe or a file gets the UTF-8 bytes as they are, with "\n" line
// ends on every system.
enum class Stream { Out, Err };

// Writes the text whole and at once (nothing stays buffered). False when it could not be written
// whole (a closed pipe, a full disk); errno then says why.
bool writeText(Stream stream, const QByteArray& utf8);

// True when the stream is a terminal that shows colour escape sequences (a POSIX terminal; on
// Windows only a console that already has VT processing on).
bool takesColour(Stream stream);

// How progress is shown on standard error.
enum class ProgressStyle {
    None,     // not a terminal or console (a pipe, a file): only the log lines
    Redrawn,  // bars redrawn in place with VT sequences
    Lines,    // a console that does not take VT sequences: a plain line every 10 %
};

// The console set up for one run, and left as it was found when the run ends: on Windows, VT
// processing is turned on for standard error when the console has it.
class ConsoleSetup {
  public:
    ConsoleSetup();
    ~ConsoleSetup();
    ConsoleSetup(const ConsoleSetup&) = delete;
    ConsoleSetup& operator=(const ConsoleSetup&) = delete;

    ProgressStyle progressStyle() const { return style_; }

  private:
    ProgressStyle style_ = ProgressStyle::None;
    unsigned long restoreMode_ = 0;  // Windows: the console mode of standard error to restore
    bool restore_ = false;
};

}  // namespace qv::cli
