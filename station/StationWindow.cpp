#include "StationWindow.h"

#include "ProgrammerTile.h"

#include "engine/Round.h"
#include "engine/ProductionJob.h"
#include "engine/RecordStore.h"
#include "engine/ServerStore.h"

#include "qtsupport/QueuedCalls.h"
#include "usb/ProgrammerRoster.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QVBoxLayout>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace qv::station {

using engine::Round;
using engine::BoardSummary;
using engine::OperationResult;
using engine::OperationStart;

namespace {

// Tiles per row: as many as the window's width holds, never more than this.
constexpr int kMostTileColumns = 4;

}  // namespace

// The runs report from their own threads; every event is handed to the window's thread through a
// queue of calls, so tiles and counters are only ever touched there. The window stops and joins
// every run before it goes, so no call outlives it.
class StationSink : public engine::EventSink {
  public:
    explicit StationSink(StationWindow& window) : window_(window), calls_(new QueuedCalls(&window)) {}

    void start(const OperationStart& start) override {
        post(start.device, [operation = start.operation](ProgrammerTile& t) { t.operationStarted(operation); });
    }
    void log(const QString& device, const QString&, const QString& line) override {
        post(device, [line](ProgrammerTile& t) { t.logLine(line); });
    }
    void progress(const QString& device, const QString&, int percent, qint64, qint64) override {
        post(device, [percent](ProgrammerTile& t) { t.progress(percent); });
    }
    // The reason of a failure reaches the tile with the board's summary.
    void error(const QString&, const QString&, const QString&, int) override {}
    void result(const OperationResult& result) override {
        post(result.device, [result](ProgrammerTile& t) { t.operationEnded(result); });
    }
    void info(const engine::BoardInfo&) override {}
    void listed(const engine::ListedProgrammer&) override {}
    void finish(const QVector<BoardSummary>&, int) override {}

    // From a board's thread, as its last act: the window joins and reads the board on its own
    // thread. (A connection to QThread::finished would carry the end through Qt's event queue,
    // whose ordering the thread sanitizer cannot see.)
    void runEnded(const QString& device) {
        StationWindow* window = &window_;
        calls_->post([window, device] { window->boardFinished(device); });
    }

  private:
    template <typename F>
    void post(const QString& device, F&& apply) {
        StationWindow* window = &window_;
        calls_->post([window, device, apply = std::forward<F>(apply)] {
            if (ProgrammerTile* t = window->tile(device))
                apply(*t);
        });
    }
    StationWindow& window_;
    QueuedCalls* calls_;  // a child of the window
};

// The thread that asks the record store, one question after the other. It answers what it was
// asked before it goes (a round's numbers may have to be given back), each question bounded by
// the store's own limits.
class RecordsThread {
  public:
    RecordsThread() : thread_([this] { loop(); }) {}
    ~RecordsThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

  private:
    void loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
                if (tasks_.empty())
                    return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

std::unique_ptr<StationWindow> StationWindow::open(const StationOptions& options, engine::JobFailure& failure) {
    engine::JobRequest request;
    request.jobFile = options.jobFile;
    request.recordPath = options.recordPath;
    request.searchCurrentFolder = !options.fromMenu;
    std::unique_ptr<engine::ProductionJob> job = engine::ProductionJob::prepare(request, failure);
    if (!job)
        return nullptr;
    return std::unique_ptr<StationWindow>(new StationWindow(options, std::move(job)));
}

StationWindow::StationWindow(const StationOptions& options, std::unique_ptr<engine::ProductionJob> job)
    : options_(options),
      job_(std::move(job)),
      sink_(std::make_unique<StationSink>(*this)),
      recordsThread_(std::make_unique<RecordsThread>()),
      recordsCalls_(new QueuedCalls(this)) {
    setWindowTitle(QStringLiteral("QV310 Station - %1 - %2")
                       .arg(QFileInfo(options_.jobFile).fileName(), job_->plan().jobSha256.left(8)));
    setAccessibleName(windowTitle());
    resize(1100, 640);

    auto* layout = new QVBoxLayout(this);

    auto* controls = new QHBoxLayout();
    auto* tagLabel = new QLabel(QStringLiteral("Tag"), this);
    tagLabel->setAccessibleName(tagLabel->text());
    tag_ = new QLineEdit(this);
    tag_->setAccessibleName(QStringLiteral("Tag"));
    tag_->setAccessibleDescription(QStringLiteral("Scan a label; Enter starts every programmer with it"));
    tag_->setMaxLength(200);
    tagLabel->setBuddy(tag_);
    startAll_ = new QPushButton(QStringLiteral("Start all"), this);
    startAll_->setAccessibleName(startAll_->text());
    QFont large = startAll_->font();
    large.setPointSize(large.pointSize() + 6);
    large.setBold(true);
    startAll_->setFont(large);
    tag_->setFont(large);
    tagLabel->setFont(large);
    controls->addWidget(tagLabel);
    controls->addWidget(tag_, 1);
    controls->addWidget(startAll_);
    layout->addLayout(controls);

    auto* figures = new QHBoxLayout();
    counters_ = new QLabel(this);
    counters_->setFont(large);
    yield_ = new QLabel(this);
    yield_->setFont(large);
    figures->addWidget(counters_);
    figures->addStretch(1);
    figures->addWidget(yield_);
    layout->addLayout(figures);

    auto* area = area_ = new QScrollArea(this);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    auto* tilesPanel = new QWidget(area);
    auto* tilesLayout = new QVBoxLayout(tilesPanel);
    empty_ = new QLabel(tilesPanel);
    setLabelText(empty_, options_.devices.isEmpty()
                             ? QStringLiteral("No programmer attached")
                             : QStringLiteral("Waiting for %1").arg(options_.devices.join(QStringLiteral(", "))));
    empty_->setAlignment(Qt::AlignCenter);
    tilesLayout->addWidget(empty_);
    grid_ = new QGridLayout();
    tilesLayout->addLayout(grid_);
    tilesLayout->addStretch(1);
    area->setWidget(tilesPanel);
    layout->addWidget(area, 1);

    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setStyleSheet(QStringLiteral("color: #b00020;"));
    layout->addWidget(status_);
    say(QString());

    connect(startAll_, &QPushButton::clicked, this, &StationWindow::startAll);
    connect(tag_, &QLineEdit::returnPressed, this, &StationWindow::startAll);

    // Plugging and unplugging: the roster searches shortly after each burst of changes (native
    // notifications on Windows, libusb hot-plug and the virtual programmer directory elsewhere),
    // and the tiles follow its list.
    roster_ = std::make_unique<qv::ProgrammerRoster>();
    roster_->watchWindow(reinterpret_cast<void*>(winId()));
    connect(roster_.get(), &qv::ProgrammerRoster::changed, this, &StationWindow::followRoster);

    tag_->setFocus();
    updateCounters();
    rescan();
}

StationWindow::~StationWindow() {
    closing_ = true;
    stopRuns();
    // Questions to the record store still open are answered (a round's numbers given back); the
    // answers go with the window.
    recordsThread_.reset();
    // Events the runs posted and the window has not handled yet go with it.
}

QList<ProgrammerTile*> StationWindow::tiles() const {
    return tiles_.values();
}

ProgrammerTile* StationWindow::tile(const QString& device) const {
    return tiles_.value(device, nullptr);
}

bool StationWindow::nativeEvent(const QByteArray& eventType, void* message, long* result) {
    Q_UNUSED(eventType);
    Q_UNUSED(result);
    // No roster before the constructor made it.
    if (roster_)
        roster_->nativeEvent(message);
    return false;
}

void StationWindow::closeEvent(QCloseEvent* event) {
    // Closing stops the boards being programmed, as a pulled cable would; each still gets its row.
    // A round still being planned does not start.
    closing_ = true;
    stopRuns();
    event->accept();
}

void StationWindow::stopRuns() {
    for (const std::shared_ptr<Round>& round : runs_)
        round->interrupt();
    // Each round waits for its boards as it goes.
    runs_.clear();
}

void StationWindow::say(const QString& text) {
    setLabelText(status_, text);
    status_->setVisible(!text.isEmpty());
}

void StationWindow::rescan() {
    roster_->search();
    followRoster();
}

void StationWindow::followRoster() {
    QStringList attached = roster_->present();
    if (!options_.devices.isEmpty()) {
        QStringList wanted;
        for (const QString& path : attached) {
            if (options_.devices.contains(path))
                wanted << path;
        }
        attached = wanted;
    }
    bool changed = false;
    // A programmer unplugged while it runs (or its round is planned) keeps its tile until its run
    // ends (the run notices).
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        if (!attached.contains(it.key()) && !runs_.contains(it.key()) && !starting_.contains(it.key())) {
            delete it.value();
            it = tiles_.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    for (const QString& path : attached) {
        if (tiles_.contains(path))
            continue;
        auto* t = new ProgrammerTile(path, job_->plan().steps.size(), this);
        connect(t, &ProgrammerTile::startRequested, this, [this](const QString& device) { startOn({device}); });
        tiles_.insert(path, t);
        changed = true;
    }
    if (!changed)
        return;
    empty_->setVisible(tiles_.isEmpty());
    columns_ = 0;  // every tile in its place again
    layoutTiles();
}

void StationWindow::layoutTiles() {
    int widest = 1;
    for (ProgrammerTile* t : tiles_)
        widest = std::max(widest, t->minimumWidth() + grid_->horizontalSpacing());  // one fixed width
    const int columns = std::clamp(area_->viewport()->width() / widest, 1, kMostTileColumns);
    if (columns == columns_)
        return;
    columns_ = columns;
    // The tiles in the order of their paths, row by row; the room right of the last column goes to
    // an empty column, so that every column stays exactly a tile wide.
    int i = 0;
    for (ProgrammerTile* t : tiles_) {
        grid_->addWidget(t, i / columns, i % columns, Qt::AlignTop | Qt::AlignLeft);
        ++i;
    }
    for (int c = 0; c <= kMostTileColumns; ++c)
        grid_->setColumnStretch(c, c == columns ? 1 : 0);
}

void StationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutTiles();
}

void StationWindow::startAll() {
    QStringList devices;
    for (ProgrammerTile* t : tiles_) {
        if (t->idle())
            devices << t->device();
    }
    startOn(devices);
}

void StationWindow::startOn(const QStringList& requested) {
    // The tag is what the field holds as the boards start; it is cleared for the next label.
    const QString tag = tag_->text().trimmed();
    tag_->clear();
    // The scanner types into the field whatever was pressed last.
    tag_->setFocus();
    QStringList devices;
    for (const QString& device : requested) {
        const ProgrammerTile* t = tile(device);
        if (t && t->idle() && !runs_.contains(device) && !starting_.contains(device))
            devices << device;
    }
    if (devices.isEmpty()) {
        say(tiles_.isEmpty() ? QStringLiteral("No programmer attached") : QStringLiteral("Every programmer is running"));
        return;
    }
    for (const QString& device : devices) {
        starting_.insert(device);
        tile(device)->boardStarted(tag);
    }
    // The round's numbers come from the record store (and a server that went away is asked again
    // first): on the records thread, never here.
    ++recordsAsked_;
    auto round = std::make_shared<Round>(*job_, devices, tag, *sink_);
    QueuedCalls* calls = recordsCalls_;
    recordsThread_->post([this, round, calls] {
        engine::JobFailure failure;
        const bool planned = round->plan(failure);
        calls->post([this, round, planned, message = failure.message] { roundPlanned(round, planned, message); });
    });
}

void StationWindow::roundPlanned(const std::shared_ptr<Round>& round, bool planned, const QString& failure) {
    --recordsAsked_;
    for (const QString& device : round->devices())
        starting_.remove(device);
    StationSink* sink = sink_.get();
    if (planned && (closing_ || !round->start([sink](const QString& device) { sink->runEnded(device); }))) {
        // Nothing was sent: the round's numbers go back.
        recordsThread_->post([round] { round->giveBack(); });
        return;
    }
    if (!planned) {
        for (const QString& device : round->devices()) {
            if (ProgrammerTile* t = tile(device))
                t->boardNotStarted();
        }
        say((round->notes() + QStringList{failure}).join(QLatin1Char('\n')));
        rescan();
        return;
    }
    say(round->notes().join(QLatin1Char('\n')));
    for (const QString& device : round->devices())
        runs_.insert(device, round);
}

void StationWindow::boardFinished(const QString& device) {
    const std::shared_ptr<Round> round = runs_.take(device);
    if (!round)
        return;  // already joined by stopRuns
    const BoardSummary summary = round->wait(device);
    if (summary.exitCode == engine::kExitOk)
        ++passed_;
    else
        ++failed_;
    if (ProgrammerTile* t = tile(device))
        t->boardEnded(summary, round->tag());
    updateCounters();
    // A programmer unplugged during its run goes now.
    rescan();
}

void StationWindow::updateCounters() {
    setLabelText(counters_, QStringLiteral("Passed: %1  Failed: %2").arg(passed_).arg(failed_));
    engine::RecordStore* records = job_->records();
    if (!records) {
        setLabelText(yield_, QStringLiteral("First-pass yield: not recorded"));
        return;
    }
    // Asked on the records thread: a record server may take up to its answer limit.
    ++recordsAsked_;
    QueuedCalls* calls = recordsCalls_;
    recordsThread_->post([this, records, calls, job = job_->plan().jobSha256] {
        const int kept = records->rowsKeptLocally();
        engine::JobYield yield;
        QString error;
        const bool known = records->jobYield(job, yield, error);
        calls->post([this, kept, known, yield, error] { yieldRead(kept, known, yield, error); });
    });
}

void StationWindow::yieldRead(int keptLocally, bool known, const engine::JobYield& yield, const QString& error) {
    --recordsAsked_;
    // Rows a record server could not take wait in the spool; the line goes on all the same.
    if (keptLocally > 0) {
        say(QStringLiteral("%1 record rows kept locally in %2 until the server is back")
                .arg(keptLocally)
                .arg(engine::spoolPath()));
    }
    if (!known) {
        setLabelText(yield_, QStringLiteral("First-pass yield: unknown (%1)").arg(error));
    } else if (yield.boards == 0) {
        setLabelText(yield_, QStringLiteral("First-pass yield: no boards yet"));
    } else {
        setLabelText(yield_, QStringLiteral("First-pass yield: %1% of %2 %3")
                                 .arg(yield.percent(), 0, 'f', 1)
                                 .arg(yield.boards)
                                 .arg(yield.boards == 1 ? QStringLiteral("board") : QStringLiteral("boards")));
    }
}

}  // namespace qv::station
