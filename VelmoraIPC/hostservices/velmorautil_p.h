// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// The suite's JSON conversion utility, built on Qt's JSON classes.
class VelmoraUtil
{
public:
    // Writes \a value as compact JSON text. Returns false for a value JSON cannot hold (an
    // object pointer, a custom type, a NaN or infinity), and still leaves a text in \a json for
    // the log line (with null in place of what could not be written).
    static bool QVariantToJson(const QVariant &value, QString &json);

    // Parses one JSON object into \a map (the map is replaced). False for anything else:
    // invalid JSON, an array, a scalar, or text after the object.
    static bool JsonToQVariantMap(const QString &json, QVariantMap &map);

    // Cuts \a text into one text per message: objects back to back (white space between them
    // allowed) or a JSON array of objects. Braces and brackets inside strings do not count.
    // Text that is neither comes back whole as one element, for the caller's parser to reject.
    static QList<QString> splitJsonArray(const QString &text);

    // One-line rendering of \a map for a trace line; \a indent is accepted for compatibility.
    static QString toLoggingString(const QVariantMap &map, int indent);

    // Text appended to a log line: long texts are cut, so a huge or hostile message cannot
    // flood the log.
    static QString logExcerpt(const QString &text);

    // The JSON text of \a value, cut as logExcerpt() cuts it, for a log line.
    static QString toLogText(const QVariant &value);
};
