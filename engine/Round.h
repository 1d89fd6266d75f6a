#pragma once

#include "BoardRun.h"
#include "Events.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qv::engine {

class ProductionJob;
struct JobFailure;

// One round of boards: a job on several programmers at once under one tag (one qv310 run, one
// label at a qv310 station, one start in the station window). It plans the boards (their numbers
// taken from the pool, their copies of the images made), starts one BoardRun per programmer,
// stops them when interrupted, gives back the numbers of a round that never started and collects
// the boards' summaries. Its events go to the sink given, as the boards' do.
//
// plan(), start(), giveBack() and the waits are called on one thread at a time (a caller may hand
// the round to another thread between them); interrupt() from any thread at any time. The round
// waits for its boards when it goes.
class Round {
  public:
    Round(ProductionJob& job, const QStringList& devices, const QString& tag, EventSink& sink);
    ~Round();
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;

    const QStringList& devices() const { return devices_; }
    const QString& tag() const { return tag_; }

    // Takes the boards' numbers (all or none) and makes their copies; asks the record store, so
    // it runs where the store may be asked. What the store had to say as the round began goes to
    // the sink's log and stays in notes(). False with the failure: no number stays taken and
    // nothing was sent.
    bool plan(JobFailure& failure);
    const QStringList& notes() const { return notes_; }

    // Starts every board of a planned round, unless the round was interrupted first: then false,
    // nothing is sent and the numbers are still taken (giveBack()). onBoardEnded, if given, is
    // called on a board's own thread as its last act, once its results are final.
    bool start(std::function<void(const QString& device)> onBoardEnded = {});
    // Gives back every number of a planned round that did not start. Asks the record store.
    void giveBack();

    // From any thread: a round not started yet will not start, and its running boards stop at
    // once as a pulled cable would (each still ends in its row).
    void interrupt();
    bool interrupted() const;

    // Waits for every board of a started round; their summaries in the order of the devices.
    QVector<BoardSummary> wait();
    // Waits for the board on this device and gives its summary.
    BoardSummary wait(const QString& device);

    // The exit code of a round: the highest of its boards'.
    static int exitCode(const QVector<BoardSummary>& boards);

  private:
    ProductionJob& job_;
    const QStringList devices_;
    const QString tag_;
    EventSink& sink_;
    QVector<BoardPlan> plans_;
    QStringList notes_;
    // Guards interrupted_ and runs_ between the round's thread and interrupt().
    mutable std::mutex mutex_;
    bool interrupted_ = false;
    std::vector<std::unique_ptr<BoardRun>> runs_;  // one per device once started
};

}  // namespace qv::engine
