#pragma once

#include "Events.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <cstdio>
#include <functional>

namespace qv::engine {

// One value of a record row: empty (SQL NULL), a whole number or a text.
struct RowValue {
    enum class Kind { Null, Integer, Text };
    Kind kind = Kind::Null;
    qint64 integer = 0;
    QString text;

    static RowValue null() { return {}; }
    static RowValue of(qint64 n) { return {Kind::Integer, n, QString()}; }
    static RowValue of(const QString& t) { return {Kind::Text, 0, t}; }
    // A text, or null when empty.
    static RowValue textOrNull(const QString& t) { return t.isEmpty() ? null() : of(t); }
};

struct RowColumn {
    QByteArray name;
    RowValue value;
};

// A record row as every store keeps it: the columns in one order, without the row number.
using RecordRow = QVector<RowColumn>;

// The row of one operation's result (host and tool version are this machine's and program's).
RecordRow recordRow(const OperationResult& result);

// The columns of an export, in order (those a store lacks are exported empty).
const QVector<QByteArray>& exportColumns();

// A row as a JSON object and back (the local spool keeps rows this way).
QJsonObject rowToJson(const RecordRow& row);
RecordRow rowFromJson(const QJsonObject& object);

// Writes an export, CSV (with a header line) or JSON Lines, and notices a write that fails.
class RowExporter {
  public:
    RowExporter(std::FILE* out, bool csv);
    // To a writer of whole lines (UTF-8, without the line end) that returns false when a line
    // could not be written whole (errno then says why); for outputs that are not a C stream, such
    // as a Windows console.
    using LineWriter = std::function<bool(const QByteArray& line)>;
    RowExporter(LineWriter writeLine, bool csv);
    // One row; columns missing from it are exported empty. False once a write failed.
    bool write(const RecordRow& row);
    // Flushes; false when anything could not be written (a full disk, a closed pipe).
    bool finish();

  private:
    void writeHeader();
    bool line(const QByteArray& bytes);
    std::FILE* out_ = nullptr;
    LineWriter writeLine_;
    bool csv_;
    bool ok_ = true;
    bool headerDone_ = false;
};

}  // namespace qv::engine
