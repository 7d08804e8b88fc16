// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The JSON codec against Qt's own JSON classes: the same texts accepted and rejected, the same
// values read, and text that Qt reads back as the value written.
#include "hostservices/jsoncodec_p.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>

namespace {

// What Qt's classes make of \a text: whether it is one JSON object, and its members.
bool qtParse(const QString &text, QVariantMap &map)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    map = doc.object().toVariantMap();
    return true;
}

QString randomString(QRandomGenerator &rng)
{
    static const char16_t pool[] = u"ab \"\\/\b\f\n\r\t\u0001\u001f\u00e9\u4e2d{}[]:,";
    QString s;
    // Long enough, now and then, for the four-at-a-time scan to meet specials at every lane.
    const int n = rng.bounded(4) == 0 ? rng.bounded(80) : rng.bounded(12);
    for (int i = 0; i < n; ++i) {
        if (rng.bounded(10) == 0) {
            s += QChar::fromUcs4(0x1F600 + rng.bounded(40)); // a surrogate pair
        } else {
            s += QChar(pool[rng.bounded(int(std::size(pool) - 1))]);
        }
    }
    return s;
}

QVariant randomValue(QRandomGenerator &rng, int depth)
{
    switch (rng.bounded(depth > 3 ? 6 : 8)) {
    case 0:
        return QVariant(rng.bounded(2) == 0);
    case 1:
        return QVariant(qlonglong(rng.generate64()) >> rng.bounded(64));
    case 2:
        return QVariant(std::ldexp(rng.generateDouble() - 0.5, rng.bounded(-60, 60)));
    case 3:
    case 4:
        return QVariant(randomString(rng));
    case 5:
        return QVariant::fromValue(nullptr);
    case 6: {
        QVariantList list;
        for (int i = rng.bounded(4); i > 0; --i)
            list.append(randomValue(rng, depth + 1));
        return list;
    }
    default: {
        QVariantMap map;
        for (int i = rng.bounded(4); i > 0; --i)
            map.insert(randomString(rng), randomValue(rng, depth + 1));
        return map;
    }
    }
}

} // namespace

class tst_JsonCodec : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sameVerdictAsQt_data();
    void sameVerdictAsQt();
    void randomMapsRoundTripThroughQt();
    void writesTheSameTextAsQt();
    void unrepresentableValues_data();
    void unrepresentableValues();
};

void tst_JsonCodec::sameVerdictAsQt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("qtIsLenient");
    const auto row = [](const char *tag, const QString &text) {
        QTest::newRow(tag) << text << false;
    };
    // Texts that are not JSON but that Qt's parser lets through; no writer produces them, and
    // we refuse them.
    const auto lenient = [](const char *tag, const QString &text) {
        QTest::newRow(tag) << text << true;
    };
    row("empty object", QStringLiteral("{}"));
    row("white space around", QStringLiteral(" \r\n\t{ } \n"));
    row("members", QStringLiteral("{\"a\":1,\"b\":\"x\",\"c\":true,\"d\":null,\"e\":false}"));
    row("nested", QStringLiteral("{\"a\":{\"b\":[1,[2,{\"c\":[]}]]}}"));
    row("escapes", QStringLiteral("{\"s\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\u4E2D\"}"));
    row("surrogate escape", QStringLiteral("{\"s\":\"\\ud83d\\ude00\"}"));
    row("raw non-ASCII", QStringLiteral("{\"\u00fc\":\"\u4e2d\U0001F600\"}"));
    row("numbers",
        QStringLiteral("{\"a\":-0,\"b\":1.5e3,\"c\":-2E-2,\"d\":9223372036854775807,"
                       "\"e\":9223372036854775808,\"f\":0.1}"));
    row("duplicate key", QStringLiteral("{\"a\":1,\"a\":2}"));
    row("empty", QString());
    row("array", QStringLiteral("[{}]"));
    row("scalar", QStringLiteral("\"x\""));
    row("trailing text", QStringLiteral("{}x"));
    row("two objects", QStringLiteral("{}{}"));
    row("trailing comma", QStringLiteral("{\"a\":1,}"));
    row("missing colon", QStringLiteral("{\"a\" 1}"));
    row("unquoted key", QStringLiteral("{a:1}"));
    row("single quotes", QStringLiteral("{'a':1}"));
    row("unclosed", QStringLiteral("{\"a\":[1,2}"));
    row("unclosed string", QStringLiteral("{\"a\":\"x}"));
    lenient("bad escape", QStringLiteral("{\"a\":\"\\x\"}"));
    row("short unicode escape", QStringLiteral("{\"a\":\"\\u12\"}"));
    row("leading zero", QStringLiteral("{\"a\":01}"));
    row("bare minus", QStringLiteral("{\"a\":-}"));
    lenient("dot without digits", QStringLiteral("{\"a\":1.}"));
    row("exponent without digits", QStringLiteral("{\"a\":1e}"));
    row("plus sign", QStringLiteral("{\"a\":+1}"));
    row("truncated literal", QStringLiteral("{\"a\":tru}"));
    lenient("control character in string", QStringLiteral("{\"a\":\"x\ny\"}"));
    row("nested 1000",
        QString(
            QStringLiteral("{\"a\":").repeated(999) + QStringLiteral("{}") + QString(999, u'}')));
    row("nested 2000",
        QString(
            QStringLiteral("{\"a\":").repeated(1999) + QStringLiteral("{}") + QString(1999, u'}')));
}

void tst_JsonCodec::sameVerdictAsQt()
{
    QFETCH(QString, text);
    QFETCH(bool, qtIsLenient);
    QVariantMap ours { { QStringLiteral("untouched"), 1 } };
    QVariantMap theirs;
    const bool qtAccepts = qtParse(text, theirs) && !qtIsLenient;
    QVERIFY(!qtIsLenient || qtParse(text, theirs));
    QCOMPARE(JsonCodec::parseObject(text, ours), qtAccepts);
    if (qtAccepts)
        QCOMPARE(ours, theirs);
    else
        QCOMPARE(
            ours, (QVariantMap { { QStringLiteral("untouched"), 1 } })); // failure leaves the map
}

void tst_JsonCodec::randomMapsRoundTripThroughQt()
{
    QRandomGenerator rng(20261211);
    for (int i = 0; i < 2000; ++i) {
        QVariantMap map;
        for (int k = rng.bounded(6); k > 0; --k)
            map.insert(randomString(rng), randomValue(rng, 0));
        QString text;
        QVERIFY(JsonCodec::write(map, text));
        QVariantMap qtRead, ourRead;
        QVERIFY2(qtParse(text, qtRead), qPrintable(text));
        QVERIFY2(JsonCodec::parseObject(text, ourRead), qPrintable(text));
        QCOMPARE(ourRead, qtRead);
        // What we read writes the same text again (JSON does not tell 1.0 from 1, and Qt
        // turns integers beyond 2^53 into doubles, so the text is the measure).
        QString again;
        QVERIFY(JsonCodec::write(ourRead, again));
        QCOMPARE(again, text);
    }
}

void tst_JsonCodec::writesTheSameTextAsQt()
{
    const QVariantMap map { { QStringLiteral("z"), QStringLiteral("last") },
        { QStringLiteral("a"), QVariantList { 1, 2.5, true, QString() } },
        { QStringLiteral("m"), QVariantMap { { QStringLiteral("k"), -3 } } },
        { QStringLiteral("\u00e9"), QStringLiteral("\"quoted\" \\ \n") } };
    QString ours;
    QVERIFY(JsonCodec::write(map, ours));
    QCOMPARE(ours,
        QString::fromUtf8(
            QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact)));
}

void tst_JsonCodec::unrepresentableValues_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("leftover");
    QTest::newRow("object pointer")
        << QVariant::fromValue(static_cast<QObject *>(this)) << QStringLiteral("{\"k\":null}");
    QTest::newRow("NaN") << QVariant(std::nan("")) << QStringLiteral("{\"k\":null}");
    QTest::newRow("infinity") << QVariant(HUGE_VAL) << QStringLiteral("{\"k\":null}");
    QTest::newRow("nested NaN") << QVariant(QVariantList { 1, std::nan("") })
                                << QStringLiteral("{\"k\":[1,null]}");
}

void tst_JsonCodec::unrepresentableValues()
{
    QFETCH(QVariant, value);
    QFETCH(QString, leftover);
    QString text;
    QVERIFY(!JsonCodec::write(QVariantMap { { QStringLiteral("k"), value } }, text));
    QCOMPARE(text, leftover); // still a text, for the log line
}

QTEST_GUILESS_MAIN(tst_JsonCodec)
#include "tst_jsoncodec.moc"
