// The fault matrix: for each operation that talks to the programmer, a clean run counts its
// requests; then each fault the virtual programmer can inject is injected at each of those
// requests in turn, on a fresh programmer. Every run must end: with the operation's failure line
// when the fault broke a reply the operation relies on, with its success line when the fault does
// not touch it; never with a success line after a failed request; with the buttons where the
// operation leaves them; with no request sent after the failed one that writes anything; and with
// the programmer's memories exactly as the requests it accepted left them.
//
// Pauses: a failed wait costs its whole budget of flag checks. Once the programmer is gone (device
// closed, worker stopped), the pauses and the event pumping between checks are skipped, so that a
// 400,000-check budget ends in milliseconds; the budgets and the code paths are the operations' own. Before that, the slow pause is 100 us and the fast one the
// standard 2 us.

#include "protocol/Crc32.h"
#include "app/FirmwareUpdate.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "support/RecordingHost.h"
#include "app/TargetOperations.h"
#include "app/UiFlashOperations.h"
#include "uiflash/UiFormats.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Readable failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

using Bytes = std::vector<uint8_t>;
using vprog::Fault;

std::atomic<bool> gNoReplyPossible{false};

void slowPause() {
    if (!gNoReplyPossible.load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}
void fastPause() {
    if (!gNoReplyPossible.load(std::memory_order_relaxed))
        qv::delayMicroseconds(2);
}
qv::Pacing matrixPacing() {
    qv::Pacing pacing;
    pacing.slowPause = &slowPause;
    pacing.fastPause = &fastPause;
    return pacing;
}

// A recorder whose event pumping stops once no reply can come any more.
class MatrixHost : public qvtest::RecordingHost {
  public:
    void processEvents() override {
        if (!gNoReplyPossible.load(std::memory_order_relaxed)) {
            RecordingHost::processEvents();
        } else if (onProcessEvents) {
            onProcessEvents();
        }
    }
};

enum class Op {
    Open,
    ProgramMcu,
    VerifyMcu,
    ProgramBoot,
    VerifyBoot,
    UpdateUiImage,
    UpdateUiDiff,
    CheckUi,
    UpdateApp,
    UpdateBoot
};

struct OpCase {
    const char* name;
    Op op;
    uint8_t mode;  // the programmer's connection mode letter
};

void PrintTo(const OpCase& op, std::ostream* os) {
    *os << op.name;
}

const OpCase kOps[] = {
    {"OpenAndHandshake", Op::Open, ';'},       {"ProgramMcuCode", Op::ProgramMcu, ';'},
    {"VerifyMcuCode", Op::VerifyMcu, ';'},     {"ProgramBootCode", Op::ProgramBoot, ';'},
    {"VerifyBootCode", Op::VerifyBoot, ';'},   {"UpdateUiWhole", Op::UpdateUiImage, ';'},
    {"UpdateUiByDifference", Op::UpdateUiDiff, ';'}, {"CheckUi", Op::CheckUi, ';'},
    {"UpdateProgrammerApp", Op::UpdateApp, '['}, {"UpdateProgrammerBoot", Op::UpdateBoot, ';'},
};

const Fault kFaults[] = {Fault::NoReply,           Fault::WrongLetter,      Fault::WrongLength, Fault::BadCrc,
                         Fault::CrcStatusMismatch, Fault::TargetRunFailure, Fault::Unplug};

const char* faultName(Fault f) {
    switch (f) {
        case Fault::None: return "None";
        case Fault::NoReply: return "NoReply";
        case Fault::WrongLetter: return "WrongLetter";
        case Fault::WrongLength: return "WrongLength";
        case Fault::BadCrc: return "BadCrc";
        case Fault::CrcStatusMismatch: return "CrcStatusMismatch";
        case Fault::TargetRunFailure: return "TargetRunFailure";
        case Fault::Unplug: return "Unplug";
        case Fault::Stall: return "Stall";
    }
    return "?";
}

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = uint8_t(x >> 16);
    }
    return b;
}

// Code images of two whole blocks and a partial one that run from 0x0000A101.
Bytes codeImage(uint32_t seed) {
    Bytes image = pattern(2 * 4096 + 700, seed);
    const uint32_t running = 0x0000A101;
    for (int i = 0; i < 4; ++i)
        image[4 + i] = uint8_t(running >> (8 * i));
    return image;
}

// UI images: the old one is what the UI area holds before a difference update; the new one
// differs in its first sector and from its third sector to its end, so the difference file has
// a block of one whole piece and a block of one whole and one partial piece.
const size_t kUiLength = 3 * 4096 + 300;
Bytes oldUiImage() {
    return pattern(kUiLength, 11);
}
Bytes newUiImage() {
    Bytes image = oldUiImage();
    image[10] ^= 0x5A;
    image[2 * 4096 + 5] ^= 0xA5;
    image[kUiLength - 1] ^= 0x01;
    return image;
}

Bytes firmwareImage() {
    Bytes image = pattern(2 * 4096 + 0x100, 21);
    qv::frame::putBe24(&image[0x1000], 0x200101);
    qv::frame::putBe32(&image[0x1004], 0x19710310);
    return image;
}

struct Memories {
    Bytes code, spi, firmware;
    bool operator==(const Memories& o) const { return code == o.code && spi == o.spi && firmware == o.firmware; }
};

Memories memoriesOf(vprog::DeviceModel& m) {
    return {m.codeFlash(), m.spiFlash(), m.firmwareArea()};
}

bool isWrite(const Bytes& request) {
    return request.size() >= 3 && (request[2] == 'F' || request[2] == 'J' || request[2] == 'O');
}
bool isTargetRun(const Bytes& request) {
    return request.size() >= 7 && request[2] == 'A' && request[6] == '1';
}
char letterOf(const Bytes& request) {
    return request.size() >= 3 ? char(request[2]) : '?';
}

// Whether the fault, injected at this request, makes the transaction fail.
bool breaksTransaction(Fault fault, const Bytes& request) {
    const char letter = letterOf(request);
    switch (fault) {
        case Fault::NoReply:
        case Fault::Unplug:
        case Fault::Stall:
        case Fault::WrongLetter:
        case Fault::BadCrc: return true;
        case Fault::WrongLength: return letter != 'A';  // the target control reply's length is not judged
        case Fault::CrcStatusMismatch: return letter == 'G' || letter == 'L';
        case Fault::TargetRunFailure:
        case Fault::None: return false;
    }
    return false;
}
// Whether the virtual programmer can show the fault on this request. A status or run fault armed
// for an earlier request waits for the first request it can show on.
bool faultApplies(Fault fault, const Bytes& request) {
    if (fault == Fault::CrcStatusMismatch)
        return letterOf(request) == 'G' || letterOf(request) == 'L';
    if (fault == Fault::TargetRunFailure)
        return isTargetRun(request);
    return true;
}

// One programmer, one link, the three operation objects and a recorder, built for one run.
class Bench {
  public:
    Bench(const OpCase& op, const QString& dir) : op_(op), dir_(dir) {
        gNoReplyPossible.store(false);
        writeFile(QStringLiteral("Flash.ini"), QByteArray("[FLASH]\r\n0x1C4016,512,4096,EN25QH16,\r\n"));
        host.texts[qv::TextField::McuPath] = writeFile(QStringLiteral("mcu.bin"), codeImage(1));
        host.texts[qv::TextField::McuCodeAddr] = QStringLiteral("0xA000");
        host.texts[qv::TextField::BootPath] = writeFile(QStringLiteral("boot.bin"), codeImage(2));
        if (op.op == Op::UpdateUiDiff) {
            host.texts[qv::TextField::UiPath] =
                writeFile(QStringLiteral("ui.diff"), qv::makeDiffFile(oldUiImage(), newUiImage(), 1));
        } else {
            host.texts[qv::TextField::UiPath] = writeFile(QStringLiteral("ui.bin"), newUiImage());
        }
        worker.device = &device;
        host.onProcessEvents = [this] { watch(); };
    }
    ~Bench() {
        host.onProcessEvents = nullptr;
        if (programmer)
            programmer->unplug();
        worker.stopAndWait();
        device.close();
        programmer.reset();
        gNoReplyPossible.store(false);
    }

    vprog::Options options() const {
        vprog::Options o;
        o.name = "matrix";
        o.modeLetter = op_.mode;
        return o;
    }
    // What the memories hold before the operation starts.
    void preload(vprog::DeviceModel& m) const {
        if (op_.op == Op::UpdateUiDiff || op_.op == Op::CheckUi) {
            const Bytes old = op_.op == Op::CheckUi ? newUiImage() : oldUiImage();
            std::copy(old.begin(), old.end(), m.spiFlash().begin());
        }
        if (op_.op == Op::VerifyMcu) {
            const Bytes code = codeImage(1);
            std::copy(code.begin(), code.end(), m.codeFlash().begin() + 0xA000);
        }
        if (op_.op == Op::VerifyBoot) {
            const Bytes code = codeImage(2);
            std::copy(code.begin(), code.end(), m.codeFlash().begin());
        }
    }

    // Plugs a fresh programmer in and, for every operation but the handshake itself, opens and
    // connects it. Returns the number of requests that took.
    uint32_t connect() {
        programmer = std::make_unique<vprog::VirtualProgrammer>(options());
        EXPECT_TRUE(programmer->plugged());
        programmer->withModel([this](vprog::DeviceModel& m) { preload(m); });
        host.upbootEnabled = op_.op == Op::UpdateBoot;
        if (op_.op != Op::Open) {
            qv::openProgrammer(link, host, QStringList{path()}, 0);
            EXPECT_TRUE(host.log.contains(QStringLiteral("Connect the programmer successful")));
        }
        host.buttonsEnabledCalls.clear();
        return requestCount();
    }

    void arm(Fault fault, uint32_t atRequest) {
        armed_ = fault;
        programmer->withModel([&](vprog::DeviceModel& m) {
            m.mutableOptions().fault = fault;
            m.mutableOptions().faultAtRequest = atRequest;
        });
    }

    void run() {
        switch (op_.op) {
            case Op::Open: qv::openProgrammer(link, host, QStringList{path()}, 0); break;
            case Op::ProgramMcu: target.programMcuCode(); break;
            case Op::VerifyMcu: target.verifyMcuCode(); break;
            case Op::ProgramBoot: target.programBootCode(); break;
            case Op::VerifyBoot: target.verifyBootCode(); break;
            case Op::UpdateUiImage:
            case Op::UpdateUiDiff: ui.updateUi(); break;
            case Op::CheckUi: ui.checkUi(); break;
            case Op::UpdateApp:
                host.fileAnswers.push_back(writeFile(QStringLiteral("fw.app"), firmwareImage()));
                firmware.updateApplication();
                break;
            case Op::UpdateBoot:
                host.fileAnswers.push_back(writeFile(QStringLiteral("fw.boot"), firmwareImage()));
                firmware.updateBootLoader();
                break;
        }
    }

    uint32_t requestCount() {
        uint32_t n = 0;
        programmer->withModel([&](vprog::DeviceModel& m) { n = m.requestCount(); });
        return n;
    }
    std::vector<Bytes> requests() {
        std::vector<Bytes> log;
        programmer->withModel([&](vprog::DeviceModel& m) { log = m.requestLog(); });
        return log;
    }
    Memories memories() {
        Memories out;
        programmer->withModel([&](vprog::DeviceModel& m) { out = memoriesOf(m); });
        return out;
    }
    bool faultFired() {
        bool fired = false;
        programmer->withModel([&](vprog::DeviceModel& m) { fired = m.faultFired(); });
        return fired;
    }
    // The memories of a programmer that received these requests and nothing else.
    Memories replay(const std::vector<Bytes>& log, size_t count) const {
        vprog::DeviceModel model(options());
        preload(model);
        for (size_t i = 0; i < count && i < log.size(); ++i)
            model.handle(log[i].data(), log[i].size());
        return memoriesOf(model);
    }

    QString path() const { return QString::fromStdString(programmer->devicePath()); }
    QString lastLine() const {
        for (int i = host.log.size() - 1; i >= 0; --i) {
            if (!host.log.at(i).isEmpty())
                return host.log.at(i);
        }
        return QString();
    }

    MatrixHost host;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    qv::ProgrammerLink link{worker, device, host, matrixPacing()};
    qv::TargetOperations target{link, host};
    qv::UiFlashOperations ui{link, host};
    qv::FirmwareUpdate firmware{link, host};
    std::unique_ptr<vprog::VirtualProgrammer> programmer;
    bool removalSeen = false;

  private:
    // What the window does on a removal, and the end of waiting for replies that cannot come.
    void watch() {
        if (!removalSeen && !programmer->plugged()) {
            device.close();
            worker.stopAndWait();
            host.setButtonsEnabled(false);
            removalSeen = true;
            gNoReplyPossible.store(true);
        }
        // A programmer that stays silent is waited out with the real pauses: the worker may take
        // the read request late on a loaded machine, and a budget spun through without pauses
        // could end before it has, letting a later request through that the table assumes is
        // never answered.
    }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        const QString file = dir_ + QLatin1Char('/') + name;
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        return file;
    }
    QString writeFile(const QString& name, const Bytes& bytes) {
        return writeFile(name, QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
    }

    OpCase op_;
    QString dir_;
    Fault armed_ = Fault::None;
};

struct Lines {
    QString ok, fail;
};
// The final line of the operations that end in one.
std::optional<Lines> resultLines(Op op) {
    switch (op) {
        case Op::Open:
            return Lines{QStringLiteral("Connect the programmer successful"),
                         QStringLiteral("Fail to connect the programmer...")};
        case Op::ProgramMcu:
        case Op::ProgramBoot:
            return Lines{QStringLiteral("Program target is OK!!!!!!"), QStringLiteral("Program target is fail.....")};
        case Op::UpdateUiImage:
            return Lines{QStringLiteral("Update flash is OK!!!!!!"), QStringLiteral("Update flash is fail.....")};
        case Op::UpdateUiDiff:
            return Lines{QStringLiteral("Diff Update flash is OK!!!!!!"),
                         QStringLiteral("Diff Update flash is fail.....")};
        case Op::UpdateApp:
        case Op::UpdateBoot:
            return Lines{QStringLiteral("Update MCU is OK!!!!!!"), QStringLiteral("Update MCU is fail.....")};
        default: return std::nullopt;
    }
}
// The check lines of the operations that only compare (verify and check UI).
Lines checkLines(Op op) {
    if (op == Op::VerifyBoot)
        return {QStringLiteral("Check 310 Boot OK!"), QStringLiteral("Check 310 Boot NG!")};
    return {QStringLiteral("Check EFlash OK!"), QStringLiteral("Check EFlash NG!")};
}

std::string joined(const QStringList& lines) {
    return lines.join(QLatin1Char('\n')).toStdString();
}

class FaultMatrix : public ::testing::TestWithParam<OpCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(work.path()));  // Flash.ini is read from here
    }
    void TearDown() override { QDir::setCurrent(previous); }

    QTemporaryDir work;
    QString previous;
};

TEST_P(FaultMatrix, EveryFaultAtEveryRequestEndsInTheRightLineWithNothingWrittenAfterIt) {
    const OpCase& op = GetParam();
    const std::optional<Lines> result = resultLines(op.op);

    // The clean run: its requests, its memories, and that it succeeds at all.
    std::vector<Bytes> clean;
    Memories cleanMemories;
    uint32_t base = 0;
    {
        Bench bench(op, work.path());
        base = bench.connect();
        bench.run();
        clean = bench.requests();
        cleanMemories = bench.memories();
        if (result) {
            ASSERT_EQ(bench.lastLine(), result->ok) << joined(bench.host.log);
        } else {
            ASSERT_TRUE(bench.host.log.contains(checkLines(op.op).ok)) << joined(bench.host.log);
        }
    }
    const uint32_t count = uint32_t(clean.size()) - base;
    ASSERT_GE(count, 1u);
    std::string letters;
    for (uint32_t i = base; i < clean.size(); ++i)
        letters += letterOf(clean[i]);
    std::printf("[ matrix   ] %s: %u requests (%s) x %zu faults\n", op.name, count, letters.c_str(),
                sizeof kFaults / sizeof kFaults[0]);

    // Where the compare-only operations send their check and their target run.
    uint32_t checkAt = 0, runAt = 0, initAt = 0;
    for (uint32_t i = clean.size(); i-- > base;) {
        if (letterOf(clean[i]) == 'G')
            checkAt = i + 1;
        if (isTargetRun(clean[i]))
            runAt = i + 1;
        if (letterOf(clean[i]) == 'A' && !isTargetRun(clean[i]))
            initAt = i + 1;
    }

    for (const Fault fault : kFaults) {
        for (uint32_t k = 1; k <= count; ++k) {
            const uint32_t armedAt = base + k;  // 1-based request numbers
            uint32_t at = armedAt;
            while (at <= clean.size() && !faultApplies(fault, clean[at - 1]))
                ++at;
            const bool applies = at <= clean.size();
            if (!applies)
                at = armedAt;
            const Bytes& request = clean[at - 1];
            SCOPED_TRACE(std::string(op.name) + ": " + faultName(fault) + " armed at request " + std::to_string(k) +
                         ", shown at " + std::to_string(at - base) + " ('" + letterOf(request) + "')");

            Bench bench(op, work.path());
            ASSERT_EQ(bench.connect(), base);
            bench.arm(fault, armedAt);
            bench.run();

            const std::vector<Bytes> log = bench.requests();
            const bool fired = bench.faultFired();
            const bool broken = fired && breaksTransaction(fault, request);
            const bool noMoreReplies = broken && (fault == Fault::NoReply || fault == Fault::Unplug);
            EXPECT_EQ(fired, applies);
            EXPECT_FALSE(bench.link.operationRunning());
            EXPECT_EQ(bench.worker.noSleep.load(), 0);

            // Up to the faulty request, the same frames as in the clean run.
            ASSERT_GE(log.size(), size_t(at));
            for (uint32_t i = 0; i < at; ++i)
                ASSERT_EQ(log[i], clean[i]) << "request " << i + 1 << " differs from the clean run";

            const QString last = bench.lastLine();
            const QStringList& lines = bench.host.log;
            if (!broken) {
                // Untouched: the clean run's requests, memories and result.
                EXPECT_EQ(log, clean);
                EXPECT_TRUE(bench.memories() == cleanMemories);
                if (result) {
                    EXPECT_EQ(last, result->ok) << joined(lines);
                }
            } else {
                // Nothing that writes goes out after a failed request, and the memories hold
                // exactly what the accepted requests wrote (the faulty one itself may or may not
                // have been carried out before its reply went wrong).
                for (size_t i = at; i < log.size(); ++i)
                    EXPECT_FALSE(isWrite(log[i])) << "request " << i + 1 << " ('" << letterOf(log[i])
                                                  << "') after the failed one";
                const Memories now = bench.memories();
                EXPECT_TRUE(now == bench.replay(log, log.size()) || now == bench.replay(log, at - 1))
                    << "the memories hold more than the accepted requests wrote";

                // The update is closed by a request whose answer is not examined.
                const bool ignored = letterOf(request) == 'O';
                if (result) {
                    EXPECT_EQ(last, ignored ? result->ok : result->fail) << joined(lines);
                    EXPECT_FALSE(!ignored && lines.contains(result->ok)) << joined(lines);
                }
            }
            if (fired && fault == Fault::TargetRunFailure) {
                EXPECT_TRUE(lines.contains(QStringLiteral("Target run fail..."))) << joined(lines);
            }

            if (!result) {
                // Verify and check UI: the check passes only when its request was answered, and
                // the target is reported running only when the run request was.
                const Lines check = checkLines(op.op);
                const bool checkAnswered = !(broken && (at == checkAt || (noMoreReplies && at < checkAt)));
                EXPECT_EQ(lines.contains(check.ok), checkAnswered) << joined(lines);
                EXPECT_EQ(lines.contains(check.fail), !checkAnswered) << joined(lines);
                EXPECT_EQ(lines.contains(QStringLiteral("Init fail...")), broken && at == initAt) << joined(lines);
                const bool runAnswered = !(broken && (at == runAt || (noMoreReplies && at < runAt)));
                EXPECT_EQ(last == QStringLiteral("Target run..."), runAnswered) << joined(lines);
            }

            // Buttons: the handshake enables them only on success; the write operations enable
            // them again at their end, also after a removal; compare-only operations leave them,
            // except that a removal disables them.
            const bool removal = bench.removalSeen;
            const bool firmwareOp = op.op == Op::UpdateApp || op.op == Op::UpdateBoot;
            if (fired && fault == Fault::Unplug) {
                EXPECT_TRUE(removal);
            } else if (!firmwareOp) {  // a finished firmware update restarts the programmer
                EXPECT_FALSE(removal);
            }
            bool group = true;
            if (op.op == Op::Open)
                group = !broken;
            else if (!result)
                group = !removal;
            EXPECT_EQ(bench.host.groupEnabled, group);
            if (op.op == Op::UpdateApp && !broken) {
                EXPECT_FALSE(bench.host.buttons[qv::Button::UpdateApp]);
            }
            if (op.op == Op::UpdateBoot && !broken) {
                EXPECT_FALSE(bench.host.buttons[qv::Button::UpdateBoot]);
            }
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultMatrix, ::testing::ValuesIn(kOps),
                         [](const ::testing::TestParamInfo<OpCase>& info) { return std::string(info.param.name); });

}  // namespace
