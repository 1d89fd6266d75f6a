#include "Round.h"

#include "ProductionJob.h"
#include "RecordStore.h"

#include <algorithm>

namespace qv::engine {

Round::Round(ProductionJob& job, const QStringList& devices, const QString& tag, EventSink& sink)
    : job_(job), devices_(devices), tag_(tag), sink_(sink) {}

Round::~Round() {
    for (auto& run : runs_)
        run->wait();
}

bool Round::plan(JobFailure& failure) {
    const bool planned = job_.planRound(devices_, tag_, plans_, failure);
    notes_ = job_.roundNotes();
    for (const QString& note : notes_)
        sink_.log(QString(), QStringLiteral("records"), note);
    if (!planned)
        plans_.clear();
    return planned;
}

bool Round::start(std::function<void(const QString& device)> onBoardEnded) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (interrupted_ || plans_.size() != devices_.size() || !runs_.empty())
        return false;
    for (int b = 0; b < devices_.size(); ++b) {
        auto run = std::make_unique<BoardRun>(devices_.at(b), plans_.at(b), sink_, job_.records());
        if (onBoardEnded)
            run->setOnEnded([onBoardEnded, device = devices_.at(b)] { onBoardEnded(device); });
        runs_.push_back(std::move(run));
    }
    for (auto& run : runs_)
        run->start();
    return true;
}

void Round::giveBack() {
    RecordStore* records = job_.records();
    if (!records)
        return;
    // Nothing was sent: the round's numbers go back.
    for (const BoardPlan& plan : plans_) {
        for (const BoardPlan::Serial& serial : plan.serials) {
            QString ignored;
            records->finishSerial(serial.kind, serial.value, SerialOutcome::Returned, ignored);
        }
    }
    plans_.clear();
}

void Round::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    for (auto& run : runs_)
        run->interrupt();
}

bool Round::interrupted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interrupted_;
}

QVector<BoardSummary> Round::wait() {
    QVector<BoardSummary> boards;
    for (auto& run : runs_) {
        run->wait();
        boards.push_back(run->summary());
    }
    return boards;
}

BoardSummary Round::wait(const QString& device) {
    const int b = devices_.indexOf(device);
    if (b < 0 || b >= int(runs_.size()))
        return BoardSummary();
    runs_.at(b)->wait();
    return runs_.at(b)->summary();
}

int Round::exitCode(const QVector<BoardSummary>& boards) {
    int code = kExitOk;
    for (const BoardSummary& b : boards)
        code = std::max(code, b.exitCode);
    return code;
}

}  // namespace qv::engine
