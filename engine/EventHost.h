#pragma once

#include "Events.h"

#include "protocol/Reporter.h"

#include <QString>
#include <QStringList>


namespace qv::engine {

// The operations' reporter for front ends without the engineer's window (the console, the
// station, the service): log lines and progress become events of one programmer; a refusal is
// reported by the run as an error. Lives on its session's thread.
class EventHost : public Reporter {
  public:
    EventHost(EventSink& sink, const QString& device);

    // Starts reporting a new operation: its name for the events and its file's size for the
    // progress events' byte counts.
    void beginOperation(const QString& operation, qint64 totalBytes);

    // Every line the current operation logged.
    const QStringList& operationLog() const { return log_; }

    // --- Reporter ---
    void appendLog(const QString& line) override;
    void clearLog() override;
    void setProgress(int value) override;
    void processEvents() override;
    void refused(const QString& text) override;

  private:
    EventSink& sink_;
    const QString device_;
    QString operation_;
    qint64 total_ = 0;
    int lastProgress_ = -1;
    QStringList log_;
};

}  // namespace qv::engine
