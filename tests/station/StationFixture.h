#pragma once
// The station against virtual programmers plugged in and out around it, in the test's own process.

#include "station/ProgrammerTile.h"
#include "station/StationWindow.h"

#include "engine/ProductionJob.h"
#include "uiflash/TestImages.h"
#include "vprog/VirtualProgrammer.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace stationtest {

using qv::station::ProgrammerTile;
using qv::station::StationWindow;
using Bytes = std::vector<uint8_t>;

inline bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 15000) {
    return qvtest::pumpUntil(condition, timeoutMs);
}

// The station against virtual programmers plugged in and out around it, with a job that programs
// MCU code and records every board.
class Station : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        image = uitest::pattern(9000, 5);
        uitest::putLe32(image, 4, 0x0000A101);  // a harmless running address
        QFile mcu(work.filePath("mcu.bin"));
        ASSERT_TRUE(mcu.open(QIODevice::WriteOnly));
        mcu.write(reinterpret_cast<const char*>(image.data()), qint64(image.size()));
        mcu.close();
        digest =
            QCryptographicHash::hash(QByteArray(reinterpret_cast<const char*>(image.data()), int(image.size())),
                                     QCryptographicHash::Sha256)
                .toHex();
        writeJob(R"({"steps": [{"program-mcu": "mcu.bin", "addr": "0xA000", "sha256": ")" + digest + "\"}]}");
        options.jobFile = work.filePath("line.json");
        options.recordPath = work.filePath("records.db");
    }
    void writeJob(const QByteArray& text) {
        QFile job(work.filePath("line.json"));
        ASSERT_TRUE(job.open(QIODevice::WriteOnly | QIODevice::Truncate));
        job.write(text);
    }

    std::unique_ptr<StationWindow> openWindow() {
        qv::engine::JobFailure failure;
        auto window = StationWindow::open(options, failure);
        EXPECT_TRUE(window) << failure.message.toStdString();
        return window;
    }
    vprog::VirtualProgrammer& plug(const std::string& name, uint32_t boardId) {
        vprog::Options o;
        o.name = name;
        o.boardId = boardId;
        programmers.push_back(std::make_unique<vprog::VirtualProgrammer>(o));
        return *programmers.back();
    }
    static QString path(vprog::VirtualProgrammer& p) { return QString::fromStdString(p.devicePath()); }
    // The next CRC check of this programmer reports a mismatch: its board fails.
    static void failNextCheck(vprog::VirtualProgrammer& p) {
        p.withModel([](vprog::DeviceModel& m) {
            m.mutableOptions().fault = vprog::Fault::CrcStatusMismatch;
            m.mutableOptions().faultAtRequest = m.requestCount() + 1;
        });
    }
    static bool holdsImage(vprog::VirtualProgrammer& p, const Bytes& image) {
        bool same = false;
        p.withModel([&](vprog::DeviceModel& m) {
            same = std::equal(image.begin(), image.end(), m.codeFlash().begin() + 0xA000);
        });
        return same;
    }
    static QString label(StationWindow& w, const char* startsWith) {
        for (QLabel* l : w.findChildren<QLabel*>()) {
            if (l->text().startsWith(QLatin1String(startsWith)))
                return l->text();
        }
        return QString();
    }
    static QPushButton* button(QWidget& w, const QString& text) {
        for (QPushButton* b : w.findChildren<QPushButton*>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }
    static bool allDone(StationWindow& w, int tiles) {
        // The yield is read on the window's records thread after each board.
        return !w.running() && !w.recordsBusy() && w.tiles().size() == tiles;
    }
    // The tags of the record rows, oldest first.
    QStringList recordedTags() {
        QStringList tags;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(qPrintable(options.recordPath), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return {QStringLiteral("<no database>")};
        }
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT coalesce(tag, '') FROM records ORDER BY id", -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW)
            tags << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return tags;
    }

    QTemporaryDir work;
    Bytes image;
    QByteArray digest;  // of the image
    qv::station::StationOptions options;
    std::vector<std::unique_ptr<vprog::VirtualProgrammer>> programmers;
};

}  // namespace stationtest
