#pragma once

#include "BoardRun.h"
#include "CatalogueSearch.h"
#include "RecordStore.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>

namespace qv::engine {

// What a front end asks for: the operations of a job file, or one operation on one file, with
// the options of its command line.
struct JobRequest {
    QString jobFile;                 // a job file, or empty for the one step below
    std::optional<Step> step;        // the one operation when there is no job file
    bool info = false;               // only the connection and the target init
    std::optional<int> speed;        // wins over the job's
    std::optional<bool> powerOff;    // wins over the job's
    std::optional<bool> skipUnchanged;  // wins over the job's
    QString flashIni;                // wins over the job's; empty: searched
    bool allowBootUpdate = false;    // a job alone cannot allow a boot-loader update
    QString recordPath;              // empty: no records
    // Whether the flash catalogue is searched in the current folder (not for a program started
    // from the desktop menu: its current folder is wherever the desktop was).
    bool searchCurrentFolder = true;
};

// Why a job could not be prepared or a round not started; nothing was sent then.
struct JobFailure {
    int code = kExitOk;
    QString message;
};

// A job ready to run on boards: every file read and judged, the flash catalogue found and read,
// the record store open. Each round of boards (one run, or one label at a station) then takes its
// numbers and makes each board's copies of the images that take a serial, in memory.
class ProductionJob {
  public:
    // Null with the failure when anything is refused (before any programmer is opened).
    static std::unique_ptr<ProductionJob> prepare(const JobRequest& request, JobFailure& failure);

    const BoardPlan& plan() const { return plan_; }
    RecordStore* records() const { return records_.get(); }
    // True when a step writes a number of its own into every board.
    bool takesSerials() const;

    // The plans of one round: one per device, with this tag, each board's numbers taken from the
    // pool in one transaction (all or none) and written into its copies of the images. On failure
    // no number is taken and nothing was sent.
    bool planRound(const QStringList& devices, const QString& tag, QVector<BoardPlan>& plans, JobFailure& failure);
    // What the record store had to say as the last round began (a server found back), for the log.
    const QStringList& roundNotes() const { return roundNotes_; }

  private:
    ProductionJob() = default;
    BoardPlan plan_;
    std::unique_ptr<RecordStore> records_;
    QString recordPath_;
    QStringList roundNotes_;
};

}  // namespace qv::engine
