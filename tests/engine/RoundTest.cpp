// A round of boards stopped from another thread: before it starts nothing is sent and every
// number goes back; while it runs every board stops, ends in its row and keeps no number taken.
// A round writes the bytes checked when its job was prepared, each board's copy with its number.

#include "engine/ProductionJob.h"
#include "engine/RecordStore.h"
#include "engine/Round.h"

#include "uiflash/TestImages.h"
#include "vprog/VirtualProgrammer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace qv::engine;

// Takes every event and keeps none: the round's outcome is read from its summaries and records.
class QuietSink : public EventSink {
  public:
    void start(const OperationStart&) override {}
    void log(const QString&, const QString&, const QString&) override {}
    void progress(const QString&, const QString&, int, qint64, qint64) override {}
    void error(const QString&, const QString&, const QString&, int) override {}
    void result(const OperationResult&) override {}
    void info(const BoardInfo&) override {}
    void listed(const ListedProgrammer&) override {}
    void finish(const QVector<BoardSummary>&, int) override {}
};

// Two programmers and a job that writes MCU code with a number of its own into every board.
class RoundOfBoards : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        image = uitest::pattern(3 * 4096, 31);
        uitest::putLe32(image, 4, 0x0000A101);  // a harmless running address
        const QByteArray bytes(reinterpret_cast<const char*>(image.data()), int(image.size()));
        QFile mcu(work.filePath(QStringLiteral("mcu.bin")));
        ASSERT_TRUE(mcu.open(QIODevice::WriteOnly));
        mcu.write(bytes);
        mcu.close();
        QFile job(work.filePath(QStringLiteral("line.json")));
        ASSERT_TRUE(job.open(QIODevice::WriteOnly));
        job.write(R"({"steps": [{"program-mcu": "mcu.bin", "sha256": ")" +
                  QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() +
                  R"(", "serial": {"offset": "0x100", "format": "u32le", "first": 1000, "last": 1999}}]})");
        job.close();

        for (uint32_t id : {0x21u, 0x22u}) {
            vprog::Options o;
            o.name = "round" + std::to_string(id);
            o.boardId = id;
            programmers.push_back(std::make_unique<vprog::VirtualProgrammer>(o));
            devices << QString::fromStdString(programmers.back()->devicePath());
        }
        JobRequest request;
        request.jobFile = work.filePath(QStringLiteral("line.json"));
        request.recordPath = work.filePath(QStringLiteral("records.db"));
        request.searchCurrentFolder = false;
        JobFailure failure;
        prepared = ProductionJob::prepare(request, failure);
        ASSERT_TRUE(prepared) << failure.message.toStdString();
    }

    SerialPoolState pool() {
        QVector<SerialPoolState> pools;
        QString error;
        EXPECT_TRUE(readSerialPools(work.filePath(QStringLiteral("records.db")), pools, error))
            << error.toStdString();
        return pools.size() == 1 ? pools.first() : SerialPoolState();
    }
    uint32_t requests(vprog::VirtualProgrammer& p) {
        uint32_t n = 0;
        p.withModel([&](vprog::DeviceModel& m) { n = m.requestCount(); });
        return n;
    }
    // The exit codes of the record rows, oldest first.
    std::vector<int> recordedExitCodes() {
        std::vector<int> codes;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(qPrintable(work.filePath(QStringLiteral("records.db"))), &db, SQLITE_OPEN_READONLY,
                            nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(db, "SELECT exit_code FROM records ORDER BY id", -1, &st, nullptr);
            while (st && sqlite3_step(st) == SQLITE_ROW)
                codes.push_back(sqlite3_column_int(st, 0));
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return codes;
    }
    static void interruptFromAnotherThread(Round& round) {
        std::thread([&round] { round.interrupt(); }).join();
    }

    QTemporaryDir work;
    std::vector<uint8_t> image;  // mcu.bin as the job was prepared
    std::vector<std::unique_ptr<vprog::VirtualProgrammer>> programmers;
    QStringList devices;
    std::unique_ptr<ProductionJob> prepared;
    QuietSink sink;
};

TEST_F(RoundOfBoards, stoppedBeforeItStartsItSendsNothingAndGivesEveryNumberBack) {
    Round round(*prepared, devices, QStringLiteral("lot-7"), sink);
    JobFailure failure;
    ASSERT_TRUE(round.plan(failure)) << failure.message.toStdString();
    EXPECT_EQ(pool().taken, 2) << "each board's number is taken as the round is planned";

    interruptFromAnotherThread(round);
    EXPECT_FALSE(round.start());
    round.giveBack();

    const SerialPoolState after = pool();
    EXPECT_EQ(after.taken, 0);
    EXPECT_EQ(after.used + after.spoiled, 0);
    EXPECT_EQ(after.next, std::optional<uint64_t>(1000)) << "the numbers are given again";
    for (auto& p : programmers)
        EXPECT_EQ(requests(*p), 0u) << p->devicePath();
    EXPECT_TRUE(recordedExitCodes().empty());
}

TEST_F(RoundOfBoards, stoppedWhileItsBoardsRunEveryBoardEndsInARowAndKeepsNoNumberTaken) {
    // Both programmers stop answering in the middle of the write, as a hung box would: only the
    // interrupt ends their boards before the operation's own time limit.
    constexpr uint32_t kStallAt = 6;
    for (auto& p : programmers) {
        p->withModel([](vprog::DeviceModel& m) {
            m.mutableOptions().fault = vprog::Fault::Stall;
            m.mutableOptions().faultAtRequest = m.requestCount() + kStallAt;
        });
    }
    Round round(*prepared, devices, QStringLiteral("lot-8"), sink);
    JobFailure failure;
    ASSERT_TRUE(round.plan(failure)) << failure.message.toStdString();
    ASSERT_TRUE(round.start());
    for (auto& p : programmers) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (requests(*p) < kStallAt && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(requests(*p), kStallAt) << p->devicePath();
    }

    interruptFromAnotherThread(round);
    const QVector<BoardSummary> boards = round.wait();

    ASSERT_EQ(boards.size(), 2);
    for (int b = 0; b < boards.size(); ++b) {
        EXPECT_EQ(boards[b].device, devices[b]) << "summaries come in the order of the devices";
        EXPECT_EQ(boards[b].exitCode, int(kExitInterrupted)) << boards[b].what.toStdString();
    }
    EXPECT_EQ(Round::exitCode(boards), int(kExitInterrupted));
    EXPECT_EQ(recordedExitCodes(), std::vector<int>({kExitInterrupted, kExitInterrupted}));
    const SerialPoolState after = pool();
    EXPECT_EQ(after.taken, 0);
    EXPECT_EQ(after.spoiled, 2) << "part of each board's image may be on it";
}

TEST_F(RoundOfBoards, writesTheBytesCheckedWhateverTheFileBecomesEachBoardWithItsNumber) {
    // The file is replaced after the job was checked: a round never reads it again.
    QFile mcu(work.filePath(QStringLiteral("mcu.bin")));
    ASSERT_TRUE(mcu.open(QIODevice::WriteOnly | QIODevice::Truncate));
    mcu.write(QByteArray(int(image.size()), '\x5A'));
    mcu.close();

    Round round(*prepared, devices, QStringLiteral("lot-9"), sink);
    JobFailure failure;
    ASSERT_TRUE(round.plan(failure)) << failure.message.toStdString();
    ASSERT_TRUE(round.start());
    const QVector<BoardSummary> boards = round.wait();
    ASSERT_EQ(boards.size(), 2);
    for (int b = 0; b < boards.size(); ++b) {
        EXPECT_EQ(boards[b].exitCode, int(kExitOk)) << boards[b].what.toStdString();
        std::vector<uint8_t> expected = image;
        uitest::putLe32(expected, 0x100, uint32_t(1000 + b));
        std::vector<uint8_t> written;
        programmers[size_t(b)]->withModel([&](vprog::DeviceModel& m) {
            const std::vector<uint8_t>& flash = m.codeFlash();
            written.assign(flash.begin() + 0xA000, flash.begin() + 0xA000 + std::ptrdiff_t(expected.size()));
        });
        EXPECT_EQ(written, expected) << "board " << b;
    }
    EXPECT_EQ(pool().used, 2);
}

}  // namespace
