#pragma once

#include "engine/Events.h"
#include "engine/Steps.h"

#include <QFrame>
#include <QStringList>

#include <optional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace qv::station {

// One attached programmer at the station: its state in one large word, the progress of its run,
// the serial and tag of its last board and, after a failure, the reason in one line and the
// failing operation's last log lines on demand.
class ProgrammerTile : public QFrame {
    Q_OBJECT
  public:
    enum class State { Ready, Running, Pass, Fail };

    ProgrammerTile(const QString& device, int steps, QWidget* parent = nullptr);

    const QString& device() const { return device_; }
    State state() const { return state_; }
    // Not running: its last verdict (if any) stays shown until the next board starts.
    bool idle() const { return state_ != State::Running; }
    QPushButton* startButton() const { return start_; }
    // The device path, and the board id once a run has reported it.
    QString title() const { return accessibleName(); }

    // The run's events, in the order the run reports them.
    void boardStarted(const QString& tag);
    // The round the board was started with was refused before anything was sent (no number
    // could be drawn): the tile is ready again.
    void boardNotStarted();
    void operationStarted(const QString& operation);
    void logLine(const QString& line);
    void progress(int percent);
    void operationEnded(const engine::OperationResult& result);
    void boardEnded(const engine::BoardSummary& summary, const QString& tag);

    // The state word as shown.
    QString stateText() const;
    QString reason() const;
    QString lastBoard() const;
    QString logText() const;

  signals:
    void startRequested(const QString& device);

  private:
    void setState(State state);
    void setBoardId(uint32_t id);
    void showLog(bool shown);

    void setTitle(const QString& title);

    const QString device_;
    const int steps_;
    State state_ = State::Ready;
    int stepsDone_ = 0;
    QStringList operationLog_;  // lines of the operation running or last run
    QLabel* title_;
    QLabel* stateLabel_;
    QProgressBar* bar_;
    QLabel* board_;
    QLabel* reason_;
    QPushButton* start_;
    QPushButton* logButton_;
    QPlainTextEdit* logView_;
};

// Sets a label's text and its accessible name to the same words.
void setLabelText(QLabel* label, const QString& text);

// A path as a label shows it: the same characters, with a zero-width space after each separator
// so that a long path wraps there instead of widening its tile.
QString wrappablePath(const QString& path);

}  // namespace qv::station
