#pragma once

#include "Serials.h"

#include "protocol/BlockWrite.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <optional>

namespace qv::engine {

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
    std::optional<uint32_t> targetType;  // from the SWD init
    uint32_t targetFlashId = 0;
    bool targetFlashKnown = false;  // listed in the flash catalogue
    int32_t targetUiRoom = 0;       // bytes of the UI area: the chip's size less 0x80000
    QString targetFlashName;
    QString flashCatalogue;  // the Flash.ini read (absolute path); empty when none was found
};

// The beginning of one operation on one board.
struct OperationStart {
    QString device;
    QString operation;  // subcommand name
    QString file;       // absolute path
    qint64 size = 0;
    uint32_t crc = 0;
    QString sha256;
    QString flashCatalogue;  // the Flash.ini the run reads; empty when none was found
};

// One operation on one board, as reported and recorded.
struct OperationResult {
    QString utc;  // when it started, ISO 8601 with milliseconds
    QString device;
    QString operation;  // subcommand name
    QString file;       // absolute path
    qint64 size = 0;
    uint32_t crc = 0;  // CRC-32/0 of the file
    QString sha256;        // of the bytes written (the board's copy when a serial is in it)
    QString sourceSha256;  // of the file as given
    QString jobSha256;     // of the job file the step came from; empty for a single subcommand
    QString tag;           // the free label of the run (a scanned barcode, a lot number)
    QString serial;        // the board's number as written (decimal, or a MAC address)
    QString uuid;          // this row's own identity
    QString runUuid;       // shared by the rows of one board's run
    QString roundUuid;     // shared by the boards started together (one qv310 run, one station round)
    std::optional<uint32_t> address;  // McuCode address (program-mcu)
    std::optional<int> result;        // the operation's own result code; none when not reached
    int exitCode = 0;
    qint64 durationMs = 0;
    QStringList log;
    QString error;  // the message that decided a failure, if any
    // The 4096-byte blocks a write wrote and left as they were; none for other operations.
    std::optional<BlockCounts> blocks;
    // Whether the target reported that it started at the end; none when no target run answered.
    std::optional<bool> targetStarted;
    BoardInfo board;
};

// The closing line of one board.
struct BoardSummary {
    QString device;
    std::optional<uint32_t> boardId;
    int exitCode = 0;
    QString what;  // the failing operation and why, or the operations done
    qint64 durationMs = 0;
    // The blocks the board's writes wrote and left as they were, summed; none without a write.
    std::optional<BlockCounts> blocks;
    // The board's numbers as written, one per step that takes a serial.
    QStringList serials;
};

// The first-pass yield of one job (by the SHA-256 of its job file), from the records: the boards it
// ran on and those whose first run passed. A board retested under its tag counts once when the tag
// was the only one of its round; boards sharing a tag in one round (a gang or a station round with
// one lot label) count each, and a run without a tag is a board of its own.
struct JobYield {
    QString job;  // the job file's SHA-256
    qint64 boards = 0;
    qint64 passedFirstTime = 0;
    // The most frequent reasons of the boards whose first run failed ("program-mcu: the operation
    // failed on the board (result -7)"), the most frequent first, at most ten.
    struct Reason {
        QString reason;
        qint64 boards = 0;
    };
    QVector<Reason> reasons;
    // Passed first time in per cent of the boards, to one decimal (0 without boards): what the
    // station shows and qv310 records yield prints.
    double percent() const;
};

// A programmer found attached, with the board id its handshake reported (none when it did not
// answer, or was busy).
struct ListedProgrammer {
    QString device;
    std::optional<uint32_t> boardId;
};

// Where the sessions report. Every call may come from any session's thread; implementations
// serialise them.
class EventSink {
  public:
    virtual ~EventSink() = default;
    // The first event of a run: the event schema and the program's version.
    virtual void hello() {}
    // The programmers about to be used, before any of them starts.
    virtual void begin(const QStringList& devices) { (void)devices; }
    virtual void start(const OperationStart& start) = 0;
    virtual void log(const QString& device, const QString& operation, const QString& line) = 0;
    virtual void progress(const QString& device, const QString& operation, int percent, qint64 bytes,
                          qint64 total) = 0;
    // device may be empty: the error belongs to no programmer (usage, files, database).
    virtual void error(const QString& device, const QString& operation, const QString& message,
                       int exitCode) = 0;
    virtual void result(const OperationResult& result) = 0;
    virtual void info(const BoardInfo& board) = 0;
    virtual void listed(const ListedProgrammer& programmer) = 0;
    // qv310 serials: one pool of a record database.
    virtual void pool(const SerialPoolState& pool) { (void)pool; }
    // Rows that could not reach the record server and wait in the local spool.
    virtual void keptLocally(int rows, const QString& spool) { (void)rows, (void)spool; }
    // qv310 records yield: the first-pass yield of one job.
    virtual void yield(const JobYield& yield) { (void)yield; }
    // qv310 records sync: rows uploaded from the local spool, and those it keeps for other servers.
    virtual void synced(int rows, int otherServersRows, const QString& spool) {
        (void)rows, (void)otherServersRows, (void)spool;
    }
    // The last event of every run: the boards and the run's exit code.
    virtual void finish(const QVector<BoardSummary>& boards, int exitCode) = 0;
};

// "0x" and eight upper-case hex digits.
QString hex8(uint32_t value);

// Now, in UTC, as ISO 8601 with milliseconds ("2026-12-10T22:25:32.426Z"). Safe from any thread
// at any time: made from the system clock with plain arithmetic, never through QDateTime, whose
// first use from several threads at once can give an empty text.
QString utcNow();
// The same text for a time given in milliseconds since 1970-01-01T00:00:00Z (years 0-9999).
QString utcText(int64_t msSinceEpoch);

// The program's version, as --version and the hello event give it.
QString toolVersion();

// The version of the event schema (docs/qv310-events.schema.json).
constexpr int kEventSchemaVersion = 1;

}  // namespace qv::engine
