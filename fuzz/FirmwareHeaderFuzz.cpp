// Programmer firmware files (*.app, *.boot) are judged by their header at 0x1000-0x1007 before
// anything is written. FirmwareUpdate has no pure function for that judgement, so the input goes
// through the real "Update programmer APP" and "Update programmer Boot" bodies: the file is the
// dialog's answer, the device is open on a virtual programmer, and the transfer worker is not
// running, so a file that passes the header checks fails at its first chunk instead of being
// written. Checked: a short file and a file for another MCU are refused with their log lines and
// never reach the write loop; the version note appears exactly for the installed version; no
// update ever ends in "Update MCU is OK!!!!!!".

#include "FuzzSupport.h"

#include "app/FirmwareUpdate.h"
#include "protocol/FirmwareImage.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "support/RecordingHost.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr uint32_t kBoardMcu = 0x19710310;
constexpr uint32_t kAppVersion = 0x20190528;
constexpr uint32_t kBootVersion = 0x20181201;

void noPause() {}

// Nothing here needs Qt's events; skipping them keeps a refused write to a fraction of a
// millisecond.
class QuietHost : public qvtest::RecordingHost {
  public:
    void processEvents() override { ++processEventsCalls; }
};

struct Bench {
    QTemporaryDir files;
    std::unique_ptr<vprog::VirtualProgrammer> programmer;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;  // never started: nothing can be written
    QuietHost host;
    std::unique_ptr<qv::ProgrammerLink> link;
    std::unique_ptr<qv::FirmwareUpdate> update;
    QString path;

    Bench() {
        vprog::Options options;
        options.name = "fuzz-firmware";
        options.directory = files.path().toStdString();
        programmer = std::make_unique<vprog::VirtualProgrammer>(options);
        QVFUZZ_REQUIRE(programmer->plugged());
        QVFUZZ_REQUIRE(device.open(QString::fromStdString(programmer->devicePath())));
        worker.device = &device;
        qv::Pacing pacing;
        pacing.slowPause = &noPause;
        pacing.fastPause = &noPause;
        link = std::make_unique<qv::ProgrammerLink>(worker, device, host, pacing);
        qv::Connection connection;
        connection.boardMcu = kBoardMcu;
        connection.appVersion = kAppVersion;
        connection.bootVersion = kBootVersion;
        link->setConnection(connection);
        update = std::make_unique<qv::FirmwareUpdate>(*link, host);
        path = files.filePath(QStringLiteral("firmware.app"));
    }
};

Bench* bench = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    bench = new Bench;  // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        QFile file(bench->path);
        QVFUZZ_REQUIRE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVFUZZ_REQUIRE(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    const bool complete = size >= size_t(qv::firmware::kHeaderEnd);
    const uint32_t version = complete ? 0x20000000u | qv::frame::getBe24(data + 0x1000) : 0;
    const bool sameMcu = complete && qv::frame::getBe32(data + 0x1004) == kBoardMcu;

    for (const bool application : {true, false}) {
        qvtest::RecordingHost& host = bench->host;
        host.log.clear();
        host.fullLog.clear();
        host.fileAnswers.push_back(bench->path);
        qv::Connection connection = bench->link->connection();
        connection.mode = application ? qv::UpdateMcuCode : qv::NormalWork;
        bench->link->setConnection(connection);
        if (application)
            bench->update->updateApplication();
        else
            bench->update->updateBootLoader();

        const QStringList& log = host.fullLog;
        QVFUZZ_REQUIRE(host.fileAnswers.empty());
        QVFUZZ_REQUIRE(!log.contains(QStringLiteral("Update MCU is OK!!!!!!")));
        QVFUZZ_REQUIRE(log.contains(QStringLiteral("The firmware file is too short!")) == !complete);
        QVFUZZ_REQUIRE(log.contains(QStringLiteral("The mcu type mismatch!")) == (complete && !sameMcu));
        QVFUZZ_REQUIRE(log.contains(QStringLiteral("The same version!")) ==
                       (complete && version == (application ? kAppVersion : kBootVersion)));
        QVFUZZ_REQUIRE(log.contains(QStringLiteral("Update MCU is fail.....")) == sameMcu);
        QVFUZZ_REQUIRE(bench->update->imageData.isEmpty());
    }
    return 0;
}
