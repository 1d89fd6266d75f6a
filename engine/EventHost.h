#pragma once

#include "Events.h"

#include "protocol/OperationHost.h"

#include <QString>
#include <QStringList>

#include <map>

namespace qv::engine {

// The operations' host for front ends without the engineer's window (the console, the station):
// log lines and progress become events of one programmer, a message box becomes an error that
// the run reports, and the values the window keeps in widgets come from the job. No dialog is
// ever opened. Lives on its session's thread.
class EventHost : public OperationHost {
  public:
    EventHost(EventSink& sink, const QString& device);

    // Starts reporting a new operation: its name for the events and its file's size for the
    // progress events' byte counts.
    void beginOperation(const QString& operation, qint64 totalBytes);

    // Every line the current operation logged.
    const QStringList& operationLog() const { return log_; }

    // Values the window keeps in widgets.
    int swdSpeed = 0;
    bool powerOff = false;

    // --- OperationHost ---
    void appendLog(const QString& line) override;
    void clearLog() override;
    void setProgress(int value) override;
    void showCriticalMessage(const QString& text) override;
    void showErrorMessage(const QString& text) override;
    void setButtonsEnabled(bool enabled) override;
    void setButtonEnabled(Button button, bool enabled) override;
    void processEvents() override;
    QString openFileName(const QString& caption, const QString& directory, const QString& filter) override;
    QString text(TextField field) const override;
    void setText(TextField field, const QString& text) override;
    int swdSpeedIndex() const override { return swdSpeed; }
    bool powerOffChecked() const override { return powerOff; }
    void setMcuTypeRow(int row) override;

  private:
    EventSink& sink_;
    const QString device_;
    QString operation_;
    qint64 total_ = 0;
    int lastProgress_ = -1;
    QStringList log_;
    std::map<TextField, QString> texts_;
};

}  // namespace qv::engine
