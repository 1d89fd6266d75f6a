#include "Redact.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace qv::engine {

namespace {

const QString kHidden = QStringLiteral("***");

QString percentDecoded(const QString& text) {
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// A parameter whose value is a secret: a password, a token, a key.
bool isSecretName(const QString& name) {
    const QString n = percentDecoded(name).toLower();
    for (const char* word : {"password", "passwd", "pwd", "token", "secret", "key"}) {
        if (n.contains(QLatin1String(word)))
            return true;
    }
    return false;
}

// "scheme://" at the start: the length of it, else -1.
int schemeLength(const QString& target) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    const QRegularExpressionMatch m = scheme.match(target);
    return m.hasMatch() ? m.capturedLength() : -1;
}

// Where the user information of a URL's rest (after "scheme://") ends: the index of its '@', or
// -1 when it has none. A password may hold what a URL would have percent-encoded ('@', '/', '?'),
// so the '@' is the last one before the path or query that follows the first '@', unless the text
// before the first '/' or '?' is a plain host list (then every '@' is in the path or query).
int userInfoEnd(const QString& rest) {
    const int firstAt = rest.indexOf(QLatin1Char('@'));
    if (firstAt < 0)
        return -1;
    static const QRegularExpression authorityEnd(QStringLiteral("[/?#]"));
    const int end = rest.indexOf(authorityEnd);
    if (end >= 0 && end < firstAt) {
        static const QRegularExpression hostList(
            QStringLiteral("^(\\[[0-9A-Fa-f:.]*\\]|[^:,@\\[\\]]*)(:[0-9]*)?(,(\\[[0-9A-Fa-f:.]*\\]|[^:,@\\["
                           "\\]]*)(:[0-9]*)?)*\\z"));
        if (hostList.match(rest.left(end)).hasMatch())
            return -1;
    }
    const int limit = rest.indexOf(authorityEnd, firstAt);
    return rest.lastIndexOf(QLatin1Char('@'), limit < 0 ? -1 : limit - 1);
}

// The parts of a URL: what comes before the password, the password, and the rest; the query's
// parameters are found in the rest.
struct UrlParts {
    bool isUrl = false;
    QString head;      // "scheme://user:" or "scheme://user@" or "scheme://"
    QString password;  // as written; empty when none
    bool hasPassword = false;
    QString tail;  // "@host/db?query#fragment" (the '@' included when there was a password)
};

UrlParts splitUrl(const QString& target) {
    UrlParts p;
    const int start = schemeLength(target);
    if (start < 0)
        return p;
    p.isUrl = true;
    const QString rest = target.mid(start);
    const int at = userInfoEnd(rest);
    if (at < 0) {
        p.head = target.left(start);
        p.tail = rest;
        return p;
    }
    const QString info = rest.left(at);
    const int colon = info.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        p.head = target.left(start) + info;
        p.tail = rest.mid(at);
        return p;
    }
    p.head = target.left(start) + info.left(colon + 1);
    p.password = info.mid(colon + 1);
    p.hasPassword = true;
    p.tail = rest.mid(at);
    return p;
}

// The query of a URL's tail, with every secret parameter's value given to hide (it returns what
// to put instead); the secrets found are added to found.
QString withQuerySecrets(const QString& tail, QStringList* found) {
    const int q = tail.indexOf(QLatin1Char('?'));
    if (q < 0)
        return tail;
    QString query = tail.mid(q + 1);
    QString fragment;
    const int hash = query.indexOf(QLatin1Char('#'));
    if (hash >= 0) {
        fragment = query.mid(hash);
        query = query.left(hash);
    }
    QStringList parameters = query.split(QLatin1Char('&'));
    for (QString& parameter : parameters) {
        const int eq = parameter.indexOf(QLatin1Char('='));
        if (eq < 0 || !isSecretName(parameter.left(eq)))
            continue;
        if (found)
            *found << parameter.mid(eq + 1);
        parameter = parameter.left(eq + 1) + kHidden;
    }
    return tail.left(q + 1) + parameters.join(QLatin1Char('&')) + fragment;
}

// libpq's keyword form: "keyword = value" pairs, a value plain (backslash escapes) or in single
// quotes.
const QRegularExpression& keywordPair() {
    static const QRegularExpression pair(QStringLiteral(
        "(?<![\\w'\\\\])([A-Za-z_][A-Za-z0-9_]*)(\\s*=\\s*)('(?:[^'\\\\]|\\\\.)*'?|(?:[^\\s'\\\\]|\\\\.)*)"));
    return pair;
}

bool isKeywordForm(const QString& target) {
    static const QRegularExpression start(QStringLiteral("^\\s*[A-Za-z_][A-Za-z0-9_]*\\s*="));
    return start.match(target).hasMatch();
}

QString unquoted(const QString& value) {
    QString v = value;
    if (v.startsWith(QLatin1Char('\'')))
        v = v.mid(1, v.endsWith(QLatin1Char('\'')) && v.size() > 1 ? v.size() - 2 : -1);
    v.replace(QRegularExpression(QStringLiteral("\\\\(.)")), QStringLiteral("\\1"));
    return v;
}

QString keywordFormRedacted(const QString& target, QStringList* found) {
    QString out;
    int copied = 0;
    QRegularExpressionMatchIterator it = keywordPair().globalMatch(target);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (!isSecretName(m.captured(1)))
            continue;
        if (found) {
            *found << m.captured(3);
            *found << unquoted(m.captured(3));
        }
        out += target.mid(copied, m.capturedStart(3) - copied) + kHidden;
        copied = m.capturedEnd(3);
    }
    return out + target.mid(copied);
}

QString redacted(const QString& target, QStringList* found) {
    const UrlParts p = splitUrl(target);
    if (p.isUrl) {
        if (p.hasPassword && found)
            *found << p.password;
        return p.head + (p.hasPassword ? kHidden : QString()) + withQuerySecrets(p.tail, found);
    }
    if (isKeywordForm(target))
        return keywordFormRedacted(target, found);
    return target;
}

}  // namespace

QString redactConnection(const QString& target) {
    return redacted(target, nullptr);
}

QStringList connectionSecrets(const QString& target) {
    QStringList found;
    redacted(target, &found);
    QStringList secrets;
    for (const QString& s : found) {
        for (const QString& form :
             {s, percentDecoded(s), percentDecoded(QString(s).replace(QLatin1Char('+'), QLatin1Char(' ')))}) {
            if (!form.isEmpty() && form != kHidden && !secrets.contains(form))
                secrets << form;
        }
    }
    return secrets;
}

QString redactMessage(const QString& message, const QString& target) {
    QString text = message;
    if (!target.isEmpty())
        text.replace(target, redactConnection(target));
    QStringList secrets = connectionSecrets(target);
    // The longest first, so that a secret that holds another goes whole.
    std::sort(secrets.begin(), secrets.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& secret : secrets) {
        if (secret.size() >= 3)
            text.replace(secret, kHidden);
    }
    return text;
}

}  // namespace qv::engine
