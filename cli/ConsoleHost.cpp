#include "ConsoleHost.h"

#include <QCoreApplication>

namespace qv::cli {

ConsoleHost::ConsoleHost(EventSink& sink, const QString& device) : sink_(sink), device_(device) {}

void ConsoleHost::beginOperation(const QString& operation, qint64 totalBytes, const QString& file) {
    operation_ = operation;
    total_ = totalBytes;
    file_ = file;
    lastProgress_ = -1;
    log_.clear();
    messages_.clear();
}

void ConsoleHost::appendLog(const QString& line) {
    log_ << line;
    // The SWD init names the target type only in its log line; the record keeps it.
    static const QString kTargetType = QStringLiteral("Target type:0x");
    if (line.startsWith(kTargetType)) {
        bool ok = false;
        const uint32_t type = line.mid(kTargetType.size()).toUInt(&ok, 16);
        if (ok)
            targetType_ = type;
    }
    sink_.log(device_, operation_, line);
}

// The window empties its log pane here; a console keeps every line.
void ConsoleHost::clearLog() {}

void ConsoleHost::setProgress(int value) {
    if (value == lastProgress_)
        return;
    lastProgress_ = value;
    const int percent = qBound(0, value, 100);
    sink_.progress(device_, operation_, percent, total_ * percent / 100, total_);
}

void ConsoleHost::showCriticalMessage(const QString& text) {
    messages_ << text;
}

void ConsoleHost::showErrorMessage(const QString& text) {
    messages_ << text;
}

void ConsoleHost::setButtonsEnabled(bool) {}

void ConsoleHost::setButtonEnabled(Button, bool) {}

// Events of this session's own thread only: each session pumps its own.
void ConsoleHost::processEvents() {
    QCoreApplication::processEvents();
}

QString ConsoleHost::openFileName(const QString&, const QString&, const QString&) {
    return file_;
}

QString ConsoleHost::text(TextField field) const {
    const auto it = texts_.find(field);
    return it == texts_.end() ? QString() : it->second;
}

void ConsoleHost::setText(TextField field, const QString& value) {
    texts_[field] = value;
}

void ConsoleHost::setMcuTypeRow(int) {}

}  // namespace qv::cli
