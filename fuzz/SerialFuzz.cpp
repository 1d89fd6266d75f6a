// The "serial" object of a job step decides which bytes go into every board: where, how many and
// from which range. The input is read as that object; an accepted serial must keep its promises
// (first <= last, every number of the range becomes exactly width bytes, a patch changes only
// those bytes) and read the same when written back as JSON.

#include "FuzzSupport.h"

#include "engine/Serials.h"

#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qv::engine;
    const qvfuzz::ExactCopy input(data, size);
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(input.chars(), int(input.size())));
    const ParsedSerial parsed = parseSerial(document.isObject() ? QJsonValue(document.object()) : QJsonValue());
    QVFUZZ_REQUIRE(parsed.ok == parsed.error.isEmpty());
    if (!parsed.ok)
        return 0;
    const SerialField& field = parsed.field;
    QVFUZZ_REQUIRE(field.first <= field.last);
    const int width = field.width();
    QVFUZZ_REQUIRE(width >= 1 && width <= 19);
    for (const uint64_t value : {field.first, field.last, field.first + (field.last - field.first) / 2}) {
        const QByteArray bytes = serialBytes(field, value);
        QVFUZZ_REQUIRE(bytes.size() == width);
        // A small image holding the serial at a small offset: only its bytes change.
        SerialField near = field;
        near.offset = field.offset % 64;
        const QByteArray image(int(near.offset) + width + 3, '\xA5');
        const QByteArray patched = patchedImage(image, near, value);
        QVFUZZ_REQUIRE(patched.size() == image.size());
        QVFUZZ_REQUIRE(patched.left(int(near.offset)) == image.left(int(near.offset)));
        QVFUZZ_REQUIRE(patched.mid(int(near.offset), width) == bytes);
        QVFUZZ_REQUIRE(patched.mid(int(near.offset) + width) == image.mid(int(near.offset) + width));
    }

    // Written back in the job's own words, it reads the same.
    static const char* const kFormats[] = {"u32le", "u32be", "u64le", "ascii", "mac"};
    QString format = QLatin1String(kFormats[int(field.format)]);
    if (field.format == SerialFormat::Ascii)
        format += QStringLiteral(":%1").arg(field.asciiWidth);
    const bool mac = field.format == SerialFormat::Mac;
    const QJsonObject back{
        {QStringLiteral("offset"), QStringLiteral("0x%1").arg(field.offset, 0, 16)},
        {QStringLiteral("format"), format},
        {QStringLiteral("first"), mac ? serialText(SerialKind::Mac, field.first) : QString::number(field.first)},
        {QStringLiteral("last"), mac ? serialText(SerialKind::Mac, field.last) : QString::number(field.last)}};
    const ParsedSerial again = parseSerial(back);
    QVFUZZ_REQUIRE(again.ok);
    QVFUZZ_REQUIRE(again.field.offset == field.offset && again.field.format == field.format &&
                   again.field.asciiWidth == field.asciiWidth && again.field.first == field.first &&
                   again.field.last == field.last);
    return 0;
}
