// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// splitJsonArray and JsonToQVariantMap on arbitrary text. The pieces must be pieces of the
// input, in order and not overlapping; every piece that parses must convert back to JSON
// without loss, and that JSON must parse to the same text again (the conversion is stable).
#include "hostservices/velmorautil_p.h"

#include <QString>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QString &text)
{
    std::fprintf(
        stderr, "fuzz_jsonutil: %s: %s\n", what, qPrintable(VelmoraUtil::logExcerpt(text)));
    std::abort();
}

// Qt's parser reads a number beyond the range of a double (1E400) as infinity, which JSON
// cannot hold, so such a message parses but does not convert back. Known and accepted; every
// other parsed message must.
bool holdsNonFinite(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Double:
        return !std::isfinite(value.toDouble());
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        return std::any_of(map.cbegin(), map.cend(), holdsNonFinite);
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        return std::any_of(list.cbegin(), list.cend(), holdsNonFinite);
    }
    default:
        return false;
    }
}

void checkMessage(const QString &text)
{
    QVariantMap map;
    if (!VelmoraUtil::JsonToQVariantMap(text, map))
        return;
    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(map), json)) {
        if (holdsNonFinite(QVariant(map)))
            return;
        fail("a parsed message does not convert back", text);
    }
    QVariantMap again;
    if (!VelmoraUtil::JsonToQVariantMap(json, again))
        fail("converted text does not parse", json);
    QString json2;
    VelmoraUtil::QVariantToJson(QVariant(again), json2);
    if (json2 != json)
        fail("conversion not stable", json);
    (void)VelmoraUtil::toLoggingString(map, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    checkMessage(text);

    const QList<QString> parts = VelmoraUtil::splitJsonArray(text);
    qsizetype from = 0;
    for (const QString &part : parts) {
        const qsizetype at = text.indexOf(part, from);
        if (at < 0)
            fail("a piece that is not in the input, in order", part);
        from = at + part.size();
        checkMessage(part);
    }
    return 0;
}
