#include "Probe.h"

#include "ProgrammerSession.h"

#include <algorithm>

namespace qv::engine {

namespace {

// A host that keeps nothing: the handshake's lines are not part of any board's log.
class QuietHost : public OperationHost {
  public:
    void appendLog(const QString&) override {}
    void clearLog() override {}
    void setProgress(int) override {}
    void showCriticalMessage(const QString&) override {}
    void showErrorMessage(const QString&) override {}
    void setButtonsEnabled(bool) override {}
    void setButtonEnabled(Button, bool) override {}
    void processEvents() override {}
    QString openFileName(const QString&, const QString&, const QString&) override { return QString(); }
    QString text(TextField) const override { return QString(); }
    void setText(TextField, const QString&) override {}
    int swdSpeedIndex() const override { return 0; }
    bool powerOffChecked() const override { return false; }
    void setMcuTypeRow(int) override {}
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
                programmer.boardId = session.link.boardId;
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
