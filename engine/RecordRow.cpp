#include "RecordRow.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>
#include <QSysInfo>

namespace qv::engine {

namespace {

// Hexadecimal words are shown as the tool shows them; numbers stay numbers.
bool isWordColumn(const QByteArray& n) {
    return n == "board_id" || n == "board_mcu" || n == "app_version" || n == "boot_version" ||
           n == "target_type" || n == "target_flash_id" || n == "crc32" || n == "address";
}

// A text that a spreadsheet would take for a formula (a tag "=HYPERLINK(...)", "+1", "-1", "@SUM")
// is neutralised with a leading apostrophe, which the spreadsheet shows as text; a tab or a
// carriage return at the start is treated the same. Numbers are written as they are.
QString csvText(const QString& text) {
    if (text.isEmpty())
        return text;
    const QChar first = text.at(0);
    if (first == QLatin1Char('=') || first == QLatin1Char('+') || first == QLatin1Char('-') || first == QLatin1Char('@') ||
        first == QLatin1Char('\t') || first == QLatin1Char('\r'))
        return QLatin1Char('\'') + text;
    return text;
}

QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

RowValue optionalInteger(const std::optional<qint64>& n) {
    return n ? RowValue::of(*n) : RowValue::null();
}

}  // namespace

RecordRow recordRow(const OperationResult& r) {
    const bool connected = r.board.connected;
    const auto boardValue = [connected](uint32_t value) {
        return connected ? RowValue::of(qint64(value)) : RowValue::null();
    };
    const bool targetKnown = r.board.targetType.has_value();
    return {
        {"utc", RowValue::of(r.utc)},
        {"host", RowValue::of(QSysInfo::machineHostName())},
        {"device", RowValue::of(r.device)},
        {"board_id", boardValue(r.board.boardId)},
        {"board_mcu", boardValue(r.board.boardMcu)},
        {"app_version", boardValue(r.board.appVersion)},
        {"boot_version", boardValue(r.board.bootVersion)},
        {"target_type", targetKnown ? RowValue::of(qint64(*r.board.targetType)) : RowValue::null()},
        {"target_flash_id", targetKnown ? RowValue::of(qint64(r.board.targetFlashId)) : RowValue::null()},
        {"operation", RowValue::of(r.operation)},
        {"file", RowValue::of(r.file)},
        {"size", RowValue::of(r.size)},
        {"crc32", RowValue::of(qint64(r.crc))},
        {"sha256", RowValue::of(r.sha256)},
        {"address", r.address ? RowValue::of(qint64(*r.address)) : RowValue::null()},
        {"result", r.result ? RowValue::of(qint64(*r.result)) : RowValue::null()},
        {"exit_code", RowValue::of(qint64(r.exitCode))},
        {"duration_ms", RowValue::of(r.durationMs)},
        {"blocks_written", optionalInteger(r.blocks ? std::optional<qint64>(r.blocks->written) : std::nullopt)},
        {"blocks_skipped", optionalInteger(r.blocks ? std::optional<qint64>(r.blocks->skipped) : std::nullopt)},
        {"error", RowValue::textOrNull(r.error)},
        {"log", RowValue::of(r.log.join(QLatin1Char('\n')))},
        {"tool_version", RowValue::of(toolVersion())},
        {"target_started", r.targetStarted ? RowValue::of(qint64(*r.targetStarted ? 1 : 0)) : RowValue::null()},
        {"tag", RowValue::textOrNull(r.tag)},
        {"serial", RowValue::textOrNull(r.serial)},
        {"source_sha256", RowValue::textOrNull(r.sourceSha256)},
        {"job_sha256", RowValue::textOrNull(r.jobSha256)},
        {"uuid", RowValue::textOrNull(r.uuid)},
        {"run_uuid", RowValue::textOrNull(r.runUuid)},
        {"round_uuid", RowValue::textOrNull(r.roundUuid)},
    };
}

const QVector<QByteArray>& exportColumns() {
    static const QVector<QByteArray> columns = {
        "id",           "utc",           "host",          "device",         "board_id",       "board_mcu",
        "app_version",  "boot_version",  "tool_version",  "target_type",    "target_flash_id", "tag",
        "serial",       "operation",     "file",          "size",           "crc32",          "sha256",
        "source_sha256", "job_sha256",   "address",       "result",         "exit_code",      "duration_ms",
        "blocks_written", "blocks_skipped", "target_started", "uuid",       "run_uuid",       "round_uuid",
        "error",        "log"};
    return columns;
}

QJsonObject rowToJson(const RecordRow& row) {
    QJsonObject object;
    for (const RowColumn& c : row) {
        const QString name = QString::fromLatin1(c.name);
        switch (c.value.kind) {
            case RowValue::Kind::Null:
                object.insert(name, QJsonValue());
                break;
            case RowValue::Kind::Integer:
                // Exact in a double: the columns hold 32-bit words, sizes and times.
                object.insert(name, double(c.value.integer));
                break;
            case RowValue::Kind::Text:
                object.insert(name, c.value.text);
                break;
        }
    }
    return object;
}

RecordRow rowFromJson(const QJsonObject& object) {
    RecordRow row;
    for (auto it = object.begin(); it != object.end(); ++it) {
        RowValue value;
        if (it.value().isDouble())
            value = RowValue::of(qint64(it.value().toDouble()));
        else if (it.value().isString())
            value = RowValue::of(it.value().toString());
        row.push_back({it.key().toLatin1(), value});
    }
    return row;
}

RowExporter::RowExporter(std::FILE* out, bool csv) : out_(out), csv_(csv) {}

RowExporter::RowExporter(LineWriter writeLine, bool csv) : writeLine_(std::move(writeLine)), csv_(csv) {}

bool RowExporter::line(const QByteArray& bytes) {
    if (!out_) {
        ok_ = ok_ && writeLine_(bytes);
        return ok_;
    }
    ok_ = ok_ && std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out_) == size_t(bytes.size()) &&
          std::fputc('\n', out_) != EOF;
    return ok_;
}

void RowExporter::writeHeader() {
    if (!csv_ || headerDone_)
        return;
    QStringList header;
    for (const QByteArray& name : exportColumns())
        header << QString::fromLatin1(name);
    line(header.join(QLatin1Char(',')).toUtf8());
    headerDone_ = true;
}

bool RowExporter::write(const RecordRow& row) {
    writeHeader();
    QStringList fields;
    QJsonObject object;
    for (const QByteArray& name : exportColumns()) {
        RowValue value;
        for (const RowColumn& c : row) {
            if (c.name == name)
                value = c.value;
        }
        const QString key = QString::fromLatin1(name);
        switch (value.kind) {
            case RowValue::Kind::Null:
                fields << QString();
                object.insert(key, QJsonValue());
                break;
            case RowValue::Kind::Integer:
                if (isWordColumn(name)) {
                    fields << hex8(uint32_t(value.integer));
                    object.insert(key, hex8(uint32_t(value.integer)));
                } else if (name == "target_started") {
                    fields << QString::number(value.integer);
                    object.insert(key, value.integer != 0);
                } else {
                    fields << QString::number(value.integer);
                    object.insert(key, value.integer);
                }
                break;
            case RowValue::Kind::Text:
                fields << csvField(csvText(value.text));
                object.insert(key, value.text);
                break;
        }
    }
    return line(csv_ ? fields.join(QLatin1Char(',')).toUtf8() : QJsonDocument(object).toJson(QJsonDocument::Compact));
}

bool RowExporter::finish() {
    writeHeader();
    // A full disk or a closed pipe shows at the latest when the buffered rest is flushed.
    if (out_ && (std::fflush(out_) != 0 || std::ferror(out_)))
        ok_ = false;
    return ok_;
}

}  // namespace qv::engine
