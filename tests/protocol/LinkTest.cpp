// Transactions, the connection handshake and the catalogue lookup, against the real transfer
// worker and a virtual programmer in the same process.
#include "Rig.h"

#include "protocol/Text.h"

#include <functional>

namespace {

using prototest::Bytes;
using prototest::Rig;
using vprog::Fault;

// ---------------------------------------------------------------------------------------------
// Budgets and pauses, with the worker played by the test between two flag checks.

std::atomic<int> slowPauses{0};
std::atomic<int> fastPauses{0};

qv::Pacing countingPacing() {
    qv::Pacing pacing;
    pacing.slowPause = [] { ++slowPauses; };
    pacing.fastPause = [] { ++fastPauses; };
    return pacing;
}

struct Transaction {
    const char* name;
    std::function<int(qv::ProgrammerLink&)> run;
    int sendBudget;
    int replyBudget;
    bool fast;
    uint32_t txLength;
};

const uint8_t kPayload[4096] = {1, 2, 3};

const Transaction kTransactions[] = {
    {"writeFirmwareChunk", [](qv::ProgrammerLink& l) { return l.writeFirmwareChunk(kPayload, 0, 4096); },
     1000, 2000, false, 4110},
    {"checkFirmwareCrc", [](qv::ProgrammerLink& l) { return l.checkFirmwareCrc(1, 0, 4096); }, 1000, 10000,
     false, 36},
    {"finishFirmwareUpdate", [](qv::ProgrammerLink& l) { return l.finishFirmwareUpdate(1); }, 1000, 10000,
     false, 36},
    {"writeDataChunk", [](qv::ProgrammerLink& l) { return l.writeDataChunk(kPayload, 0, 22); }, 200000,
     400000, true, 38},
    {"checkDataCrc", [](qv::ProgrammerLink& l) { return l.checkDataCrc(1, 0, 4096); }, 1000, 25000, false,
     36},
    {"connectProgrammer", [](qv::ProgrammerLink& l) { return l.connectProgrammer(); }, 1000, 1000, false, 36},
};

TEST(TransactionBudgets, SendWaitChecksExactlyTheBudgetWhenNoWorkerTakesTheFrame) {
    for (const Transaction& t : kTransactions) {
        SCOPED_TRACE(t.name);
        Rig rig(countingPacing());
        slowPauses = 0;
        fastPauses = 0;
        EXPECT_EQ(t.run(rig.link), -1);
        EXPECT_EQ(rig.host.processEventsCalls, t.sendBudget);
        // One pause after raising txPending, one after each failed check.
        EXPECT_EQ((t.fast ? fastPauses : slowPauses).load(), t.sendBudget + 1);
        EXPECT_EQ((t.fast ? slowPauses : fastPauses).load(), 0);
        EXPECT_EQ(rig.worker.txLength, t.txLength);
        EXPECT_EQ(rig.worker.rxPending.load(), 0) << "no read asked for before the write is done";
        EXPECT_TRUE(rig.host.log.isEmpty());
    }
}

TEST(TransactionBudgets, AFailedReadIsWaitedOutToTheEndOfTheReplyBudget) {
    for (const Transaction& t : kTransactions) {
        SCOPED_TRACE(t.name);
        Rig rig(countingPacing());
        USB_BURN_CTRL& w = rig.worker;
        // The worker's part: the write is done at the first pumping, every read fails (2).
        rig.host.onProcessEvents = [&w] {
            if (w.txPending.exchange(0) == 1)
                w.txDone.store(1, std::memory_order_release);
            if (w.rxPending.exchange(0) == 1)
                w.rxDone.store(2, std::memory_order_release);
        };
        slowPauses = 0;
        fastPauses = 0;
        EXPECT_EQ(t.run(rig.link), -2);
        EXPECT_EQ(rig.host.processEventsCalls, 1 + t.replyBudget);
        EXPECT_EQ((t.fast ? fastPauses : slowPauses).load(), 1 + 1 + 1 + t.replyBudget);
        EXPECT_EQ(w.rxDone.load(), 2);
        EXPECT_TRUE(rig.host.log.isEmpty());
    }
}

TEST(TransactionBudgets, OversizedPayloadIsRefusedBeforeAnythingIsSent) {
    Rig rig(countingPacing());
    static uint8_t big[4097];
    EXPECT_EQ(rig.link.writeDataChunk(big, 0, 4097), -1);
    EXPECT_EQ(rig.link.writeFirmwareChunk(big, 0, 4097), -1);
    EXPECT_EQ(rig.worker.txPending.load(), 0);
    EXPECT_EQ(rig.host.processEventsCalls, 0);
}

// ---------------------------------------------------------------------------------------------
// Each transaction against a virtual programmer, with each fault it can meet.

uint32_t crcOfErased(uint32_t length) {
    const Bytes erased(length, 0xFF);
    return qv::crc32zero(erased.data(), erased.size());
}

struct Wire {
    const char* name;
    std::function<int(qv::ProgrammerLink&)> run;
    uint8_t letter;
    const char* crcLabel;  // logged on a reply CRC mismatch; nullptr: nothing logged
    bool check;            // answers a status byte and logs "Read crc:"
};

const Wire kWire[] = {
    {"writeFirmwareChunk", [](qv::ProgrammerLink& l) { return l.writeFirmwareChunk(kPayload, 0x1000, 4096); },
     'J', nullptr, false},
    {"checkFirmwareCrc", [](qv::ProgrammerLink& l) { return l.checkFirmwareCrc(crcOfErased(4096), 0, 4096); },
     'L', "CRC error:", true},
    {"finishFirmwareUpdate", [](qv::ProgrammerLink& l) { return l.finishFirmwareUpdate(0); }, 'O',
     "REQ CRC:", false},
    {"writeDataChunk", [](qv::ProgrammerLink& l) { return l.writeDataChunk(kPayload, 0xA000, 4096); }, 'F',
     nullptr, false},
    {"checkDataCrc",
     [](qv::ProgrammerLink& l) { return l.checkDataCrc(crcOfErased(0x1000), 0xA000, 0x1000); }, 'G',
     "CRC error:", true},
};

TEST(TransactionsOnTheWire, ResultsAndLogLinesForEachFault) {
    struct FaultCase {
        Fault fault;
        int result;  // for the status-answering checks, CrcStatusMismatch gives 5
    };
    const FaultCase faults[] = {
        {Fault::None, 0},         {Fault::NoReply, -2}, {Fault::WrongLetter, -3},
        {Fault::WrongLength, -3}, {Fault::BadCrc, -4},  {Fault::CrcStatusMismatch, 5},
    };
    // Both waiting styles: the window's polling and the console engine's event waits must give
    // the same results, frames and log lines.
    for (const bool event : {false, true}) {
        for (const Wire& t : kWire) {
            for (const FaultCase& f : faults) {
                if (f.fault == Fault::CrcStatusMismatch && !t.check)
                    continue;
                SCOPED_TRACE(std::string(t.name) + " fault " + std::to_string(static_cast<int>(f.fault)) +
                             (event ? " event" : " polling"));
                Rig rig(event ? qv::Pacing::event() : qv::Pacing::standard());
                rig.plugVirtual({});
                rig.openOnly(rig.path());
                rig.faultNext(f.fault);
                if (f.fault == Fault::NoReply)
                    rig.link.setPacing(event ? prototest::quickEventPacing() : prototest::quickPacing());
                const int result = t.run(rig.link);
                EXPECT_EQ(result, f.result);

                const std::vector<Bytes> sent = rig.requests();
                ASSERT_EQ(sent.size(), 1u);
                EXPECT_EQ(sent[0][2], t.letter);

                QStringList want;
                const uint8_t* rx = rig.worker.rxBuffer;
                if (f.fault == Fault::BadCrc && t.crcLabel) {
                    const uint32_t computed = qv::crc32zero(rx, 9);
                    const uint32_t received = qv::frame::getBe32(rx + 9);
                    EXPECT_NE(computed, received);
                    want << QString::fromLatin1(t.crcLabel) + qv::hexText(computed, 8) + "," +
                                qv::hexText(received, 8);
                }
                if (t.check && (f.fault == Fault::None || f.fault == Fault::CrcStatusMismatch)) {
                    want << QStringLiteral("Read crc:") + qv::hexText(crcOfErased(4096), 8);
                }
                EXPECT_EQ(rig.host.log, want);
            }
        }
    }
}

// The event style turns each budget into the wall time its checks last at their nominal pause:
// it never gives up earlier, and it keeps processing events while it waits.
TEST(EventWaits, NoWorkerExhaustsTheSendBudgetAfterItsWallTime) {
    for (const Transaction& t : kTransactions) {
        SCOPED_TRACE(t.name);
        const qv::Pacing pacing = prototest::quickEventPacing();
        Rig rig(pacing);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(t.run(rig.link), -1);
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(elapsed, std::chrono::microseconds(pacing.eventBudgetMicros(t.sendBudget, t.fast)));
        EXPECT_GE(rig.host.processEventsCalls, 1);
        EXPECT_EQ(rig.worker.txLength, t.txLength);
        EXPECT_EQ(rig.worker.rxPending.load(), 0) << "no read asked for before the write is done";
    }
}

// A pulled programmer: the read fails. Polling waits out the reply budget's checks as the window
// always has; the event style ends the wait at once (its budget here would last 20 s).
TEST(EventWaits, AFailedReadEndsAnEventWaitAtOnceAndIsWaitedOutWhenPolling) {
    for (const bool event : {false, true}) {
        SCOPED_TRACE(event ? "event" : "polling");
        qv::Pacing eventPacing = qv::Pacing::event();
        eventPacing.slowCheckMicros = 10'000;
        Rig rig(event ? eventPacing : prototest::quickPacing());
        rig.plugVirtual({});
        rig.openOnly(rig.path());
        rig.faultNext(Fault::Unplug);
        const int eventsBefore = rig.host.processEventsCalls;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.link.writeFirmwareChunk(kPayload, 0, 4096), -2);
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        if (event) {
            ASSERT_GE(rig.link.pacing().eventBudgetMicros(2000, false), 10'000'000);
            EXPECT_LT(elapsed, std::chrono::seconds(2));
        } else {
            EXPECT_GE(rig.host.processEventsCalls - eventsBefore, 2000) << "the checks of the reply budget";
        }
        EXPECT_FALSE(rig.device.isOpen());
        EXPECT_EQ(rig.link.checkDataCrc(0, 0, 16), -1);
    }
}

// A worker parked after a quiet spell is woken by each request the link raises; with the park's
// own time-out out of the way, a missing wake would leave the request untaken.
TEST(EventWaits, TheLinkWakesAParkedWorkerForTheWriteAndForTheRead) {
    for (const bool event : {false, true}) {
        SCOPED_TRACE(event ? "event" : "polling");
        // Polling with 20 ms pauses leaves the worker idle long enough to park between the write
        // and the read as well; both styles find it parked before the write.
        qv::Pacing pacing = event ? qv::Pacing::event() : qv::Pacing::standard();
        if (!event)
            pacing.slowPause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
        Rig rig(pacing);
        rig.worker.parkTimeout = std::chrono::hours(1);
        rig.plugVirtual({});
        rig.openOnly(rig.path());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const uint64_t parksBefore = rig.worker.parkCount();
        EXPECT_GE(parksBefore, 1u);
        EXPECT_EQ(rig.link.connectProgrammer(), 0);
        if (!event) {
            EXPECT_GT(rig.worker.parkCount(), parksBefore) << "parked between the write and the read";
        }
    }
}

TEST(TransactionsOnTheWire, A22BytePayloadGoesOutAs38BytesAndCommandsAs36) {
    Rig rig;
    rig.plugVirtual({});
    rig.openOnly(rig.path());
    Bytes payload(22);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(0xC0 + i);
    ASSERT_EQ(rig.link.writeDataChunk(payload.data(), 0x100, 22), 0);
    EXPECT_EQ(rig.worker.txLength, 38u);
    const uint32_t crc = qv::crc32zero(payload.data(), payload.size());
    ASSERT_EQ(rig.link.checkDataCrc(crc, 0x100, 22), 0);
    EXPECT_EQ(rig.worker.txLength, 36u);
    const std::vector<Bytes> sent = rig.requests();
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_EQ(sent[0].size(), 38u);
    EXPECT_EQ(qv::frame::getBe24(sent[0].data() + 3), 36u);
    EXPECT_EQ(Bytes(sent[0].begin() + 10, sent[0].begin() + 32), payload);
    EXPECT_EQ(sent[1].size(), 36u);
    rig.vp->withModel([&payload](vprog::DeviceModel& m) {
        EXPECT_EQ(Bytes(m.codeFlash().begin() + 0x100, m.codeFlash().begin() + 0x116), payload);
    });
}

TEST(TransactionsOnTheWire, AVanishedProgrammerIsWaitedOutThenTheDeviceIsClosed) {
    Rig rig;
    rig.plugVirtual({});
    rig.openOnly(rig.path());
    rig.faultNext(Fault::Unplug);
    rig.link.setPacing(prototest::quickPacing());
    EXPECT_EQ(rig.link.writeFirmwareChunk(kPayload, 0, 4096), -2);
    EXPECT_GE(rig.host.processEventsCalls, 2000);
    EXPECT_EQ(rig.worker.rxDone.load(), 2);
    EXPECT_FALSE(rig.device.isOpen());
    // The worker has ended: the next frame is never taken.
    EXPECT_EQ(rig.link.checkDataCrc(0, 0, 16), -1);
}

// ---------------------------------------------------------------------------------------------
// Open programmer and the handshake.

TEST(Handshake, EachModeSetsFieldsLinesAndButtons) {
    struct Case {
        uint8_t letter;
        uint32_t upboot;
        int32_t mode;
        const char* modeLine;
        bool groupEnabled;
        bool updateApp;
        bool updateBoot;
    };
    const Case cases[] = {
        {';', 0, qv::NormalWork, "Connection for normal work", true, false, false},
        {';', 1, qv::NormalWork, "Connection for normal work", true, false, true},
        {'[', 1, qv::UpdateMcuCode, "Connection for update mcu code", false, true, false},
        {'+', 1, qv::UpdateBoot, "Connection for update boot", true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, static_cast<char>(c.letter)) + " upboot " + std::to_string(c.upboot));
        prototest::WorkDir work;
        work.writeFlashIni(prototest::kTestCatalogue);
        Rig rig;
        vprog::Options options;
        options.modeLetter = c.letter;
        options.boardId = 0x0000BEEF;
        rig.plugVirtual(options);
        rig.host.upbootEnabled = c.upboot;
        qv::openProgrammer(rig.link, rig.host, QStringList{QStringLiteral("virtual:/nowhere/else.sock"), rig.path()}, 1);

        const QStringList want = {
            "Open the programmer ok...",
            c.modeLine,
            "The Board MCU&ID: 0x19710310,0x0000BEEF",
            "Boot_Version: 0x20181201",
            "App_Version:  0x20190528",
            "FlashID:  0x1C4016",
            "Connect the programmer successful",
        };
        EXPECT_EQ(rig.host.log, want);
        EXPECT_EQ(rig.link.connection().mode, c.mode);
        EXPECT_EQ(rig.link.connection().appVersion, 0x20190528u);
        EXPECT_EQ(rig.link.connection().bootVersion, 0x20181201u);
        EXPECT_EQ(rig.link.connection().boardMcu, 0x19710310u);
        EXPECT_EQ(rig.link.connection().boardId, 0x0000BEEFu);
        EXPECT_EQ(rig.link.connection().boardFlash.id, 0x1C4016u);
        EXPECT_EQ(rig.link.connection().boardFlash.size, 2097152);
        EXPECT_EQ(rig.link.connection().boardFlash.name, QStringLiteral("EN25QH16"));
        EXPECT_EQ(rig.host.groupEnabled, c.groupEnabled);
        EXPECT_EQ(rig.host.buttonsEnabledCalls.size(), c.groupEnabled ? 1u : 0u);
        EXPECT_EQ(rig.host.buttons[qv::Button::UpdateApp], c.updateApp);
        EXPECT_EQ(rig.host.buttons[qv::Button::UpdateBoot], c.updateBoot);
        EXPECT_EQ(rig.host.text(qv::TextField::BoardId), QStringLiteral("0x0000BEEF"));
        EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashId), QStringLiteral("0x1C4016"));
        EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashSize), QStringLiteral("2097152"));
        EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashName), QStringLiteral("EN25QH16"));
        EXPECT_TRUE(rig.host.criticalMessages.isEmpty());

        const std::vector<Bytes> sent = rig.requests();
        ASSERT_EQ(sent.size(), 1u);
        Bytes k(36, 0);
        qv::frame::buildConnectFrame(k.data());
        EXPECT_EQ(sent[0], k);
    }
}

TEST(Handshake, VersionsFollowTheModeLetterForTheSameBytes) {
    struct Case {
        uint8_t letter;
        uint32_t app;
        uint32_t boot;
    };
    for (const Case& c : {Case{';', 0x20190528, 0x20181201}, Case{'[', 0x20181201, 0x20190528},
                          Case{'+', 0x20181201, 0x20190528}}) {
        prototest::WorkDir work;
        prototest::ScriptedPeer peer(
            prototest::connectionReply(c.letter, 0x190528, 0x181201, 0x1C4016, 1, 2));
        ASSERT_TRUE(peer.ok());
        Rig rig;
        rig.openOnly(peer.devicePath());
        EXPECT_EQ(rig.link.connectProgrammer(), 0);
        EXPECT_EQ(rig.link.connection().appVersion, c.app);
        EXPECT_EQ(rig.link.connection().bootVersion, c.boot);
        peer.stop();
    }
}

TEST(Handshake, RefusedRepliesFailTheConnection) {
    Bytes shortOne(13, 0);  // a short reply with a sound CRC
    shortOne[0] = 0xAA;
    shortOne[1] = 0x55;
    shortOne[2] = ';';
    qv::frame::putBe32(&shortOne[9], qv::crc32zero(shortOne.data(), 9));
    Bytes badCrc = prototest::connectionReply(';', 1, 2, 3, 4, 5);
    badCrc[35] ^= 0x80;
    const uint32_t computed = qv::crc32zero(badCrc.data(), 32);
    const Bytes illegal = prototest::connectionReply('Z', 1, 2, 3, 4, 5);

    struct Case {
        const char* what;
        Bytes reply;
        int result;
        QStringList lines;  // between "Open the programmer ok..." and the failure line
    };
    const Case cases[] = {
        {"13 bytes", shortOne, -3, {}},
        {"bad crc",
         badCrc,
         -4,
         {"CRC error:" + qv::hexText(computed, 8) + "," + qv::hexText(computed ^ 0x80, 8)}},
        {"unknown letter", illegal, -5, {"Illegal connection..."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prototest::WorkDir work;
        prototest::ScriptedPeer peer(c.reply);
        ASSERT_TRUE(peer.ok());
        {
            Rig rig;
            { qv::Connection c7 = rig.link.connection(); c7.mode = 7; rig.link.setConnection(c7); }  // a refused reply leaves the mode as it was
            rig.openOnly(peer.devicePath());
            EXPECT_EQ(rig.link.connectProgrammer(), c.result);
            EXPECT_EQ(rig.host.log, c.lines);
            EXPECT_EQ(rig.link.connection().mode, 7);
            peer.stop();
        }
        // The same through the button: the failure line, the device stays open, no buttons.
        prototest::ScriptedPeer again(c.reply);
        ASSERT_TRUE(again.ok());
        Rig rig;
        qv::openProgrammer(rig.link, rig.host, QStringList{again.devicePath()}, 0);
        QStringList want = QStringList{"Open the programmer ok..."} + c.lines;
        want << "Fail to connect the programmer...";
        EXPECT_EQ(rig.host.log, want);
        EXPECT_TRUE(rig.device.isOpen());
        EXPECT_TRUE(rig.host.buttonsEnabledCalls.empty());
        EXPECT_FALSE(rig.host.buttons[qv::Button::UpdateApp]);
        again.stop();
    }
}

TEST(Handshake, AnUnlistedFlashChipStillConnects) {
    prototest::WorkDir work;
    work.writeFlashIni(prototest::kTestCatalogue);
    Rig rig;
    vprog::Options options;
    options.boardFlashId = 0xABCDEF;
    rig.plugVirtual(options);
    rig.openAndConnect();
    EXPECT_FALSE(rig.host.log.join("\n").contains("FlashID:"));
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashId), QStringLiteral("0xABCDEF"));
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashSize), QStringLiteral("0"));
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashName), QString());
    EXPECT_TRUE(rig.host.groupEnabled);
}

TEST(OpenProgrammer, OpeningTwiceSendsNoFrame) {
    prototest::WorkDir work;
    Rig rig;
    rig.plugVirtual({});
    rig.openAndConnect();
    const QStringList logBefore = rig.host.log;
    qv::openProgrammer(rig.link, rig.host, QStringList{rig.path()}, 0);
    EXPECT_EQ(rig.host.criticalMessages, QStringList{"The programmer have opened!"});
    EXPECT_EQ(rig.requestCount(), 1u);
    EXPECT_EQ(rig.host.log, logBefore);
}

TEST(OpenProgrammer, NoPathOrAFailedOpen) {
    prototest::WorkDir work;
    Rig rig;
    qv::openProgrammer(rig.link, rig.host, QStringList{}, 0);
    qv::openProgrammer(rig.link, rig.host, QStringList{"virtual:/x.sock"}, -1);
    qv::openProgrammer(rig.link, rig.host, QStringList{"virtual:/x.sock"}, 1);
    qv::openProgrammer(rig.link, rig.host, QStringList{QString()}, 0);
    EXPECT_TRUE(rig.host.criticalMessages.isEmpty());
    EXPECT_TRUE(rig.host.log.isEmpty());

    qv::openProgrammer(rig.link, rig.host, QStringList{"virtual:/nonexistent-qv/none.sock"}, 0);
    EXPECT_EQ(rig.host.criticalMessages, QStringList{"Open fail"});
    EXPECT_TRUE(rig.host.log.isEmpty());
    EXPECT_FALSE(rig.device.isOpen());
    EXPECT_FALSE(rig.worker.isRunning());
}

// A press during the handshake: with the device open it only shows the box; with the device
// closed meanwhile (the programmer went away) the operation guard keeps it from opening again
// under the running handshake.
TEST(OpenProgrammer, ASecondOpenDuringARunningOperationOnlyReportsTheOpenDevice) {
    for (const bool closedMeanwhile : {false, true}) {
        SCOPED_TRACE(closedMeanwhile ? "device closed meanwhile" : "device open");
        prototest::WorkDir work;
        Rig rig;
        vprog::Options slowWire;  // the reply takes a few milliseconds, so the wait pumps events
        slowWire.wireBytesPerSecond = 10000;
        rig.plugVirtual(slowWire);
        bool nested = false;
        rig.host.onProcessEvents = [&] {
            if (nested)
                return;
            nested = true;
            EXPECT_TRUE(rig.link.operationRunning());
            if (closedMeanwhile)
                rig.device.close();
            qv::openProgrammer(rig.link, rig.host, QStringList{rig.path()}, 0);
        };
        qv::openProgrammer(rig.link, rig.host, QStringList{rig.path()}, 0);
        EXPECT_TRUE(nested);
        EXPECT_EQ(rig.host.criticalMessages,
                  closedMeanwhile ? QStringList{} : QStringList{"The programmer have opened!"});
        // Closed at the first pumped event, the handshake's one request may or may not have left
        // before; either way the second press sends nothing of its own.
        if (closedMeanwhile)
            EXPECT_LE(rig.requestCount(), 1u);
        else
            EXPECT_EQ(rig.requestCount(), 1u);
        EXPECT_EQ(rig.host.log.count("Open the programmer ok..."), 1);
        EXPECT_EQ(rig.host.log.contains("Connect the programmer successful"), !closedMeanwhile);
        EXPECT_EQ(rig.device.isOpen(), !closedMeanwhile);
        EXPECT_FALSE(rig.link.operationRunning());
    }
}

TEST(OpenProgrammer, AfterTheProgrammerWentAwayTheButtonOpensAgain) {
    prototest::WorkDir work;
    Rig rig;
    rig.plugVirtual({});
    rig.openAndConnect();
    rig.faultNext(Fault::Unplug);
    rig.link.setPacing(prototest::quickPacing());
    EXPECT_EQ(rig.link.checkDataCrc(0, 0, 16), -2);
    ASSERT_FALSE(rig.device.isOpen());
    rig.link.setPacing(qv::Pacing::standard());
    rig.worker.wait(5000);
    ASSERT_TRUE(rig.vp->plug());
    rig.host.log.clear();
    qv::openProgrammer(rig.link, rig.host, QStringList{rig.path()}, 0);
    EXPECT_TRUE(rig.host.log.contains("Connect the programmer successful"));
    EXPECT_TRUE(rig.device.isOpen());
}

// Unplugged after the worker wrote a request but before it took the read: the read request stays
// raised. Reopening must not hand that stale read to the new worker run.
TEST(OpenProgrammer, ARequestLeftByAStoppedWorkerDoesNotBlockTheNextSession) {
    prototest::WorkDir work;
    Rig rig;
    rig.plugVirtual({});
    rig.openAndConnect();
    rig.vp->unplug();
    rig.device.close();
    rig.worker.stopAndWait();
    rig.worker.rxPending.store(1);  // the read request nobody took
    ASSERT_TRUE(rig.vp->plug());
    rig.host.log.clear();
    qv::openProgrammer(rig.link, rig.host, QStringList{rig.path()}, 0);
    ASSERT_TRUE(rig.host.log.contains("Connect the programmer successful"));
    EXPECT_EQ(rig.link.checkDataCrc(0, 0, 0), 0) << rig.host.log.join('\n').toStdString();
}

// ---------------------------------------------------------------------------------------------
// The catalogue lookup and its widgets.

TEST(FlashLookup, ReadsTheFileOnEveryLookupAndAlwaysRefreshesTheWidgets) {
    prototest::WorkDir work;
    Rig rig;
    qv::ProgrammerLink& link = rig.link;

    // No file: not found, the id with size 0 and an empty name.
    { qv::Connection old = link.connection(); old.boardFlash.size = 99; old.boardFlash.name = "OLD"; link.setConnection(old); }
    EXPECT_EQ(link.lookupFlash(qv::FlashChip::Board, 0x1C4016), 0);
    EXPECT_EQ(link.connection().boardFlash.size, 0);
    EXPECT_EQ(link.connection().boardFlash.name, QString());
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashId), "0x1C4016");
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashSize), "0");
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashName), "");

    work.writeFlashIni(prototest::kTestCatalogue);
    EXPECT_EQ(link.lookupFlash(qv::FlashChip::Target, 0x1C4016), 1);
    EXPECT_EQ(link.connection().targetFlash.size, 0x180000);
    EXPECT_EQ(link.connection().targetFlash.name, "EN25QH16");
    EXPECT_EQ(rig.host.text(qv::TextField::TargetFlashId), "0x1C4016");
    EXPECT_EQ(rig.host.text(qv::TextField::TargetFlashSize), "1572864");
    EXPECT_EQ(rig.host.text(qv::TextField::TargetFlashName), "EN25QH16");
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashName), "") << "the other chip's widgets stay";

    // An edited file counts at the next lookup; the first matching line wins.
    work.writeFlashIni("0x1C4016,1024,4096,NEWER,\n0x1C4016,512,4096,OLDER,\n");
    EXPECT_EQ(link.lookupFlash(qv::FlashChip::Board, 0x1C4016), 1);
    EXPECT_EQ(link.connection().boardFlash.size, 4194304);
    EXPECT_EQ(link.connection().boardFlash.name, "NEWER");

    // Not listed: the previous result is cleared.
    EXPECT_EQ(link.lookupFlash(qv::FlashChip::Board, 0x00EF01), 0);
    EXPECT_EQ(link.connection().boardFlash.size, 0);
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashId), "0x00EF01");
    EXPECT_EQ(rig.host.text(qv::TextField::BoardFlashName), "");
}

TEST(FlashLookup, TheShippedCatalogueKnowsTheDefaultChip) {
    prototest::WorkDir work;
    QFile shipped(QStringLiteral(QV_SOURCE_DIR "/data/Flash.ini"));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    work.writeFlashIni(shipped.readAll());
    Rig rig;
    EXPECT_EQ(rig.link.lookupFlash(qv::FlashChip::Target, 0x1C4016), 1);
    EXPECT_EQ(rig.link.connection().targetFlash.size, 2 * 1024 * 1024 - 0x80000);
    EXPECT_EQ(rig.link.lookupFlash(qv::FlashChip::Board, 0xEF4018), 1);
    EXPECT_EQ(rig.link.connection().boardFlash.size, 16 * 1024 * 1024);
}

}  // namespace
