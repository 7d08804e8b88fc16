// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QString>
#include <QStringView>
#include <QVariant>
#include <QVariantMap>

// JSON text straight from and to QVariant, without the detour through QJsonDocument's CBOR
// model, which costs several times more than the message itself on every send and receive.
// The text written and the values read are those of Qt's JSON classes: compact output with
// the members of a map in key order; integers that fit in 64 bits read back as qlonglong,
// other numbers as double, null as std::nullptr_t, objects as QVariantMap, arrays as
// QVariantList.
namespace JsonCodec {

// Appends \a value to \a out. Returns false when some value cannot be held by JSON (an object
// pointer, a custom type, a NaN or an infinity); null stands in its place.
bool write(const QVariant &value, QString &out);

// Parses \a text as one JSON object, strictly (RFC 8259, nesting at most maxDepth deep, nothing
// but white space after the object). \a map is replaced only on success.
bool parseObject(QStringView text, QVariantMap &map);

constexpr int maxDepth = 1024;

} // namespace JsonCodec
