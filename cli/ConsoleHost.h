#pragma once

#include "Events.h"

#include "protocol/OperationHost.h"

#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace qv::cli {

// The operations' host for the console: log lines and progress become events of one programmer,
// a message box becomes an error event (and decides the exit code), and the values the window
// keeps in widgets come from the command line. No dialog is ever opened: the file an operation
// asks for is the one the command line named. Lives on its session's thread.
class ConsoleHost : public OperationHost {
  public:
    ConsoleHost(EventSink& sink, const QString& device);

    // Starts reporting a new operation: its name for the events, its file's size for the
    // progress events' byte counts, and the file a dialog would have chosen.
    void beginOperation(const QString& operation, qint64 totalBytes, const QString& file);

    // --- What the current operation reported. ---
    const QStringList& operationLog() const { return log_; }
    const QStringList& messages() const { return messages_; }
    // The target type of the last SWD init's "Target type:" line.
    std::optional<uint32_t> targetType() const { return targetType_; }

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
    QString file_;
    int lastProgress_ = -1;
    QStringList log_;
    QStringList messages_;
    std::optional<uint32_t> targetType_;
    std::map<TextField, QString> texts_;
};

}  // namespace qv::cli
