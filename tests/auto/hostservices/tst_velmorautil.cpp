// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The JSON conversion utility: maps to JSON text and back, what it refuses, and how a received
// text is cut into message texts.
#include "hostservices/velmorautil_p.h"

#include <QTest>

#include <cmath>
#include <limits>

namespace {

// A type JSON cannot hold.
struct Opaque
{
    int value = 0;
};

QString key(const char *k) { return QString::fromUtf8(k); }

QVariantMap nestedMessage()
{
    return { { key("map"),
        QVariantMap { { key("inner"), QVariantMap { { key("deep"), key("x") } } },
            { key("list"),
                QVariantList { 1, key("two"), true, QVariantMap { { key("k"), key("v") } },
                    QVariantList() } } } } };
}

QString toJson(const QVariant &value)
{
    QString json;
    VelmoraUtil::QVariantToJson(value, json);
    return json;
}

} // namespace

Q_DECLARE_METATYPE(Opaque)

class tst_VelmoraUtil : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void unconvertibleValues_data();
    void unconvertibleValues();
    void notOneObject_data();
    void notOneObject();
    void split_data();
    void split();
    void loggingStringIsOneLine();
};

void tst_VelmoraUtil::roundTrip_data()
{
    QTest::addColumn<QVariantMap>("message");
    QTest::addColumn<QString>("json");
    QTest::addColumn<QVariantMap>("parsed");

    QTest::newRow("empty") << QVariantMap() << key("{}") << QVariantMap();

    const QVariantMap texts { { key("_PROTOCOL"), key("suite") }, { key("_VERSION"), key("1.0") },
        { key("text"), key("hello world") } };
    QTest::newRow("texts") << texts
                           << key(R"({"_PROTOCOL":"suite","_VERSION":"1.0","text":"hello world"})")
                           << texts;

    const QVariantMap ids { { key("_APPID"), key("a:b") }, { key("_USERID"), key("") } };
    QTest::newRow("colon and empty text") << ids << key(R"({"_APPID":"a:b","_USERID":""})") << ids;

    const QVariantMap escapes { { key("q"), key("say \"hi\" \\ / \n\t\x01") } };
    QTest::newRow("escapes") << escapes << key(R"({"q":"say \"hi\" \\ / \n\t\u0001"})") << escapes;

    const QVariantMap braces { { key("b"), key("}{][,:") } };
    QTest::newRow("braces in text") << braces << key(R"({"b":"}{][,:"})") << braces;

    const QVariantMap nonAscii { { key("name"), key("Gr\u00fc\u00dfe \u4e2d\u6587 \U0001F600") },
        { key("\u043a\u043b\u044e\u0447"), key("\u00e9") } };
    QTest::newRow("non-ASCII") << nonAscii
                               << key("{\"name\":\"Gr\u00fc\u00dfe \u4e2d\u6587 "
                                      "\U0001F600\",\"\u043a\u043b\u044e\u0447\":\"\u00e9\"}")
                               << nonAscii;

    const QVariantMap numbers { { key("int"), 42 }, { key("negative"), -7 },
        { key("int64"), qint64(1) << 53 }, { key("double"), 1.5 }, { key("tiny"), 1e-300 },
        { key("zero"), 0.0 } };
    QTest::newRow("numbers")
        << numbers
        << key(R"({"double":1.5,"int":42,"int64":9007199254740992,"negative":-7,"tiny":1e-300,"zero":0})")
        << numbers;

    const QVariantMap bools { { key("yes"), true }, { key("no"), false } };
    QTest::newRow("bools") << bools << key(R"({"no":false,"yes":true})") << bools;

    QTest::newRow("nested maps and lists")
        << nestedMessage()
        << key(R"({"map":{"inner":{"deep":"x"},"list":[1,"two",true,{"k":"v"},[]]}})")
        << nestedMessage();

    QTest::newRow("string list") << QVariantMap { { key("l"), QStringList { key("a"), key("b") } } }
                                 << key(R"({"l":["a","b"]})")
                                 << QVariantMap { { key("l"),
                                        QVariantList { key("a"), key("b") } } };

    QTest::newRow("null") << QVariantMap { { key("nothing"), QVariant() } }
                          << key(R"({"nothing":null})")
                          << QVariantMap { { key("nothing"), QVariant::fromValue(nullptr) } };

    QTest::newRow("byte array as text")
        << QVariantMap { { key("bytes"), QByteArray("abc") } } << key(R"({"bytes":"abc"})")
        << QVariantMap { { key("bytes"), key("abc") } };
}

void tst_VelmoraUtil::roundTrip()
{
    QFETCH(QVariantMap, message);
    QFETCH(QString, json);
    QFETCH(QVariantMap, parsed);

    QString written = key("stale");
    QVERIFY(VelmoraUtil::QVariantToJson(QVariant(message), written));
    QCOMPARE(written, json);

    // The target is replaced, not merged into.
    QVariantMap read { { key("stale"), key("entry") } };
    QVERIFY(VelmoraUtil::JsonToQVariantMap(written, read));
    QVERIFY2(read == parsed, qPrintable(toJson(QVariant(read))));
    // What the protocol rests on: every text comes back as the same text.
    for (auto it = message.cbegin(); it != message.cend(); ++it) {
        if (it.value().typeId() == QMetaType::QString)
            QCOMPARE(read.value(it.key()).toString(), it.value().toString());
    }
    QCOMPARE(toJson(QVariant(read)), json);
}

void tst_VelmoraUtil::unconvertibleValues_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("json");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QVariant object = QVariant::fromValue<QObject *>(this);

    QTest::newRow("object pointer beside a text")
        << QVariant(QVariantMap { { key("a"), key("x") }, { key("o"), object } })
        << key(R"({"a":"x","o":null})");
    QTest::newRow("object pointer alone") << object << key("null");
    QTest::newRow("custom type") << QVariant(
        QVariantMap { { key("c"), QVariant::fromValue(Opaque { 1 }) } })
                                 << key(R"({"c":null})");
    QTest::newRow("custom type in a list") << QVariant(
        QVariantMap { { key("l"), QVariantList { 1, QVariant::fromValue(Opaque { 2 }) } } })
                                           << key(R"({"l":[1,null]})");
    QTest::newRow("NaN") << QVariant(QVariantMap { { key("n"), nan } }) << key(R"({"n":null})");
    QTest::newRow("float NaN") << QVariant(
        QVariantMap { { key("n"), std::numeric_limits<float>::quiet_NaN() } })
                               << key(R"({"n":null})");
    QTest::newRow("infinity") << QVariant(QVariantMap { { key("i"), inf } })
                              << key(R"({"i":null})");
    QTest::newRow("negative infinity in a nested map") << QVariant(
        QVariantMap { { key("m"), QVariantMap { { key("x"), -inf } } }, { key("t"), key("kept") } })
                                                       << key(R"({"m":{"x":null},"t":"kept"})");
    QTest::newRow("NaN alone") << QVariant(nan) << key("null");
}

void tst_VelmoraUtil::unconvertibleValues()
{
    QFETCH(QVariant, value);
    QFETCH(QString, json);

    // Refused rather than written as null in silence, with a text left for the log line.
    QString written = key("stale");
    QVERIFY(!VelmoraUtil::QVariantToJson(value, written));
    QCOMPARE(written, json);
}

void tst_VelmoraUtil::notOneObject_data()
{
    QTest::addColumn<QString>("json");

    QTest::newRow("empty") << QString();
    QTest::newRow("white space only") << key(" \n\t");
    QTest::newRow("number") << key("42");
    QTest::newRow("text") << key(R"("text")");
    QTest::newRow("true") << key("true");
    QTest::newRow("null") << key("null");
    QTest::newRow("array of objects") << key(R"([{"a":1}])");
    QTest::newRow("empty array") << key("[]");
    QTest::newRow("garbage") << key("not json");
    QTest::newRow("unquoted key") << key("{a:1}");
    QTest::newRow("missing value") << key(R"({"a":})");
    QTest::newRow("trailing comma") << key(R"({"a":1,})");
    QTest::newRow("unclosed") << key(R"({"a":"b")");
    QTest::newRow("trailing text") << key(R"({"a":1} x)");
    QTest::newRow("two objects") << key(R"({"a":1}{"b":2})");
}

void tst_VelmoraUtil::notOneObject()
{
    QFETCH(QString, json);

    const QVariantMap before { { key("keep"), key("me") } };
    QVariantMap map = before;
    QVERIFY(!VelmoraUtil::JsonToQVariantMap(json, map));
    QCOMPARE(map, before);
}

void tst_VelmoraUtil::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("parts");

    const QString a = key(R"({"a":1})");
    const QString b = key(R"({"b":"two"})");
    const QString c = key(R"({"c":[true,{"d":null}]})");

    QTest::newRow("single object") << a << QStringList { a };
    QTest::newRow("single object, white space around")
        << (key(" \r\n") + a + key("\n ")) << QStringList { a };
    QTest::newRow("objects back to back") << (a + b + c) << QStringList { a, b, c };
    QTest::newRow("back to back, white space between")
        << (a + key(" \n\t") + b + key("\r\n")) << QStringList { a, b };
    QTest::newRow("array of objects")
        << (key("[") + a + key(",") + b + key("]")) << QStringList { a, b };
    QTest::newRow("array of one object") << (key("[") + c + key("]")) << QStringList { c };
    QTest::newRow("array, white space everywhere")
        << (key(" [ ") + a + key(" ,\n") + b + key(" ]\n")) << QStringList { a, b };
    QTest::newRow("nested object")
        << key(R"({"m":{"n":{"o":[1,2]}}})") << QStringList { key(R"({"m":{"n":{"o":[1,2]}}})") };

    const QString braces = key(R"({"s":"}{"})");
    const QString brackets = key(R"({"s":"]["})");
    QTest::newRow("braces inside strings") << (braces + b) << QStringList { braces, b };
    QTest::newRow("brackets inside strings, in an array")
        << (key("[") + brackets + key(",") + braces + key("]")) << QStringList { brackets, braces };

    const QString quote = key(R"({"s":"\"}{\""})");
    const QString backslash = key(R"({"s":"\\"})");
    QTest::newRow("escaped quotes") << (quote + a) << QStringList { quote, a };
    QTest::newRow("escaped backslash before the closing quote")
        << (backslash + a) << QStringList { backslash, a };

    const QString nonAscii = key("{\"\u00e4\":\"\u4e2d}\U0001F600\"}");
    QTest::newRow("non-ASCII") << (nonAscii + a) << QStringList { nonAscii, a };

    QTest::newRow("empty") << QString() << QStringList();
    QTest::newRow("white space only") << key(" \n") << QStringList();
    // What is not a message comes out as a piece of its own, for the parser to reject.
    QTest::newRow("garbage between objects")
        << (a + key("xyz") + b) << QStringList { a, key("xyz"), b };
    QTest::newRow("array holding a number")
        << key(R"([{"a":1},2])") << QStringList { key(R"([{"a":1},2])") };
}

void tst_VelmoraUtil::split()
{
    QFETCH(QString, text);
    QFETCH(QStringList, parts);

    QCOMPARE(VelmoraUtil::splitJsonArray(text), parts);
}

void tst_VelmoraUtil::loggingStringIsOneLine()
{
    const QVariantMap message { { key("lines"), key("one\ntwo") }, { key("n"), 1 } };
    QCOMPARE(VelmoraUtil::toLoggingString(message, 1), key(R"({"lines":"one\ntwo","n":1})"));

    // A huge message is cut, so it cannot flood the log.
    const QVariantMap huge { { key("big"), QString(100000, QLatin1Char('x')) } };
    const QString line = VelmoraUtil::toLoggingString(huge, 1);
    QVERIFY2(line.size() < 4096, qPrintable(QString::number(line.size())));
    QVERIFY(!line.contains(QLatin1Char('\n')));
}

QTEST_GUILESS_MAIN(tst_VelmoraUtil)
#include "tst_velmorautil.moc"
