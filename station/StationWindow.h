#pragma once

#include "StationOptions.h"

#include "engine/Events.h"

#include <QMap>
#include <QWidget>

#include <QSet>

#include <memory>

class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace qv {
class ProgrammerRoster;
class QueuedCalls;
}
namespace qv::engine {
class ProductionJob;
class Round;
struct JobFailure;
struct JobYield;
}  // namespace qv::engine

namespace qv::station {

class ProgrammerTile;
class RecordsThread;
class StationSink;

// The operators' window: one job, fixed for the life of the window, on every attached
// programmer at once. A tile per programmer follows hot-plug; "Start all", a tile's "Start" or a
// label scanned into the Tag field starts boards. Each start is one round of the engine, as in
// qv310: the window only hosts the rounds and shows their events.
class StationWindow : public QWidget {
    Q_OBJECT
  public:
    // Prepares the job (every file read and checked, the record store opened) and makes the
    // window; null with the failure when the job is refused, and then nothing was sent.
    static std::unique_ptr<StationWindow> open(const StationOptions& options, engine::JobFailure& failure);
    ~StationWindow() override;

    QList<ProgrammerTile*> tiles() const;
    ProgrammerTile* tile(const QString& device) const;
    int passed() const { return passed_; }
    int failed() const { return failed_; }
    bool running() const { return !runs_.isEmpty() || !starting_.isEmpty(); }
    // A question to the record store (a round's numbers, the yield) has not been answered yet.
    bool recordsBusy() const { return recordsAsked_ > 0; }
    // The job as it was prepared: its plan, the flash catalogue it reads, its record store.
    const engine::ProductionJob& job() const { return *job_; }

  public slots:
    // Runs the job on every programmer that is not running.
    void startAll();
    // Reads the attached programmers again and adds and removes tiles.
    void rescan();

  protected:
    bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    friend class StationSink;
    StationWindow(const StationOptions& options, std::unique_ptr<engine::ProductionJob> job);

    void startOn(const QStringList& devices);
    void roundPlanned(const std::shared_ptr<engine::Round>& round, bool planned, const QString& failure);
    void yieldRead(int keptLocally, bool known, const engine::JobYield& yield, const QString& error);
    void boardFinished(const QString& device);
    // Adds and removes tiles to match the roster's last search.
    void followRoster();
    void layoutTiles();
    void updateCounters();
    void stopRuns();
    void say(const QString& text);

    const StationOptions options_;
    std::unique_ptr<engine::ProductionJob> job_;
    std::unique_ptr<StationSink> sink_;
    std::unique_ptr<qv::ProgrammerRoster> roster_;
    QMap<QString, ProgrammerTile*> tiles_;
    // The round of each programmer running; a round goes with its last board.
    QMap<QString, std::shared_ptr<engine::Round>> runs_;
    QSet<QString> starting_;  // programmers whose round is being planned
    int recordsAsked_ = 0;
    bool closing_ = false;
    // The record store is only ever asked on this thread, never on the window's: a server that
    // does not answer at once keeps no window waiting. Its answers come back through recordsCalls_.
    std::unique_ptr<RecordsThread> recordsThread_;
    qv::QueuedCalls* recordsCalls_;
    int passed_ = 0;
    int failed_ = 0;

    QLineEdit* tag_;
    QPushButton* startAll_;
    QLabel* counters_;
    QLabel* yield_;
    QLabel* status_;
    QLabel* empty_;
    QGridLayout* grid_;
    QScrollArea* area_;
    int columns_ = 0;
};

}  // namespace qv::station
