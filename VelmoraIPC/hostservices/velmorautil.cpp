// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "velmorautil_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>

#include <cmath>
#include <limits>

namespace {

constexpr qsizetype maxLogExcerptChars = 2048;

QJsonValue toJsonValue(const QVariant &value, bool &ok);

QJsonObject toJsonObject(const QVariantMap &map, bool &ok)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), toJsonValue(it.value(), ok));
    return object;
}

QJsonArray toJsonArray(const QVariantList &list, bool &ok)
{
    QJsonArray array;
    for (const QVariant &item : list)
        array.append(toJsonValue(item, ok));
    return array;
}

// Unlike QJsonValue::fromVariant, which writes null for whatever it cannot hold, this tells the
// caller: a message that silently loses a value is worse than one that is refused.
QJsonValue toJsonValue(const QVariant &value, bool &ok)
{
    const int type = value.metaType().id();
    switch (type) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return QJsonValue(QJsonValue::Null);
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::LongLong:
    case QMetaType::Long:
        return value.toLongLong();
    case QMetaType::ULongLong:
    case QMetaType::ULong: {
        const qulonglong v = value.toULongLong();
        if (v > qulonglong(std::numeric_limits<qint64>::max()))
            return double(v);
        return qint64(v);
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (!std::isfinite(d)) {
            ok = false;
            return QJsonValue(QJsonValue::Null);
        }
        return d;
    }
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QByteArray:
        return QString::fromUtf8(value.toByteArray());
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
        return toJsonArray(value.toList(), ok);
    case QMetaType::QVariantMap:
        return toJsonObject(value.toMap(), ok);
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return toJsonObject(map, ok);
    }
    case QMetaType::QJsonValue:
        return value.toJsonValue();
    case QMetaType::QJsonObject:
        return value.toJsonObject();
    case QMetaType::QJsonArray:
        return value.toJsonArray();
    case QMetaType::QJsonDocument: {
        const QJsonDocument doc = value.toJsonDocument();
        return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
    }
    case QMetaType::QChar:
    case QMetaType::QDate:
    case QMetaType::QTime:
    case QMetaType::QDateTime:
    case QMetaType::QUrl:
    case QMetaType::QUuid:
        return value.toString();
    default:
        break;
    }
    ok = false;
    return QJsonValue(QJsonValue::Null);
}

// Skips a JSON string that starts at text[i] == '"'; returns the index after its closing quote,
// or text.size() when it does not close.
qsizetype skipString(const QString &text, qsizetype i)
{
    const qsizetype n = text.size();
    for (++i; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == u'\\')
            ++i;
        else if (c == u'"')
            return i + 1;
    }
    return n;
}

// Returns the index after the value that opens at text[i] ('{' or '['), counting braces and
// brackets outside strings, or text.size() when it does not close.
qsizetype skipNested(const QString &text, qsizetype i)
{
    const qsizetype n = text.size();
    qsizetype depth = 0;
    while (i < n) {
        const QChar c = text.at(i);
        if (c == u'"') {
            i = skipString(text, i);
            continue;
        }
        if (c == u'{' || c == u'[') {
            ++depth;
        } else if (c == u'}' || c == u']') {
            if (--depth == 0)
                return i + 1;
        }
        ++i;
    }
    return n;
}

bool isSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

} // namespace

bool VelmoraUtil::QVariantToJson(const QVariant &value, QString &json)
{
    bool ok = true;
    const QJsonValue jsonValue = toJsonValue(value, ok);
    if (jsonValue.isObject()) {
        json = QString::fromUtf8(QJsonDocument(jsonValue.toObject()).toJson(QJsonDocument::Compact));
    } else if (jsonValue.isArray()) {
        json = QString::fromUtf8(QJsonDocument(jsonValue.toArray()).toJson(QJsonDocument::Compact));
    } else {
        // A scalar: write it as the only element of an array and take the brackets off.
        const QByteArray wrapped = QJsonDocument(QJsonArray{ jsonValue }).toJson(QJsonDocument::Compact);
        json = QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
    }
    return ok;
}

bool VelmoraUtil::JsonToQVariantMap(const QString &json, QVariantMap &map)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    map = doc.object().toVariantMap();
    return true;
}

QList<QString> VelmoraUtil::splitJsonArray(const QString &text)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && isSpace(text.at(i)))
        ++i;
    if (i == n)
        return {};

    QList<QString> parts;
    if (text.at(i) == u'[') {
        // A JSON array of objects: each element that is an object becomes one text.
        const qsizetype end = skipNested(text, i);
        qsizetype j = i + 1;
        bool wellFormed = true;
        while (j < end - 1) {
            const QChar c = text.at(j);
            if (isSpace(c) || c == u',') {
                ++j;
            } else if (c == u'{') {
                const qsizetype close = skipNested(text, j);
                parts.append(text.mid(j, close - j));
                j = close;
            } else {
                wellFormed = false;
                break;
            }
        }
        qsizetype rest = end;
        while (rest < n && isSpace(text.at(rest)))
            ++rest;
        if (wellFormed && rest == n && end > i && text.at(end - 1) == u']')
            return parts;
        return { text };
    }

    // Objects back to back. Whatever stands between them that is not white space becomes a
    // text of its own, so the caller rejects it and still gets the messages around it.
    while (i < n) {
        const QChar c = text.at(i);
        if (isSpace(c)) {
            ++i;
            continue;
        }
        qsizetype end;
        if (c == u'{') {
            end = skipNested(text, i);
        } else {
            end = i;
            while (end < n && text.at(end) != u'{')
                ++end;
        }
        parts.append(text.mid(i, end - i));
        i = end;
    }
    return parts;
}

QString VelmoraUtil::toLoggingString(const QVariantMap &map, int indent)
{
    Q_UNUSED(indent);
    QString json;
    QVariantToJson(QVariant(map), json);
    return logExcerpt(json);
}

QString VelmoraUtil::logExcerpt(const QString &text)
{
    if (text.size() <= maxLogExcerptChars)
        return text;
    return text.left(maxLogExcerptChars)
            + QStringLiteral("... (%1 characters in all)").arg(text.size());
}
