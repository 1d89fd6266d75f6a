#include "JsonSchema.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>

namespace qvtest {

namespace {

bool isInteger(const QJsonValue& v) {
    return v.isDouble() && std::floor(v.toDouble()) == v.toDouble() && std::isfinite(v.toDouble());
}

bool hasType(const QJsonValue& v, const QString& type) {
    if (type == QLatin1String("object"))
        return v.isObject();
    if (type == QLatin1String("array"))
        return v.isArray();
    if (type == QLatin1String("string"))
        return v.isString();
    if (type == QLatin1String("boolean"))
        return v.isBool();
    if (type == QLatin1String("null"))
        return v.isNull();
    if (type == QLatin1String("integer"))
        return isInteger(v);
    if (type == QLatin1String("number"))
        return v.isDouble();
    return false;
}

QString shown(const QJsonValue& v) {
    if (v.isObject())
        return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
    if (v.isArray())
        return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

const QStringList kKnownKeywords = {
    QStringLiteral("$schema"), QStringLiteral("$id"), QStringLiteral("title"), QStringLiteral("description"),
    QStringLiteral("$defs"), QStringLiteral("$ref"), QStringLiteral("type"), QStringLiteral("const"),
    QStringLiteral("enum"), QStringLiteral("pattern"), QStringLiteral("minLength"), QStringLiteral("minimum"),
    QStringLiteral("maximum"), QStringLiteral("required"), QStringLiteral("properties"),
    QStringLiteral("additionalProperties"), QStringLiteral("items"), QStringLiteral("oneOf")};

}  // namespace

JsonSchema::JsonSchema(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errors_ << QStringLiteral("%1: %2").arg(path, file.errorString());
        return;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        errors_ << QStringLiteral("%1: not a JSON object (%2)").arg(path, error.errorString());
        return;
    }
    root_ = document.object();
}

QStringList JsonSchema::check(const QJsonValue& value) const {
    QStringList out = errors_;
    if (out.isEmpty())
        checkAt(root_, value, QStringLiteral("$"), out);
    return out;
}

void JsonSchema::checkAt(const QJsonValue& schemaValue, const QJsonValue& v, const QString& where,
                         QStringList& out) const {
    if (!schemaValue.isObject()) {
        out << where + QStringLiteral(": the schema is not an object");
        return;
    }
    const QJsonObject s = schemaValue.toObject();
    for (auto it = s.begin(); it != s.end(); ++it) {
        if (!kKnownKeywords.contains(it.key()))
            out << where + QStringLiteral(": the schema uses \"%1\", which this checker does not know").arg(it.key());
    }
    if (s.contains(QStringLiteral("$ref"))) {
        const QString ref = s.value(QStringLiteral("$ref")).toString();
        const QString prefix = QStringLiteral("#/$defs/");
        const QJsonValue target = root_.value(QStringLiteral("$defs")).toObject().value(ref.mid(prefix.size()));
        if (!ref.startsWith(prefix) || target.isUndefined()) {
            out << where + QStringLiteral(": unknown reference ") + ref;
            return;
        }
        checkAt(target, v, where, out);
    }
    if (s.contains(QStringLiteral("type"))) {
        const QJsonValue type = s.value(QStringLiteral("type"));
        QStringList types;
        if (type.isArray()) {
            for (const QJsonValue& t : type.toArray())
                types << t.toString();
        } else {
            types << type.toString();
        }
        bool any = false;
        for (const QString& t : types)
            any = any || hasType(v, t);
        if (!any) {
            out << where + QStringLiteral(": %1 is not of type %2").arg(shown(v), types.join(QLatin1Char('|')));
            return;
        }
    }
    if (s.contains(QStringLiteral("const")) && s.value(QStringLiteral("const")) != v)
        out << where + QStringLiteral(": %1 is not %2").arg(shown(v), shown(s.value(QStringLiteral("const"))));
    if (s.contains(QStringLiteral("enum")) && !s.value(QStringLiteral("enum")).toArray().contains(v))
        out << where + QStringLiteral(": %1 is not one of %2").arg(shown(v), shown(s.value(QStringLiteral("enum"))));
    if (v.isString()) {
        const QString text = v.toString();
        if (s.contains(QStringLiteral("pattern")) &&
            !QRegularExpression(s.value(QStringLiteral("pattern")).toString()).match(text).hasMatch())
            out << where + QStringLiteral(": \"%1\" does not match %2").arg(text, s.value(QStringLiteral("pattern")).toString());
        if (s.contains(QStringLiteral("minLength")) && text.size() < s.value(QStringLiteral("minLength")).toInt())
            out << where + QStringLiteral(": \"%1\" is too short").arg(text);
    }
    if (v.isDouble()) {
        if (s.contains(QStringLiteral("minimum")) && v.toDouble() < s.value(QStringLiteral("minimum")).toDouble())
            out << where + QStringLiteral(": %1 is below the minimum").arg(shown(v));
        if (s.contains(QStringLiteral("maximum")) && v.toDouble() > s.value(QStringLiteral("maximum")).toDouble())
            out << where + QStringLiteral(": %1 is above the maximum").arg(shown(v));
    }
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        const QJsonObject properties = s.value(QStringLiteral("properties")).toObject();
        for (const QJsonValue& key : s.value(QStringLiteral("required")).toArray()) {
            if (!o.contains(key.toString()))
                out << where + QStringLiteral(": \"%1\" is missing").arg(key.toString());
        }
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (properties.contains(it.key()))
                checkAt(properties.value(it.key()), it.value(), where + QLatin1Char('.') + it.key(), out);
            else if (s.value(QStringLiteral("additionalProperties")) == QJsonValue(false))
                out << where + QStringLiteral(": \"%1\" is not allowed here").arg(it.key());
        }
    }
    if (v.isArray() && s.contains(QStringLiteral("items"))) {
        const QJsonArray items = v.toArray();
        for (int i = 0; i < items.size(); ++i)
            checkAt(s.value(QStringLiteral("items")), items.at(i), where + QStringLiteral("[%1]").arg(i), out);
    }
    if (s.contains(QStringLiteral("oneOf"))) {
        int matching = 0;
        QStringList closest;
        for (const QJsonValue& option : s.value(QStringLiteral("oneOf")).toArray()) {
            QStringList reasons;
            checkAt(option, v, where, reasons);
            if (reasons.isEmpty())
                ++matching;
            else if (closest.isEmpty() || reasons.size() < closest.size())
                closest = reasons;
        }
        if (matching != 1) {
            out << where + QStringLiteral(": matches %1 of the schemas in oneOf").arg(matching);
            out << closest;
        }
    }
}

}  // namespace qvtest
