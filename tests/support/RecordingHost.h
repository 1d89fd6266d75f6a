#pragma once

#include "app/OperationHost.h"

#include <QCoreApplication>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace qvtest {

// An OperationHost that records what an operation shows, for tests without widgets.
// Dialog answers are queued; an unexpected dialog answers "cancelled" and is counted.
class RecordingHost : public qv::OperationHost {
public:
    QStringList log;                   // lines since the last clearLog
    QStringList fullLog;               // every line ever appended, clears marked as "<clear>"
    std::vector<int> progress;         // every value set
    QStringList criticalMessages;      // "Message" boxes
    QStringList errorMessages;         // "Error" boxes
    std::vector<bool> buttonsEnabledCalls;
    bool groupEnabled = false;         // the six target-operation buttons
    std::map<qv::Button, bool> buttons{{qv::Button::UpdateApp, false}, {qv::Button::UpdateBoot, false}};
    std::map<qv::TextField, QString> texts;
    int swdSpeed = 0;
    bool powerOff = false;
    int mcuTypeRow = 0;
    int processEventsCalls = 0;
    std::deque<QString> fileAnswers;   // answers for openFileName, in order
    struct DialogRequest {
        QString caption, directory, filter;
    };
    std::vector<DialogRequest> dialogs;
    // Called on every processEvents (after Qt's own), e.g. to press Exit in the middle of a loop.
    std::function<void()> onProcessEvents;
    // Called on every setProgress, after the value is recorded.
    std::function<void(int)> onProgress;

    void appendLog(const QString& line) override {
        log << line;
        fullLog << line;
    }
    void clearLog() override {
        log.clear();
        fullLog << QStringLiteral("<clear>");
    }
    void setProgress(int value) override {
        progress.push_back(value);
        if (onProgress)
            onProgress(value);
    }
    void showCriticalMessage(const QString& text) override { criticalMessages << text; }
    void showErrorMessage(const QString& text) override { errorMessages << text; }
    void setButtonsEnabled(bool enabled) override {
        buttonsEnabledCalls.push_back(enabled);
        groupEnabled = enabled;
    }
    void setButtonEnabled(qv::Button button, bool enabled) override { buttons[button] = enabled; }
    void processEvents() override {
        ++processEventsCalls;
        QCoreApplication::processEvents();
        if (onProcessEvents) onProcessEvents();
    }
    QString openFileName(const QString& caption, const QString& directory, const QString& filter) override {
        dialogs.push_back({caption, directory, filter});
        if (fileAnswers.empty()) return QString();
        QString answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    QString text(qv::TextField field) const override {
        auto it = texts.find(field);
        return it == texts.end() ? QString() : it->second;
    }
    void setText(qv::TextField field, const QString& value) override { texts[field] = value; }
    int swdSpeedIndex() const override { return swdSpeed; }
    bool powerOffChecked() const override { return powerOff; }
    void setMcuTypeRow(int row) override { mcuTypeRow = row; }
};

}  // namespace qvtest
