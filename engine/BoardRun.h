#pragma once

#include "Events.h"
#include "ImageCheck.h"
#include "Steps.h"

#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

namespace qv::engine {

class ProgrammerSession;
class RecordStore;
struct OperationOutcome;

// What one programmer is to do: the target init and its report (info), or steps whose files
// have all been read and judged already.
struct BoardPlan {
    bool info = false;
    QVector<Step> steps;
    QVector<CheckedImage> images;  // one per step, same order
    int speed = 0;
    bool powerOff = false;
    // The flash catalogue's text the lookups read and where it came from (for the report); both
    // empty when none was found.
    QByteArray flashCatalogue;
    QString flashCatalogueSource;
    bool allowBootUpdate = false;
    bool skipUnchanged = false;
    // How long a programmer that restarts after a firmware update has to come back before the
    // next step.
    std::chrono::milliseconds returnTimeout{15000};
    // The free label of the run, and the SHA-256 of its job file (empty for a single subcommand).
    QString tag;
    QString jobSha256;
    // Shared by the boards started together (one qv310 run, one station round): boards of one
    // round under one tag are boards of their own, not a retest.
    QString roundUuid;
    // This board's numbers, one for each step that takes a serial (the images of those steps are
    // this board's copies with the number written in). The run reports what became of each.
    struct Serial {
        int step = -1;
        SerialKind kind = SerialKind::Number;
        uint64_t value = 0;
    };
    QVector<Serial> serials;
};

// The exit code of one operation, from what it came to: a refused file or a programmer that
// would not open (its boxes), the operation's own result (none when it stopped before the
// board), and the state of the link after it (the device closed, or the last request
// unanswered).
int classifyOperation(Command command, const OperationOutcome& outcome);

// One programmer's run of a plan, on a thread of its own: opens the programmer, runs the steps
// in order through one ProgrammerSession and reports every event to the sink and every operation
// that reached the board to the record store. Nothing is shared with another run but the sink
// and the store, so several run at once.
class BoardRun : public QThread {
    Q_OBJECT
  public:
    BoardRun(const QString& devicePath, const BoardPlan& plan, EventSink& sink, RecordStore* records);
    ~BoardRun() override;

    // From any thread: stops the board's run at once, as a pulled cable would; the operation
    // running reports exit code 130 ("interrupted") and later steps do not run.
    void interrupt();

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
    // Waits for the programmer of this board (its board id) to come back after it restarted, and
    // opens it. False when it did not within the plan's time.
    bool reopenAfterRestart(ProgrammerSession& session, uint32_t boardId, QString& devicePath);

    const QString devicePath_;
    const BoardPlan plan_;
    EventSink& sink_;
    RecordStore* records_;
    // Guards session_ between the run's thread and interrupt().
    std::mutex sessionMutex_;
    ProgrammerSession* session_ = nullptr;
    bool interruptRequested_ = false;
    int exitCode_ = 0;
    BoardSummary summary_;
    // Raised (release) once the results are final and read (acquire) by the accessors, so that the
    // results are ordered before the joining thread reads them also for tools that cannot see
    // inside Qt's thread join.
    std::atomic<bool> resultsPublished_{false};
};

}  // namespace qv::engine
