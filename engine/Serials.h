#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <cstdint>
#include <optional>

namespace qv::engine {

// How a board's number is written into its image.
enum class SerialFormat {
    U32Le,  // 4 bytes, little-endian
    U32Be,  // 4 bytes, big-endian
    U64Le,  // 8 bytes, little-endian
    Ascii,  // N decimal digits, zero-padded, no terminator
    Mac,    // 6 bytes, the address in order
};

// The numbers of a pool. Decimal serial numbers of every format share one kind, so that two jobs
// writing the same range in different formats still never give a number twice; MAC addresses are
// a kind of their own.
enum class SerialKind { Number, Mac };

// A job step's "serial": where and how its board's number goes into the image, and the range the
// numbers come from.
struct SerialField {
    uint32_t offset = 0;  // inside the image
    SerialFormat format = SerialFormat::U32Le;
    int asciiWidth = 0;  // Ascii: the number of digits
    uint64_t first = 0;
    uint64_t last = 0;

    SerialKind kind() const { return format == SerialFormat::Mac ? SerialKind::Mac : SerialKind::Number; }
    // Bytes written into the image.
    int width() const;
};

// A pool's state, as "qv310 serials" shows it.
struct SerialPoolState {
    SerialKind kind = SerialKind::Number;
    uint64_t first = 0;
    uint64_t last = 0;
    std::optional<uint64_t> next;  // the lowest number it would give now; none when exhausted
    qint64 used = 0;
    qint64 spoiled = 0;
    qint64 taken = 0;  // taken by a board whose run has not finished (or was killed)
};

struct ParsedSerial {
    bool ok = false;
    QString error;  // names the key at fault
    SerialField field;
};

// Reads a step's "serial" object: {"offset": "0x100", "format": "u32le", "first": 1000,
// "last": 1999}. offset is "0x" and hex digits, or a number; format is u32le, u32be, u64le,
// ascii:N (N 1 to 19) or mac; first and last are numbers (or decimal strings), or for mac
// "02:00:00:00:00:10" texts; first <= last and both fit the format. Whether offset lies inside
// the image is judged with the image (fitsImage).
ParsedSerial parseSerial(const QJsonValue& value);

// True when the serial's bytes lie inside an image of this size.
bool fitsImage(const SerialField& field, qint64 imageSize);

// The number as the records show it: decimal, or the MAC address "02:00:00:00:00:10".
QString serialText(SerialKind kind, uint64_t value);

// The bytes the number becomes in the image.
QByteArray serialBytes(const SerialField& field, uint64_t value);

// The image with its board's number written in (the image must hold the serial's bytes).
QByteArray patchedImage(const QByteArray& image, const SerialField& field, uint64_t value);

}  // namespace qv::engine
