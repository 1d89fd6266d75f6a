#include "Serials.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace qv::engine {

namespace {

constexpr uint64_t kLargestMac = (uint64_t(1) << 48) - 1;
// Numbers live in 64-bit signed columns of the record store.
constexpr uint64_t kLargestNumber = uint64_t(INT64_MAX);
constexpr int kLargestAsciiWidth = 19;

uint64_t largestValue(const SerialField& field) {
    switch (field.format) {
        case SerialFormat::U32Le:
        case SerialFormat::U32Be:
            return 0xFFFFFFFFu;
        case SerialFormat::U64Le:
            return kLargestNumber;
        case SerialFormat::Ascii: {
            uint64_t limit = 1;
            for (int i = 0; i < field.asciiWidth; ++i)
                limit *= 10;
            return limit - 1;
        }
        case SerialFormat::Mac:
            return kLargestMac;
    }
    return 0;
}

// A number of the range: a JSON integer (exact in a double) or a text of decimal digits; a MAC
// address for mac.
std::optional<uint64_t> readValue(const QJsonValue& value, bool mac) {
    if (mac) {
        static const QRegularExpression pattern(QStringLiteral("^([0-9A-Fa-f]{2}:){5}[0-9A-Fa-f]{2}\\z"));
        if (!value.isString() || !pattern.match(value.toString()).hasMatch())
            return std::nullopt;
        return value.toString().remove(QLatin1Char(':')).toULongLong(nullptr, 16);
    }
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (d < 0 || d > 9007199254740991.0 || std::floor(d) != d)
            return std::nullopt;
        return uint64_t(d);
    }
    if (value.isString()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,19}\\z"));
        if (!digits.match(value.toString()).hasMatch())
            return std::nullopt;
        bool ok = false;
        const qulonglong n = value.toString().toULongLong(&ok, 10);
        if (!ok)
            return std::nullopt;
        return n;
    }
    return std::nullopt;
}

}  // namespace

int SerialField::width() const {
    switch (format) {
        case SerialFormat::U32Le:
        case SerialFormat::U32Be:
            return 4;
        case SerialFormat::U64Le:
            return 8;
        case SerialFormat::Ascii:
            return asciiWidth;
        case SerialFormat::Mac:
            return 6;
    }
    return 0;
}

ParsedSerial parseSerial(const QJsonValue& value) {
    ParsedSerial result;
    const auto fail = [&result](const QString& why) {
        result.ok = false;
        result.error = QStringLiteral("\"serial\": ") + why;
        return result;
    };
    if (!value.isObject())
        return fail(QStringLiteral("must be an object with \"offset\", \"format\", \"first\" and \"last\""));
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        static const QStringList known = {QStringLiteral("offset"), QStringLiteral("format"), QStringLiteral("first"),
                                          QStringLiteral("last")};
        if (!known.contains(it.key()))
            return fail(QStringLiteral("unknown key \"%1\"").arg(it.key()));
    }
    SerialField& field = result.field;

    const QJsonValue format = object.value(QStringLiteral("format"));
    const QString name = format.toString();
    static const QRegularExpression ascii(QStringLiteral("^ascii:([0-9]{1,2})\\z"));
    const QRegularExpressionMatch asciiMatch = ascii.match(name);
    if (name == QLatin1String("u32le")) {
        field.format = SerialFormat::U32Le;
    } else if (name == QLatin1String("u32be")) {
        field.format = SerialFormat::U32Be;
    } else if (name == QLatin1String("u64le")) {
        field.format = SerialFormat::U64Le;
    } else if (name == QLatin1String("mac")) {
        field.format = SerialFormat::Mac;
    } else if (asciiMatch.hasMatch()) {
        field.format = SerialFormat::Ascii;
        field.asciiWidth = asciiMatch.captured(1).toInt();
        if (field.asciiWidth < 1 || field.asciiWidth > kLargestAsciiWidth)
            return fail(QStringLiteral("\"format\": ascii takes 1 to %1 digits").arg(kLargestAsciiWidth));
    } else {
        return fail(QStringLiteral("\"format\" must be u32le, u32be, u64le, ascii:N or mac"));
    }

    const QJsonValue offset = object.value(QStringLiteral("offset"));
    static const QRegularExpression hex(QStringLiteral("^0[xX][0-9A-Fa-f]{1,8}\\z"));
    if (offset.isString() && hex.match(offset.toString()).hasMatch()) {
        field.offset = uint32_t(offset.toString().mid(2).toULong(nullptr, 16));
    } else if (offset.isDouble() && offset.toDouble() >= 0 && offset.toDouble() <= 0xFFFFFFFF &&
               std::floor(offset.toDouble()) == offset.toDouble()) {
        field.offset = uint32_t(offset.toDouble());
    } else {
        return fail(QStringLiteral("\"offset\" must be \"0x\" and 1 to 8 hex digits, or a number"));
    }

    const bool mac = field.format == SerialFormat::Mac;
    const std::optional<uint64_t> first = readValue(object.value(QStringLiteral("first")), mac);
    const std::optional<uint64_t> last = readValue(object.value(QStringLiteral("last")), mac);
    const QString what = mac ? QStringLiteral("a MAC address such as \"02:00:00:00:00:10\"")
                             : QStringLiteral("a whole number");
    if (!first)
        return fail(QStringLiteral("\"first\" must be ") + what);
    if (!last)
        return fail(QStringLiteral("\"last\" must be ") + what);
    field.first = *first;
    field.last = *last;
    if (field.first > field.last)
        return fail(QStringLiteral("\"first\" is above \"last\""));
    if (field.last > largestValue(field))
        return fail(QStringLiteral("\"last\" does not fit the format %1").arg(name));
    result.ok = true;
    return result;
}

bool fitsImage(const SerialField& field, qint64 imageSize) {
    return imageSize >= 0 && uint64_t(field.offset) + uint64_t(field.width()) <= uint64_t(imageSize);
}

QString serialText(SerialKind kind, uint64_t value) {
    if (kind == SerialKind::Number)
        return QString::number(value);
    QStringList parts;
    for (int shift = 40; shift >= 0; shift -= 8)
        parts << QStringLiteral("%1").arg((value >> shift) & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(':'));
}

QByteArray serialBytes(const SerialField& field, uint64_t value) {
    QByteArray bytes;
    switch (field.format) {
        case SerialFormat::U32Le:
            for (int i = 0; i < 4; ++i)
                bytes.append(char((value >> (8 * i)) & 0xFF));
            break;
        case SerialFormat::U32Be:
            for (int i = 3; i >= 0; --i)
                bytes.append(char((value >> (8 * i)) & 0xFF));
            break;
        case SerialFormat::U64Le:
            for (int i = 0; i < 8; ++i)
                bytes.append(char((value >> (8 * i)) & 0xFF));
            break;
        case SerialFormat::Ascii:
            bytes = QByteArray::number(qulonglong(value)).rightJustified(field.asciiWidth, '0');
            break;
        case SerialFormat::Mac:
            for (int shift = 40; shift >= 0; shift -= 8)
                bytes.append(char((value >> shift) & 0xFF));
            break;
    }
    return bytes;
}

QByteArray patchedImage(const QByteArray& image, const SerialField& field, uint64_t value) {
    QByteArray patched = image;
    const QByteArray bytes = serialBytes(field, value);
    if (fitsImage(field, image.size()) && bytes.size() == field.width())
        patched.replace(int(field.offset), bytes.size(), bytes);
    return patched;
}

}  // namespace qv::engine
