#include "ConsoleOutput.h"

#include "Console.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <map>
#include <mutex>

namespace qv::cli {

using namespace engine;

namespace {

QJsonValue optionalInt(const std::optional<int>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalText(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue blocksWritten(const std::optional<BlockCounts>& blocks) {
    return blocks ? QJsonValue(qint64(blocks->written)) : QJsonValue(QJsonValue::Null);
}

QJsonValue blocksSkipped(const std::optional<BlockCounts>& blocks) {
    return blocks ? QJsonValue(qint64(blocks->skipped)) : QJsonValue(QJsonValue::Null);
}

// ---------------------------------------------------------------------------------------------

class JsonSink : public EventSink {
  public:
    void hello() override {
        QJsonObject o = base(QStringLiteral("hello"), QString(), QString());
        o.insert(QStringLiteral("schema"), kEventSchemaVersion);
        o.insert(QStringLiteral("version"), toolVersion());
        write(o);
    }
    void start(const OperationStart& s) override {
        QJsonObject o = base(QStringLiteral("start"), s.device, s.operation);
        o.insert(QStringLiteral("file"), s.file);
        o.insert(QStringLiteral("size"), s.size);
        o.insert(QStringLiteral("crc32"), hex8(s.crc));
        o.insert(QStringLiteral("sha256"), s.sha256);
        o.insert(QStringLiteral("flash_ini"), optionalText(s.flashCatalogue));
        write(o);
    }
    void log(const QString& device, const QString& operation, const QString& line) override {
        QJsonObject o = base(QStringLiteral("log"), device, operation);
        o.insert(QStringLiteral("line"), line);
        write(o);
    }
    void progress(const QString& device, const QString& operation, int percent, qint64 bytes,
                  qint64 total) override {
        QJsonObject o = base(QStringLiteral("progress"), device, operation);
        o.insert(QStringLiteral("percent"), percent);
        o.insert(QStringLiteral("bytes"), bytes);
        o.insert(QStringLiteral("total"), total);
        write(o);
    }
    void error(const QString& device, const QString& operation, const QString& message,
               int exitCode) override {
        QJsonObject o = base(QStringLiteral("error"), device, operation);
        o.insert(QStringLiteral("message"), message);
        o.insert(QStringLiteral("exit_code"), exitCode);
        write(o);
    }
    void result(const OperationResult& r) override {
        QJsonObject o = base(QStringLiteral("result"), r.device, r.operation);
        o.insert(QStringLiteral("ok"), r.exitCode == 0);
        o.insert(QStringLiteral("exit_code"), r.exitCode);
        o.insert(QStringLiteral("result"), optionalInt(r.result));
        o.insert(QStringLiteral("duration_ms"), r.durationMs);
        o.insert(QStringLiteral("file"), r.file);
        o.insert(QStringLiteral("size"), r.size);
        o.insert(QStringLiteral("crc32"), hex8(r.crc));
        o.insert(QStringLiteral("board_id"),
                 r.board.connected ? QJsonValue(hex8(r.board.boardId)) : QJsonValue());
        o.insert(QStringLiteral("blocks_written"), blocksWritten(r.blocks));
        o.insert(QStringLiteral("blocks_skipped"), blocksSkipped(r.blocks));
        o.insert(QStringLiteral("target_started"),
                 r.targetStarted ? QJsonValue(*r.targetStarted) : QJsonValue(QJsonValue::Null));
        o.insert(QStringLiteral("tag"), optionalText(r.tag));
        o.insert(QStringLiteral("serial"), optionalText(r.serial));
        if (!r.error.isEmpty())
            o.insert(QStringLiteral("error"), r.error);
        write(o);
    }
    void info(const BoardInfo& b) override {
        QJsonObject o = base(QStringLiteral("info"), b.device, QStringLiteral("info"));
        o.insert(QStringLiteral("mode"), b.mode);
        o.insert(QStringLiteral("app_version"), hex8(b.appVersion));
        o.insert(QStringLiteral("boot_version"), hex8(b.bootVersion));
        o.insert(QStringLiteral("board_mcu"), hex8(b.boardMcu));
        o.insert(QStringLiteral("board_id"), hex8(b.boardId));
        o.insert(QStringLiteral("board_flash"), QJsonObject{{QStringLiteral("id"), hex8(b.boardFlashId)},
                                                            {QStringLiteral("size"), b.boardFlashSize},
                                                            {QStringLiteral("name"), b.boardFlashName}});
        o.insert(QStringLiteral("target_type"),
                 b.targetType ? QJsonValue(hex8(*b.targetType)) : QJsonValue());
        o.insert(QStringLiteral("target_flash"),
                 QJsonObject{{QStringLiteral("id"), hex8(b.targetFlashId)},
                             {QStringLiteral("known"), b.targetFlashKnown},
                             {QStringLiteral("ui_room"), b.targetUiRoom},
                             {QStringLiteral("name"), b.targetFlashName}});
        o.insert(QStringLiteral("flash_ini"), optionalText(b.flashCatalogue));
        write(o);
    }
    void pool(const SerialPoolState& p) override {
        QJsonObject o = base(QStringLiteral("pool"), QString(), QString());
        o.insert(QStringLiteral("kind"), p.kind == SerialKind::Mac ? QStringLiteral("mac") : QStringLiteral("number"));
        o.insert(QStringLiteral("first"), serialText(p.kind, p.first));
        o.insert(QStringLiteral("last"), serialText(p.kind, p.last));
        o.insert(QStringLiteral("next"), p.next ? QJsonValue(serialText(p.kind, *p.next)) : QJsonValue());
        o.insert(QStringLiteral("used"), p.used);
        o.insert(QStringLiteral("spoiled"), p.spoiled);
        o.insert(QStringLiteral("taken"), p.taken);
        write(o);
    }
    void yield(const JobYield& y) override {
        QJsonObject o = base(QStringLiteral("yield"), QString(), QString());
        o.insert(QStringLiteral("job"), y.job);
        o.insert(QStringLiteral("boards"), y.boards);
        o.insert(QStringLiteral("first_pass"), y.passedFirstTime);
        o.insert(QStringLiteral("yield_percent"), y.percent());
        QJsonArray reasons;
        for (const JobYield::Reason& r : y.reasons)
            reasons.append(QJsonObject{{QStringLiteral("reason"), r.reason}, {QStringLiteral("boards"), r.boards}});
        o.insert(QStringLiteral("reasons"), reasons);
        write(o);
    }
    void keptLocally(int rows, const QString& spool) override {
        QJsonObject o = base(QStringLiteral("spooled"), QString(), QString());
        o.insert(QStringLiteral("rows"), rows);
        o.insert(QStringLiteral("spool"), spool);
        write(o);
    }
    void synced(int rows, int otherServersRows, const QString& spool) override {
        QJsonObject o = base(QStringLiteral("synced"), QString(), QString());
        o.insert(QStringLiteral("rows"), rows);
        o.insert(QStringLiteral("other_servers_rows"), otherServersRows);
        o.insert(QStringLiteral("spool"), spool);
        write(o);
    }
    void listed(const ListedProgrammer& p) override {
        QJsonObject o = base(QStringLiteral("device"), p.device, QString());
        o.insert(QStringLiteral("board_id"), p.boardId ? QJsonValue(hex8(*p.boardId)) : QJsonValue());
        write(o);
    }
    void finish(const QVector<BoardSummary>& boards, int exitCode) override {
        QJsonObject o = base(QStringLiteral("end"), QString(), QString());
        QJsonArray list;
        for (const BoardSummary& b : boards) {
            list.append(QJsonObject{
                {QStringLiteral("device"), b.device},
                {QStringLiteral("board_id"), b.boardId ? QJsonValue(hex8(*b.boardId)) : QJsonValue()},
                {QStringLiteral("exit_code"), b.exitCode},
                {QStringLiteral("duration_ms"), b.durationMs},
                {QStringLiteral("blocks_written"), blocksWritten(b.blocks)},
                {QStringLiteral("blocks_skipped"), blocksSkipped(b.blocks)}});
        }
        o.insert(QStringLiteral("boards"), list);
        o.insert(QStringLiteral("exit_code"), exitCode);
        write(o);
    }

  private:
    static QJsonObject base(const QString& event, const QString& device, const QString& operation) {
        QJsonObject o;
        o.insert(QStringLiteral("event"), event);
        o.insert(QStringLiteral("time"), utcNow());
        o.insert(QStringLiteral("device"), device.isEmpty() ? QJsonValue() : QJsonValue(device));
        if (!operation.isEmpty())
            o.insert(QStringLiteral("operation"), operation);
        return o;
    }
    void write(const QJsonObject& o) {
        const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
        std::lock_guard<std::mutex> lock(mutex_);
        writeText(Stream::Out, line);
    }
    std::mutex mutex_;
};

// ---------------------------------------------------------------------------------------------

class HumanSink : public EventSink {
  public:
    explicit HumanSink(bool quiet) : quiet_(quiet), style_(console_.progressStyle()) {}

    void begin(const QStringList& devices) override {
        std::lock_guard<std::mutex> lock(mutex_);
        several_ = devices.size() > 1;
    }

    void start(const OperationStart& s) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Bar& bar = bars_[s.device];
        bar.operation = s.operation;
        bar.total = s.size;
        bar.bytes = 0;
        bar.percent = -1;
        bar.printedStep = -1;
        bar.clock.start();
        if (!quiet_) {
            print(prefix(s.device) + QStringLiteral("%1 %2 (%3 bytes), flash catalogue %4")
                                         .arg(s.operation, s.file)
                                         .arg(s.size)
                                         .arg(s.flashCatalogue.isEmpty() ? QStringLiteral("none found")
                                                                         : s.flashCatalogue));
        }
    }
    void log(const QString& device, const QString&, const QString& line) override {
        if (quiet_)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        print(prefix(device) + line);
    }
    void progress(const QString& device, const QString&, int percent, qint64 bytes, qint64 total) override {
        if (quiet_ || style_ == ProgressStyle::None)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        Bar& bar = bars_[device];
        bar.percent = percent;
        bar.bytes = bytes;
        bar.total = total;
        if (style_ == ProgressStyle::Lines) {
            // A console that cannot redraw: one plain line at each tenth.
            const int step = percent / 10;
            if (step != bar.printedStep) {
                bar.printedStep = step;
                writeText(Stream::Err, barLine(device, bar).toUtf8() + '\n');
            }
            return;
        }
        clearBars();
        drawBars();
    }
    void error(const QString& device, const QString& operation, const QString& message,
               int exitCode) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // An error of no programmer is the program's own, as for a bad command line.
        QString text =
            device.isEmpty() ? QStringLiteral("qv310: error") : prefix(device) + QStringLiteral("error");
        if (!operation.isEmpty())
            text += QStringLiteral(" (") + operation + QLatin1Char(')');
        print(text + QStringLiteral(": ") + message + QStringLiteral(" [exit %1]").arg(exitCode));
    }
    void result(const OperationResult& r) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = bars_.find(r.device);
        if (it != bars_.end())
            it->second.percent = -1;
        if (!quiet_) {
            QString extra;
            if (!r.serial.isEmpty())
                extra += QStringLiteral(", serial ") + r.serial;
            if (!r.tag.isEmpty())
                extra += QStringLiteral(", tag ") + r.tag;
            print(prefix(r.device) +
                  QStringLiteral("%1: %2 in %3 ms%4")
                      .arg(r.operation, r.exitCode == 0 ? QStringLiteral("OK")
                                                        : QStringLiteral("FAILED (exit %1)").arg(r.exitCode))
                      .arg(r.durationMs)
                      .arg(extra));
        }
    }
    void info(const BoardInfo& b) override {
        static const char* const kModes[] = {"update mcu code (boot loader running)", "normal work",
                                             "update boot"};
        std::lock_guard<std::mutex> lock(mutex_);
        const auto line = [&](const char* label, const QString& value) {
            printOut(QStringLiteral("%1%2").arg(QString::fromLatin1(label), -22).arg(value));
        };
        line("Programmer:", b.device);
        line("Mode:", b.mode >= 0 && b.mode <= 2 ? QString::fromLatin1(kModes[b.mode]) : QStringLiteral("?"));
        line("Application version:", hex8(b.appVersion));
        line("Boot loader version:", hex8(b.bootVersion));
        line("Board MCU:", hex8(b.boardMcu));
        line("Board id:", hex8(b.boardId));
        line("Board flash:",
             QStringLiteral("id %1, %2 bytes, %3")
                 .arg(hex8(b.boardFlashId))
                 .arg(b.boardFlashSize)
                 .arg(b.boardFlashName.isEmpty() ? QStringLiteral("not in Flash.ini") : b.boardFlashName));
        line("Target type:", b.targetType ? hex8(*b.targetType) : QStringLiteral("unknown"));
        line("Target flash:", b.targetFlashKnown
                                  ? QStringLiteral("id %1, %2, UI room %3 bytes (the chip less 0x80000)")
                                        .arg(hex8(b.targetFlashId), b.targetFlashName)
                                        .arg(b.targetUiRoom)
                                  : QStringLiteral("id %1, not in the flash catalogue").arg(hex8(b.targetFlashId)));
        line("Flash catalogue:", b.flashCatalogue.isEmpty() ? QStringLiteral("none found") : b.flashCatalogue);
    }
    void keptLocally(int rows, const QString& spool) override {
        std::lock_guard<std::mutex> lock(mutex_);
        keptRows_ = rows;
        spool_ = spool;
    }
    void synced(int rows, int otherServersRows, const QString& spool) override {
        std::lock_guard<std::mutex> lock(mutex_);
        printOut(QStringLiteral("%1 row(s) uploaded from %2").arg(rows).arg(spool));
        if (otherServersRows > 0)
            printOut(QStringLiteral("%1 row(s) stay there for other servers").arg(otherServersRows));
    }
    void yield(const JobYield& y) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!yieldHeader_) {
            printOut(QStringLiteral("%1 %2 %3 %4")
                         .arg(QStringLiteral("job (SHA-256 of the job file)"), -64)
                         .arg(QStringLiteral("boards"), 8)
                         .arg(QStringLiteral("first pass"), 11)
                         .arg(QStringLiteral("yield"), 8));
            yieldHeader_ = true;
        }
        printOut(QStringLiteral("%1 %2 %3 %4%")
                     .arg(y.job, -64)
                     .arg(y.boards, 8)
                     .arg(y.passedFirstTime, 11)
                     .arg(y.percent(), 7, 'f', 1));
        for (const JobYield::Reason& r : y.reasons)
            printOut(QStringLiteral("    %1 failed first: %2").arg(r.boards, 6).arg(r.reason));
    }
    void pool(const SerialPoolState& p) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!poolHeader_) {
            printOut(QStringLiteral("%1 %2 %3 %4 %5 %6")
                         .arg(QStringLiteral("range"), -39)
                         .arg(QStringLiteral("next"), -18)
                         .arg(QStringLiteral("used"), 8)
                         .arg(QStringLiteral("spoiled"), 8)
                         .arg(QStringLiteral("taken"), 8)
                         .arg(QString()));
            poolHeader_ = true;
        }
        printOut(QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(serialText(p.kind, p.first) + QStringLiteral(" - ") + serialText(p.kind, p.last), -39)
                     .arg(p.next ? serialText(p.kind, *p.next) : QStringLiteral("(exhausted)"), -18)
                     .arg(p.used, 8)
                     .arg(p.spoiled, 8)
                     .arg(p.taken, 8));
    }
    void listed(const ListedProgrammer& p) override {
        std::lock_guard<std::mutex> lock(mutex_);
        printOut(QStringLiteral("%1  board %2").arg(p.device, p.boardId ? hex8(*p.boardId) : QStringLiteral("?")));
    }
    void finish(const QVector<BoardSummary>& boards, int) override {
        std::lock_guard<std::mutex> lock(mutex_);
        clearBars();
        bars_.clear();
        const auto blocks = [](const BoardSummary& b) {
            if (!b.blocks)
                return QStringLiteral("-");
            return QStringLiteral("%1/%2").arg(b.blocks->written).arg(b.blocks->skipped);
        };
        const auto resultText = [](const BoardSummary& b) {
            return b.exitCode == 0 ? QStringLiteral("OK")
                                   : QStringLiteral("FAILED (exit %1)").arg(b.exitCode);
        };
        if (keptRows_ > 0) {
            writeText(Stream::Err, QStringLiteral("The record server could not be reached: %1 row(s) were kept "
                                                  "locally in %2; the next run with this server uploads them "
                                                  "(or: qv310 records sync URL).\n")
                                       .arg(keptRows_)
                                       .arg(spool_)
                                       .toUtf8());
        }
        if (boards.isEmpty())
            return;
        if (boards.size() == 1) {
            const BoardSummary& b = boards.first();
            writeText(Stream::Err, QStringLiteral("%1: board %2: %3, %4 (%5 ms)\n")
                                       .arg(b.device, b.boardId ? hex8(*b.boardId) : QStringLiteral("?"),
                                            resultText(b), b.what)
                                       .arg(b.durationMs)
                                       .toUtf8());
            return;
        }
        // Columns as printf's "%-40s %-12s %-16s %9s  %s" would make them.
        const auto row = [](const QString& device, const QString& id, const QString& result, const QString& ms,
                            const QString& blocks) {
            const QChar space = QLatin1Char(' ');
            return (device.leftJustified(40) + space + id.leftJustified(12) + space + result.leftJustified(16) +
                    space + ms.rightJustified(9) + space + space + blocks + QLatin1Char('\n'))
                .toUtf8();
        };
        QByteArray table = row(QStringLiteral("device"), QStringLiteral("board id"), QStringLiteral("result"),
                               QStringLiteral("time (ms)"), QStringLiteral("written/skipped"));
        for (const BoardSummary& b : boards) {
            table += row(b.device, b.boardId ? hex8(*b.boardId) : QStringLiteral("?"), resultText(b),
                         QString::number(b.durationMs), blocks(b));
            if (b.exitCode != 0 && !b.what.isEmpty())
                table += "    " + b.what.toUtf8() + '\n';
        }
        writeText(Stream::Err, table);
    }

  private:
    struct Bar {
        QString operation;
        int percent = -1;  // -1: no bar shown
        qint64 bytes = 0;
        qint64 total = 0;
        QElapsedTimer clock;
        int printedStep = -1;  // the last tenth printed as a plain line
    };

    QString prefix(const QString& device) const {
        // With one board the device is in the closing line; with several each line says whose it is.
        return several_ && !device.isEmpty() ? QStringLiteral("[%1] ").arg(device) : QString();
    }
    void print(const QString& line) {
        clearBars();
        writeText(Stream::Err, line.toUtf8() + '\n');
        drawBars();
    }
    void printOut(const QString& line) { writeText(Stream::Out, line.toUtf8() + '\n'); }
    QString barLine(const QString& device, const Bar& bar) const {
        constexpr int kWidth = 30;
        const int filled = bar.percent * kWidth / 100;
        const double seconds = bar.clock.isValid() ? bar.clock.elapsed() / 1000.0 : 0;
        const double rate = seconds > 0 ? bar.bytes / seconds : 0;
        const QString left = rate > 0
                                 ? QStringLiteral("%1 s left").arg(qRound((bar.total - bar.bytes) / rate))
                                 : QStringLiteral("-- s left");
        return QStringLiteral("%1%2 [%3%4] %5% %6/%7 B %8 KiB/s %9")
            .arg(several_ ? device + QLatin1Char(' ') : QString(), bar.operation)
            .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('-')))
            .arg(bar.percent, 3)
            .arg(bar.bytes)
            .arg(bar.total)
            .arg(rate / 1024, 0, 'f', 1)
            .arg(left);
    }
    void clearBars() {
        if (drawn_ == 0)
            return;
        QByteArray erase = "\r\033[K";
        for (int i = 1; i < drawn_; ++i)
            erase += "\033[1A\r\033[K";
        writeText(Stream::Err, erase);
        drawn_ = 0;
    }
    void drawBars() {
        if (style_ != ProgressStyle::Redrawn || quiet_)
            return;
        QStringList lines;
        for (const auto& [device, bar] : bars_) {
            if (bar.percent >= 0)
                lines << barLine(device, bar);
        }
        if (lines.isEmpty())
            return;
        writeText(Stream::Err, lines.join(QLatin1Char('\n')).toUtf8());
        drawn_ = int(lines.size());
    }

    const bool quiet_;
    // Declared before the style it gives, and restored when the sink goes, after its last line.
    ConsoleSetup console_;
    const ProgressStyle style_;
    std::mutex mutex_;
    std::map<QString, Bar> bars_;
    int drawn_ = 0;
    bool several_ = false;
    bool poolHeader_ = false;
    bool yieldHeader_ = false;
    int keptRows_ = 0;
    QString spool_;
};

}  // namespace

std::unique_ptr<EventSink> makeJsonSink() {
    return std::make_unique<JsonSink>();
}

std::unique_ptr<EventSink> makeHumanSink(bool quiet) {
    return std::make_unique<HumanSink>(quiet);
}

}  // namespace qv::cli
