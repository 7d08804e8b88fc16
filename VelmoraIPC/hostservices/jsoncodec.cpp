// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "jsoncodec_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QMetaType>

#include <cmath>
#include <cstring>
#include <limits>

namespace JsonCodec {

namespace {

    constexpr char16_t hexDigits[] = u"0123456789abcdef";

    // Returns the first of \a p .. \a end that ends a plain run of string characters: a quote, a
    // backslash or a control character. Tests four UTF-16 units at a time, since message strings
    // are long and mostly plain.
    const char16_t *findStringSpecial(const char16_t *p, const char16_t *end)
    {
        constexpr quint64 ones = 0x0001000100010001ULL;
        constexpr quint64 highs = 0x8000800080008000ULL;
        const auto hasLane = [](quint64 v, quint64 lane) {
            const quint64 x = v ^ (lane * ones);
            return ((x - ones) & ~x & highs) != 0;
        };
        const auto isSpecial = [](char16_t c) { return c == u'"' || c == u'\\' || c < 0x20; };
        while (end - p >= 4) {
            quint64 v;
            std::memcpy(&v, p, sizeof v);
            // Lanes below 0x20 borrow into their own high bit; lanes at 0x8000 and above are
            // masked by ~v. A hit may be a false alarm: the exact test decides.
            const bool control = ((v - 0x20 * ones) & ~v & highs) != 0;
            if (control || hasLane(v, u'"') || hasLane(v, u'\\')) {
                for (int i = 0; i < 4; ++i) {
                    if (isSpecial(p[i]))
                        return p + i;
                }
            }
            p += 4;
        }
        while (p != end && !isSpecial(*p))
            ++p;
        return p;
    }

    void writeString(QStringView s, QString &out)
    {
        out += u'"';
        const char16_t *p = s.utf16();
        const char16_t *end = p + s.size();
        const char16_t *run = p;
        for (; (p = findStringSpecial(p, end)) != end; ++p) {
            const char16_t c = *p;
            out.append(QStringView(run, p));
            run = p + 1;
            switch (c) {
            case u'"':
                out += QLatin1String("\\\"");
                break;
            case u'\\':
                out += QLatin1String("\\\\");
                break;
            case u'\b':
                out += QLatin1String("\\b");
                break;
            case u'\f':
                out += QLatin1String("\\f");
                break;
            case u'\n':
                out += QLatin1String("\\n");
                break;
            case u'\r':
                out += QLatin1String("\\r");
                break;
            case u'\t':
                out += QLatin1String("\\t");
                break;
            default: {
                const char16_t escape[] = { u'\\', u'u', u'0', u'0', hexDigits[(c >> 4) & 0xf],
                    hexDigits[c & 0xf] };
                out.append(QStringView(escape, 6));
                break;
            }
            }
        }
        out.append(QStringView(run, end));
        out += u'"';
    }

    bool writeDouble(double d, QString &out)
    {
        if (!std::isfinite(d)) {
            out += QLatin1String("null");
            return false;
        }
        out += QString::number(d, 'g', QLocale::FloatingPointShortest);
        return true;
    }

    bool writeMap(const QVariantMap &map, QString &out)
    {
        bool ok = true;
        out += u'{';
        bool first = true;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!first)
                out += u',';
            first = false;
            writeString(it.key(), out);
            out += u':';
            ok &= write(it.value(), out);
        }
        out += u'}';
        return ok;
    }

    bool writeList(const QVariantList &list, QString &out)
    {
        bool ok = true;
        out += u'[';
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += u',';
            ok &= write(list.at(i), out);
        }
        out += u']';
        return ok;
    }

    void writeQtJson(const QJsonDocument &doc, QString &out)
    {
        out += QString::fromUtf8(doc.toJson(QJsonDocument::Compact));
    }

} // namespace

bool write(const QVariant &value, QString &out)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        out += QLatin1String("null");
        return true;
    case QMetaType::Bool:
        out += value.toBool() ? QLatin1String("true") : QLatin1String("false");
        return true;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::LongLong:
        out += QString::number(value.toLongLong());
        return true;
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong v = value.toULongLong();
        if (v > qulonglong(std::numeric_limits<qint64>::max()))
            return writeDouble(double(v), out);
        out += QString::number(v);
        return true;
    }
    case QMetaType::Double:
    case QMetaType::Float:
        return writeDouble(value.toDouble(), out);
    case QMetaType::QString:
        writeString(*static_cast<const QString *>(value.constData()), out);
        return true;
    case QMetaType::QByteArray:
        writeString(QString::fromUtf8(value.toByteArray()), out);
        return true;
    case QMetaType::QChar:
    case QMetaType::QDate:
    case QMetaType::QTime:
    case QMetaType::QDateTime:
    case QMetaType::QUrl:
    case QMetaType::QUuid:
        writeString(value.toString(), out);
        return true;
    case QMetaType::QVariantMap:
        return writeMap(*static_cast<const QVariantMap *>(value.constData()), out);
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return writeMap(map, out);
    }
    case QMetaType::QVariantList:
        return writeList(*static_cast<const QVariantList *>(value.constData()), out);
    case QMetaType::QStringList: {
        const QStringList &list = *static_cast<const QStringList *>(value.constData());
        out += u'[';
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += u',';
            writeString(list.at(i), out);
        }
        out += u']';
        return true;
    }
    case QMetaType::QJsonValue: {
        const QJsonValue v = value.toJsonValue();
        if (v.isObject())
            writeQtJson(QJsonDocument(v.toObject()), out);
        else if (v.isArray())
            writeQtJson(QJsonDocument(v.toArray()), out);
        else
            return write(v.toVariant(), out);
        return true;
    }
    case QMetaType::QJsonObject:
        writeQtJson(QJsonDocument(value.toJsonObject()), out);
        return true;
    case QMetaType::QJsonArray:
        writeQtJson(QJsonDocument(value.toJsonArray()), out);
        return true;
    case QMetaType::QJsonDocument: {
        const QJsonDocument doc = value.toJsonDocument();
        if (doc.isNull())
            out += QLatin1String("null");
        else
            writeQtJson(doc, out);
        return true;
    }
    default:
        break;
    }
    out += QLatin1String("null");
    return false;
}

namespace {

    class Parser
    {
    public:
        explicit Parser(QStringView text) : p(text.utf16()), end(text.utf16() + text.size()) { }

        bool parseDocument(QVariantMap &map)
        {
            skipSpace();
            if (p == end || *p != u'{')
                return false;
            QVariant value;
            if (!parseObject(value, 1))
                return false;
            skipSpace();
            if (p != end)
                return false;
            map = std::move(*static_cast<QVariantMap *>(value.data()));
            return true;
        }

    private:
        void skipSpace()
        {
            while (p != end && (*p == u' ' || *p == u'\n' || *p == u'\r' || *p == u'\t'))
                ++p;
        }

        bool parseValue(QVariant &value, int depth)
        {
            if (p == end)
                return false;
            switch (*p) {
            case u'{':
                return parseObject(value, depth + 1);
            case u'[':
                return parseArray(value, depth + 1);
            case u'"': {
                QString s;
                if (!parseString(s))
                    return false;
                value = QVariant(std::move(s));
                return true;
            }
            case u't':
                return parseLiteral(u"true", QVariant(true), value);
            case u'f':
                return parseLiteral(u"false", QVariant(false), value);
            case u'n':
                return parseLiteral(u"null", QVariant::fromValue(nullptr), value);
            default:
                return parseNumber(value);
            }
        }

        bool parseLiteral(QStringView word, const QVariant &result, QVariant &value)
        {
            if (end - p < word.size() || QStringView(p, word.size()) != word)
                return false;
            p += word.size();
            value = result;
            return true;
        }

        bool parseObject(QVariant &value, int depth)
        {
            if (depth > maxDepth)
                return false;
            ++p; // '{'
            QVariantMap map;
            skipSpace();
            if (p != end && *p == u'}') {
                ++p;
                value = QVariant(std::move(map));
                return true;
            }
            for (;;) {
                skipSpace();
                if (p == end || *p != u'"')
                    return false;
                QString key;
                if (!parseString(key))
                    return false;
                skipSpace();
                if (p == end || *p != u':')
                    return false;
                ++p;
                skipSpace();
                QVariant member;
                if (!parseValue(member, depth))
                    return false;
                map.insert(key, std::move(member));
                skipSpace();
                if (p == end)
                    return false;
                if (*p == u',') {
                    ++p;
                    continue;
                }
                if (*p != u'}')
                    return false;
                ++p;
                value = QVariant(std::move(map));
                return true;
            }
        }

        bool parseArray(QVariant &value, int depth)
        {
            if (depth > maxDepth)
                return false;
            ++p; // '['
            QVariantList list;
            skipSpace();
            if (p != end && *p == u']') {
                ++p;
                value = QVariant(std::move(list));
                return true;
            }
            for (;;) {
                skipSpace();
                QVariant element;
                if (!parseValue(element, depth))
                    return false;
                list.append(std::move(element));
                skipSpace();
                if (p == end)
                    return false;
                if (*p == u',') {
                    ++p;
                    continue;
                }
                if (*p != u']')
                    return false;
                ++p;
                value = QVariant(std::move(list));
                return true;
            }
        }

        static int hexValue(char16_t c)
        {
            if (c >= u'0' && c <= u'9')
                return c - u'0';
            if (c >= u'a' && c <= u'f')
                return c - u'a' + 10;
            if (c >= u'A' && c <= u'F')
                return c - u'A' + 10;
            return -1;
        }

        bool parseString(QString &out)
        {
            ++p; // opening quote
            const char16_t *run = p;
            // Most strings hold no escape: find the closing quote first and copy once.
            p = findStringSpecial(p, end);
            if (p == end || *p < 0x20)
                return false;
            if (*p == u'"') {
                out = QStringView(run, p).toString();
                ++p;
                return true;
            }
            out = QStringView(run, p).toString();
            while (p != end) {
                const char16_t c = *p;
                if (c == u'"') {
                    ++p;
                    return true;
                }
                if (c < 0x20)
                    return false;
                if (c != u'\\') {
                    run = p;
                    p = findStringSpecial(p, end);
                    out.append(QStringView(run, p));
                    continue;
                }
                if (++p == end)
                    return false;
                switch (*p++) {
                case u'"':
                    out += u'"';
                    break;
                case u'\\':
                    out += u'\\';
                    break;
                case u'/':
                    out += u'/';
                    break;
                case u'b':
                    out += u'\b';
                    break;
                case u'f':
                    out += u'\f';
                    break;
                case u'n':
                    out += u'\n';
                    break;
                case u'r':
                    out += u'\r';
                    break;
                case u't':
                    out += u'\t';
                    break;
                case u'u': {
                    if (end - p < 4)
                        return false;
                    int code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int h = hexValue(p[i]);
                        if (h < 0)
                            return false;
                        code = code * 16 + h;
                    }
                    p += 4;
                    out += QChar(char16_t(code));
                    break;
                }
                default:
                    return false;
                }
            }
            return false;
        }

        bool parseNumber(QVariant &value)
        {
            const char16_t *start = p;
            bool integral = true;
            if (p != end && *p == u'-')
                ++p;
            if (p == end)
                return false;
            if (*p == u'0') {
                ++p;
            } else if (*p >= u'1' && *p <= u'9') {
                while (p != end && *p >= u'0' && *p <= u'9')
                    ++p;
            } else {
                return false;
            }
            if (p != end && *p == u'.') {
                integral = false;
                ++p;
                if (p == end || *p < u'0' || *p > u'9')
                    return false;
                while (p != end && *p >= u'0' && *p <= u'9')
                    ++p;
            }
            if (p != end && (*p == u'e' || *p == u'E')) {
                integral = false;
                ++p;
                if (p != end && (*p == u'+' || *p == u'-'))
                    ++p;
                if (p == end || *p < u'0' || *p > u'9')
                    return false;
                while (p != end && *p >= u'0' && *p <= u'9')
                    ++p;
            }
            const QStringView digits(start, p);
            if (integral) {
                bool ok = false;
                const qlonglong n = digits.toLongLong(&ok);
                if (ok) {
                    value = QVariant(n);
                    return true;
                }
            }
            bool ok = false;
            const double d = QLocale::c().toDouble(digits, &ok);
            if (!ok && !std::isinf(d))
                return false;
            value = QVariant(d);
            return true;
        }

        const char16_t *p;
        const char16_t *end;
    };

} // namespace

bool parseObject(QStringView text, QVariantMap &map) { return Parser(text).parseDocument(map); }

} // namespace JsonCodec
