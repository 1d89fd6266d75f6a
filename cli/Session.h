#pragma once

#include "CommandLine.h"
#include "Events.h"
#include "ImageCheck.h"

#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <optional>

namespace qv::cli {

class RecordStore;

// What one programmer is to do: the target init and its report (info), or steps whose files
// have all been read and judged already.
struct SessionPlan {
    bool info = false;
    QVector<Step> steps;
    QVector<CheckedImage> images;  // one per step, same order
    int speed = 0;
    bool powerOff = false;
    QString flashIni;
    bool allowBootUpdate = false;
    bool skipUnchanged = false;
};

// The exit code of one operation, from what it reported: a message box (a refused file, or a
// programmer that would not open), the operation's own result (none when it stopped before the
// board), and the state of the link after it (the device closed, or the last request unanswered).
int classifyOperation(std::optional<int> result, const QStringList& messages, bool deviceOpen,
                      bool lastRequestAnswered);

// One programmer and everything that talks to it, owned together on a thread of its own: the
// device, the transfer worker, the link, the console host and the operations. Nothing is shared
// with another session but the event sink and the record store, so several run at once.
class Session : public QThread {
    Q_OBJECT
  public:
    Session(const QString& devicePath, const SessionPlan& plan, EventSink& sink, RecordStore* records);

    // Valid after the thread has finished.
    int exitCode() const {
        (void)resultsPublished_.load(std::memory_order_acquire);
        return exitCode_;
    }
    const BoardSummary& summary() const {
        (void)resultsPublished_.load(std::memory_order_acquire);
        return summary_;
    }

  protected:
    void run() override;

  private:
    const QString devicePath_;
    const SessionPlan plan_;
    EventSink& sink_;
    RecordStore* records_;
    int exitCode_ = 0;
    BoardSummary summary_;
    // Raised (release) once the results are final and read (acquire) by the accessors, so that the
    // results are ordered before the joining thread reads them also for tools that cannot see
    // inside Qt's thread join.
    std::atomic<bool> resultsPublished_{false};
};

}  // namespace qv::cli
