// config.ini sits in the working directory and may hold anything. The input is read as the whole
// file; the three path lines the tool keeps must then survive being written back at exit and
// read again, as long as they hold no line end of their own.

#include "FuzzSupport.h"

#include "app/Settings.h"

#include <QBuffer>
#include <QByteArray>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    QBuffer file(&bytes);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const qv::StoredSettings read = qv::readSettings(file);

    // A line the file does not have stays empty; a later line implies the earlier ones.
    QVFUZZ_REQUIRE(read.hasMcuCodeLine || read.mcuCodeLine.isEmpty());
    QVFUZZ_REQUIRE(!read.hasUiImageLine || read.hasMcuCodeLine);
    QVFUZZ_REQUIRE(!read.hasBootCodeLine || read.hasUiImageLine);
    QVFUZZ_REQUIRE(!read.hasPowerOffLine || read.hasBootCodeLine);
    QVFUZZ_REQUIRE(read.hasPowerOffLine || !read.powerOff);

    const QString mcu = read.mcuCodeLine.trimmed();
    const QString ui = read.uiImageLine.trimmed();
    const QString boot = read.bootCodeLine.trimmed();
    QByteArray written = qv::settingsFileBytes(mcu, ui, boot, read.powerOff);
    QBuffer again(&written);
    QVFUZZ_REQUIRE(again.open(QIODevice::ReadOnly));
    const qv::StoredSettings reread = qv::readSettings(again);
    QVFUZZ_REQUIRE(reread.hasPowerOffLine && reread.powerOff == read.powerOff);
    QVFUZZ_REQUIRE(!reread.upbootEnabled);
    // Paths go out in the local 8-bit encoding; on this system that is UTF-8, which loses
    // nothing except the replacement of invalid input, which was already done on reading.
    const auto sameLine = [](const QString& before, const QString& after) {
        return before.contains(QLatin1Char('\r')) || before == after;
    };
    QVFUZZ_REQUIRE(sameLine(mcu, reread.mcuCodeLine));
    QVFUZZ_REQUIRE(sameLine(ui, reread.uiImageLine));
    QVFUZZ_REQUIRE(sameLine(boot, reread.bootCodeLine));
    return 0;
}
