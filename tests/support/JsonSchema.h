#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

namespace qvtest {

// A JSON Schema checker for the part of the language the tool's schemas use: type (a name or a
// list), const, enum, pattern, minLength, minimum, maximum, required, properties,
// additionalProperties (false), items, oneOf and local "$ref": "#/$defs/NAME". Anything else in a
// schema is an error of the schema, so that a schema never silently checks less than it says.
class JsonSchema {
  public:
    // Reads a schema file; errors() says why when it cannot.
    explicit JsonSchema(const QString& path);

    // The reasons value does not match the schema; empty when it does.
    QStringList check(const QJsonValue& value) const;
    const QStringList& errors() const { return errors_; }

  private:
    void checkAt(const QJsonValue& schema, const QJsonValue& value, const QString& where, QStringList& out) const;
    QJsonObject root_;
    QStringList errors_;
};

}  // namespace qvtest
