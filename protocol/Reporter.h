#pragma once

#include <QString>

#include <cstdint>

namespace qv {

struct Connection;

// What the programmer has just told about itself or its target, as soon as the link knows it.
enum class Learned {
    Connection,   // the handshake's mode, versions, MCU and board id
    BoardFlash,   // the programmer's own SPI flash, looked up in the catalogue
    TargetType,   // the target type an SWD init reported
    TargetFlash,  // the target's SPI flash, looked up in the catalogue
};

// Where an operation reports while it runs, and how it is asked to stop. The engineer's window
// shows the lines in its log pane and its progress bar; the console and the station turn them
// into events. Every call is made on the thread that runs the operation.
class Reporter {
  public:
    virtual ~Reporter() = default;

    // One log line, as it is (an empty line included).
    virtual void appendLog(const QString& line) = 0;
    // The operation starts its own log afresh.
    virtual void clearLog() = 0;
    // Progress in percent, 0..100.
    virtual void setProgress(int value) = 0;
    // Called between requests and blocks while the operation waits: the window processes its
    // events here (other slots may run), the other front ends have nothing to do.
    virtual void processEvents() = 0;
    // The link's connection value has just changed in the part named.
    virtual void learned(Learned what, const Connection& connection) {
        (void)what;
        (void)connection;
    }
    // The operation refused what it was given, before sending anything (the window shows the text
    // in a box; the other front ends report it as a refused file).
    virtual void refused(const QString& text) = 0;
    // The stop request: the writes of a difference file end at their next piece when it is set.
    virtual bool stopRequested() const { return false; }
};

// Appends "Timer:h:m:s" for the current local time.
void logTimestamp(Reporter& report);

}  // namespace qv
