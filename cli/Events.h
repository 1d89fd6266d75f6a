#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>

namespace qv::cli {

// What the handshake and the target init told about one programmer and its board.
struct BoardInfo {
    QString device;
    bool connected = false;
    int32_t mode = -1;  // ConnectionMode; -1 before the handshake
    uint32_t appVersion = 0;
    uint32_t bootVersion = 0;
    uint32_t boardMcu = 0;
    uint32_t boardId = 0;
    uint32_t boardFlashId = 0;
    int32_t boardFlashSize = 0;
    QString boardFlashName;
    std::optional<uint32_t> targetType;  // from the SWD init's "Target type:" line
    uint32_t targetFlashId = 0;
    int32_t targetFlashSize = 0;
    QString targetFlashName;
};

// One operation on one board, as reported and recorded.
struct OperationResult {
    QString utc;  // when it started, ISO 8601 with milliseconds
    QString device;
    QString operation;  // subcommand name
    QString file;       // absolute path
    qint64 size = 0;
    uint32_t crc = 0;  // CRC-32/0 of the file
    QString sha256;
    std::optional<uint32_t> address;  // McuCode address (program-mcu)
    std::optional<int> result;        // the operation's own result code; none when not reached
    int exitCode = 0;
    qint64 durationMs = 0;
    QStringList log;
    QString error;  // the message that decided a failure, if any
    // Filled by write operations that skip unchanged blocks; none otherwise.
    std::optional<int> blocksWritten;
    std::optional<int> blocksSkipped;
    BoardInfo board;
};

// The closing line of one board.
struct BoardSummary {
    QString device;
    std::optional<uint32_t> boardId;
    int exitCode = 0;
    QString what;  // the failing operation and why, or the operations done
    qint64 durationMs = 0;
    std::optional<int> blocksWritten;
    std::optional<int> blocksSkipped;
};

// Where the sessions report. Every call may come from any session's thread; implementations
// serialise them.
class EventSink {
  public:
    virtual ~EventSink() = default;
    // The programmers about to be used, before any of them starts.
    virtual void begin(const QStringList& devices) { (void)devices; }
    virtual void start(const QString& device, const QString& operation, const QString& file, qint64 size,
                       uint32_t crc, const QString& sha256) = 0;
    virtual void log(const QString& device, const QString& operation, const QString& line) = 0;
    virtual void progress(const QString& device, const QString& operation, int percent, qint64 bytes,
                          qint64 total) = 0;
    // device may be empty: the error belongs to no programmer (usage, files, database).
    virtual void error(const QString& device, const QString& operation, const QString& message,
                       int exitCode) = 0;
    virtual void result(const OperationResult& result) = 0;
    virtual void info(const BoardInfo& board) = 0;
    virtual void listed(const QString& devicePath) = 0;
    virtual void finish(const QVector<BoardSummary>& boards, int exitCode) = 0;
};

// JSON Lines on standard output, one object per event; nothing else goes there.
std::unique_ptr<EventSink> makeJsonSink();
// Log lines and errors on standard error, a progress bar when it is a terminal, one closing line
// per board (a table for several). quiet leaves out log lines and progress.
std::unique_ptr<EventSink> makeHumanSink(bool quiet);

// "0x" and eight upper-case hex digits.
QString hex8(uint32_t value);

}  // namespace qv::cli
