// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "velmorautil_p.h"

#include "jsoncodec_p.h"

namespace {

constexpr qsizetype maxLogExcerptChars = 2048;

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

bool isSpace(QChar c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

} // namespace

bool VelmoraUtil::QVariantToJson(const QVariant &value, QString &json)
{
    json.clear();
    return JsonCodec::write(value, json);
}

bool VelmoraUtil::JsonToQVariantMap(const QString &json, QVariantMap &map)
{
    return JsonCodec::parseObject(json, map);
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
    return toLogText(QVariant(map));
}

QString VelmoraUtil::logExcerpt(const QString &text)
{
    if (text.size() <= maxLogExcerptChars)
        return text;
    return text.left(maxLogExcerptChars)
        + QStringLiteral("... (%1 characters in all)").arg(text.size());
}

QString VelmoraUtil::toLogText(const QVariant &value)
{
    QString json;
    QVariantToJson(value, json);
    return logExcerpt(json);
}
