#include "Probe.h"

#include "ProgrammerSession.h"

#include <algorithm>

namespace qv::engine {

namespace {

// Listing a programmer shows nothing of its handshake.
class QuietHost : public Reporter {
  public:
    void appendLog(const QString&) override {}
    void clearLog() override {}
    void setProgress(int) override {}
    void processEvents() override {}
    void refused(const QString&) override {}
};

}  // namespace

QVector<ListedProgrammer> probeProgrammers(const QStringList& paths, const std::atomic<bool>* stop) {
    QVector<ListedProgrammer> list;
    for (const QString& path : paths) {
        ListedProgrammer programmer;
        programmer.device = path;
        if (!stop || !stop->load()) {
            QuietHost host;
            ProgrammerSession session(host, Pacing::event());
            if (session.open(path) == ProgrammerLink::OpenOutcome::Connected)
                programmer.boardId = session.link.connection().boardId;
        }
        list.push_back(programmer);
    }
    std::stable_sort(list.begin(), list.end(), [](const ListedProgrammer& a, const ListedProgrammer& b) {
        if (a.boardId.has_value() != b.boardId.has_value())
            return a.boardId.has_value();
        if (a.boardId && *a.boardId != *b.boardId)
            return *a.boardId < *b.boardId;
        return a.device < b.device;
    });
    return list;
}

}  // namespace qv::engine
