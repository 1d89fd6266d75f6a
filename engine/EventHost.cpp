#include "EventHost.h"

#include <QCoreApplication>

namespace qv::engine {

EventHost::EventHost(EventSink& sink, const QString& device) : sink_(sink), device_(device) {}

void EventHost::beginOperation(const QString& operation, qint64 totalBytes) {
    operation_ = operation;
    total_ = totalBytes;
    lastProgress_ = -1;
    log_.clear();
}

void EventHost::appendLog(const QString& line) {
    log_ << line;
    sink_.log(device_, operation_, line);
}

// The window empties its log pane here; an event stream keeps every line.
void EventHost::clearLog() {}

void EventHost::setProgress(int value) {
    if (value == lastProgress_)
        return;
    lastProgress_ = value;
    const int percent = qBound(0, value, 100);
    sink_.progress(device_, operation_, percent, total_ * percent / 100, total_);
}

// The run reads refusals from the operation's outcome; they are not lines of the log.
void EventHost::refused(const QString&) {}

// Events of this session's own thread only: each session pumps its own.
void EventHost::processEvents() {
    QCoreApplication::processEvents();
}

}  // namespace qv::engine
