#pragma once

#include "Events.h"
#include "ImageCheck.h"
#include "ProgrammerSession.h"
#include "RecordStore.h"
#include "Steps.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qv::engine {

class EventHost;
class ProgrammerSession;
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
// and the store, so several run at once. A round (Round.h) starts and stops them.
class BoardRun : public QThread {
    Q_OBJECT
  public:
    BoardRun(const QString& devicePath, const BoardPlan& plan, EventSink& sink, RecordStore* records);
    ~BoardRun() override;

    // Called on the run's own thread as the last thing it does, once its results are final (the
    // thread still has to be joined before they are read). Set before start().
    void setOnEnded(std::function<void()> onEnded) { onEnded_ = std::move(onEnded); }

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
    // The board's run, as the job goes: open and connect, then either the info or the steps; each
    // ends the board (finishBoard) itself.
    void runBoard();
    // False when the board ended there (not opened, or not connected).
    bool openAndConnect();
    void runInfo();
    void runSteps();
    // The one place a step's operation runs on the programmer.
    OperationOutcome runOperation(int i);
    // Runs step i and stores its row; the step's exit code, and what failed.
    int runStep(int i, QString& what);
    // The exit code and the words of one step's outcome.
    int judgeStep(int i, const OperationOutcome& outcome, const QString& refused, QString& error) const;
    // After a step that restarts the programmer, before step next: waits for it to come back.
    // The exit code (kExitOk when it is back), and what failed.
    int betweenSteps(int done, QString& what);

    // What the link and the target init tell about the board now.
    void refreshBoard(bool connected);
    // A row of step stepIndex (or of no step: -1), with the run's identities.
    OperationResult newResult(int stepIndex) const;
    // What became of the board's numbers, once its run is decided with this exit code: used when
    // it passed, spoiled when an image that holds one reached the board, returned otherwise.
    QVector<RecordStore::Finish> serialOutcomes(int code) const;
    // What became of the numbers not said by a row yet; the failures to record it, if any (the
    // board then fails with exit code 4).
    QStringList finishSerials(int& code);
    // Appends a row; the board's last row (lastRow) carries what became of its numbers. Empty, or
    // why the row could not be stored (the board then fails with exit code 4).
    QString storeRow(OperationResult& r, int& code, bool lastRow);
    // A board that fails between two steps (stopped, or its programmer did not come back after a
    // firmware update) ends in a row of the step it did not get to, with the board's exit code and
    // what became of its numbers: the last row of every board's run carries its final exit code.
    QString storeUnstarted(int stepIndex, int& code, const QString& reason);
    // The board's summary and exit code (published as the run ends); closes the programmer.
    void finishBoard(int code, QString what);

    const QString devicePath_;
    const BoardPlan plan_;
    EventSink& sink_;
    RecordStore* records_;
    std::function<void()> onEnded_;

    // Guards session_ between the run's thread and interrupt(); only the run's thread changes it.
    std::mutex sessionMutex_;
    std::unique_ptr<ProgrammerSession> session_;
    bool interruptRequested_ = false;

    // The state of one run, on the run's thread only.
    std::unique_ptr<EventHost> host_;
    // How each operation attaches the target and writes (the step adds its address and file kind).
    OperationOptions options_;
    QString currentPath_;  // where the programmer is now: it may come back elsewhere after a restart
    QElapsedTimer boardClock_;
    QString runUuid_;
    BoardInfo board_;
    std::optional<BlockCounts> boardBlocks_;
    // Steps whose operation reached the board (its image may be on it, in part or whole).
    QVector<bool> reached_;
    bool serialsFinished_ = false;
    QStringList done_;

    int exitCode_ = 0;
    BoardSummary summary_;
    // Raised (release) once the results are final and read (acquire) by the accessors, so that the
    // results are ordered before the joining thread reads them also for tools that cannot see
    // inside Qt's thread join.
    std::atomic<bool> resultsPublished_{false};
};

}  // namespace qv::engine
