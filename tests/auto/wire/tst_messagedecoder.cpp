// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The per-connection stream reassembler on its own: where messages end, what happens to bytes
// that cannot start one, every way of cutting a stream into reads, and the size cap.
#include "wire/messagedecoder_p.h"

#include <QRegularExpression>
#include <QTest>

namespace {

// One message as "<kind>:<bytes>", kind F (frame), P (plain) or G (garbage), so that a whole
// result compares and prints as one string list.
QString describe(MessageDecoder::Kind kind, const QByteArray &bytes)
{
    const char k = kind == MessageDecoder::Kind::Frame ? 'F'
        : kind == MessageDecoder::Kind::Plain          ? 'P'
                                                       : 'G';
    return QLatin1Char(k) + QLatin1Char(':') + QString::fromLatin1(bytes);
}

void takeAll(MessageDecoder &decoder, QStringList &out)
{
    QByteArray bytes;
    MessageDecoder::Kind kind;
    while (decoder.next(bytes, kind))
        out.append(describe(kind, bytes));
}

// Feeds \a stream cut at \a cuts, taking what is whole after every piece.
QStringList feed(const QByteArray &stream, const QList<qsizetype> &cuts,
    qsizetype cap = MessageDecoder::defaultMaxMessageBytes)
{
    MessageDecoder decoder(cap);
    QStringList out;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        decoder.append(stream.mid(from, cut - from));
        takeAll(decoder, out);
        from = cut;
    }
    decoder.append(stream.mid(from));
    takeAll(decoder, out);
    return out;
}

// Garbage is handed over as far as it has arrived, so a cut inside it yields two pieces, and
// white space at the cut goes with the garbage or is skipped before the next message; joining
// neighbours without their white space makes results of different cuttings comparable.
QStringList joinGarbage(const QStringList &input)
{
    QStringList messages;
    for (const QString &m : input) {
        if (m.startsWith(QLatin1String("G:")))
            messages.append(QString(m).remove(QRegularExpression(QStringLiteral("\\s"))));
        else
            messages.append(m);
    }
    QStringList out;
    for (const QString &m : messages) {
        if (m.startsWith(QLatin1String("G:")) && !out.isEmpty()
            && out.last().startsWith(QLatin1String("G:")))
            out.last() += m.mid(2);
        else
            out.append(m);
    }
    return out;
}

QStringList list(std::initializer_list<const char *> items)
{
    QStringList out;
    for (const char *item : items)
        out.append(QString::fromLatin1(item));
    return out;
}

// A plain message that exercises the scanner: braces, brackets, quotes and backslashes inside
// strings, nesting, and multi-byte UTF-8.
const QByteArray trickyPlain = QByteArrayLiteral(
    "{\"a\":\"}{][\\\"}\",\"b\":[1,{\"c\":\"\\\\\"}],\"d\":\"\xc3\xa9\xe4\xb8\xad\"}");
const QByteArray frame = QByteArrayLiteral("[[[[[QFlVjbZr4F07wHvTvfOXWA==]]]]]");

// Messages of an exact size for the cap. The plain one holds braces, brackets and an escaped
// quote inside a string, the frame an end marker cut short, so that a scanner skipping them
// past the cap must still understand them to find the real end.
QByteArray plainOfSize(qsizetype size)
{
    QByteArray m = QByteArrayLiteral("{\"k\":[\"}}]]\\\"\",\"");
    m.append(size - m.size() - 3, 'x');
    m.append("\"]}");
    return m;
}

QByteArray frameOfSize(qsizetype size)
{
    QByteArray m = QByteArrayLiteral("[[[[[]]]]");
    m.append(size - m.size() - 5, 'A');
    m.append("]]]]]");
    return m;
}

} // namespace

class tst_MessageDecoder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void messageEnds_data();
    void messageEnds();
    void everyTwoPieceCut_data();
    void everyTwoPieceCut();
    void everyThreePieceCut();
    void sizeCap_data();
    void sizeCap();
    void sizeCapAtDefault();
};

void tst_MessageDecoder::messageEnds_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<qsizetype>("leftOver");

    QTest::newRow("plain object") << QByteArray("{\"a\":1}") << list({ "P:{\"a\":1}" })
                                  << qsizetype(0);
    QTest::newRow("plain array") << QByteArray("[1,[2],{}]") << list({ "P:[1,[2],{}]" })
                                 << qsizetype(0);
    QTest::newRow("frame") << frame
                           << QStringList { QStringLiteral("F:") + QString::fromLatin1(frame) }
                           << qsizetype(0);
    QTest::newRow("empty frame") << QByteArray("[[[[[]]]]]") << list({ "F:[[[[[]]]]]" })
                                 << qsizetype(0);
    QTest::newRow("strings hide structure")
        << trickyPlain << QStringList { QStringLiteral("P:") + QString::fromLatin1(trickyPlain) }
        << qsizetype(0);
    QTest::newRow("braces inside a frame do not count")
        << QByteArray("[[[[[{\"x\":1]]]]]{}") << list({ "F:[[[[[{\"x\":1]]]]]", "P:{}" })
        << qsizetype(0);
    QTest::newRow("three back to back")
        << QByteArray("{\"n\":1}[[[[[QUJD]]]]]{\"n\":3}")
        << list({ "P:{\"n\":1}", "F:[[[[[QUJD]]]]]", "P:{\"n\":3}" }) << qsizetype(0);
    QTest::newRow("white space between and after")
        << QByteArray(" \r\n\t{}\n[[[[[QUJD]]]]]\r\n ") << list({ "P:{}", "F:[[[[[QUJD]]]]]" })
        << qsizetype(0);
    QTest::newRow("garbage before an object")
        << QByteArray("hello{}") << list({ "G:hello", "P:{}" }) << qsizetype(0);
    QTest::newRow("garbage before a frame")
        << QByteArray("xx[[[[[QUJD]]]]]") << list({ "G:xx", "F:[[[[[QUJD]]]]]" }) << qsizetype(0);
    QTest::newRow("stray end marker") << QByteArray("]]]]][[[[[QUJD]]]]]")
                                      << list({ "G:]]]]]", "F:[[[[[QUJD]]]]]" }) << qsizetype(0);
    QTest::newRow("stray closing brace")
        << QByteArray("}{}") << list({ "G:}", "P:{}" }) << qsizetype(0);
    QTest::newRow("garbage after a message")
        << QByteArray("{}tail") << list({ "P:{}", "G:tail" }) << qsizetype(0);
    QTest::newRow("four brackets are plain")
        << QByteArray("[[[[1]]]]{}") << list({ "P:[[[[1]]]]", "P:{}" }) << qsizetype(0);
    const QByteArray odd("{\"a\":\"\0\xff\"}", 10);
    QTest::newRow("bytes are not interpreted")
        << odd + "{}"
        << QStringList { QStringLiteral("P:") + QString::fromLatin1(odd), QStringLiteral("P:{}") }
        << qsizetype(0);
    QTest::newRow("unfinished object waits")
        << QByteArray("{}{\"a\":") << list({ "P:{}" }) << qsizetype(5);
    QTest::newRow("unfinished string waits")
        << QByteArray("{\"a\":\"}") << QStringList() << qsizetype(7);
    QTest::newRow("escape at the end waits")
        << QByteArray("{\"a\":\"\\") << QStringList() << qsizetype(7);
    QTest::newRow("part of a start marker waits")
        << QByteArray("{}[[[") << list({ "P:{}" }) << qsizetype(3);
    QTest::newRow("unfinished frame waits")
        << QByteArray("[[[[[QUJD]]]") << QStringList() << qsizetype(12);
}

void tst_MessageDecoder::messageEnds()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, messages);
    QFETCH(qsizetype, leftOver);

    MessageDecoder decoder;
    decoder.append(stream);
    QStringList out;
    takeAll(decoder, out);
    QCOMPARE(out, messages);
    QCOMPARE(decoder.bufferedBytes(), leftOver);
    QVERIFY(!decoder.takeDroppedFlag());
    // Nothing more comes out of the same bytes.
    takeAll(decoder, out);
    QCOMPARE(out, messages);
}

void tst_MessageDecoder::everyTwoPieceCut_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::newRow("plain") << trickyPlain + trickyPlain;
    QTest::newRow("framed") << frame + frame + QByteArray("[[[[[]]]]]");
    QTest::newRow("arrays") << QByteArray("[[1,2],[\"]]]]]\"]][[[[[QUJD]]]]]");
    QTest::newRow("with garbage and white space") << QByteArray("junk ") + trickyPlain
            + QByteArray("\r\n]]]") + frame + QByteArray("\n{\"e\":\"\\\\\\\"\"}");
}

// A stream cut at every byte position into two reads gives the same messages as one read,
// each whole and exactly once; so does a stream fed byte by byte.
void tst_MessageDecoder::everyTwoPieceCut()
{
    QFETCH(QByteArray, stream);
    const QStringList whole = feed(stream, {});
    QVERIFY(whole.size() >= 2);
    const QStringList joined = joinGarbage(whole);
    for (qsizetype cut = 0; cut <= stream.size(); ++cut)
        QCOMPARE(joinGarbage(feed(stream, { cut })), joined);

    QList<qsizetype> everyByte;
    for (qsizetype i = 1; i < stream.size(); ++i)
        everyByte.append(i);
    QCOMPARE(joinGarbage(feed(stream, everyByte)), joined);
}

void tst_MessageDecoder::everyThreePieceCut()
{
    const QByteArray stream = trickyPlain + frame + QByteArray("[[[[[]]]]]{}");
    const QStringList whole = feed(stream, {});
    QCOMPARE(whole.size(), 4);
    for (qsizetype a = 0; a <= stream.size(); ++a) {
        for (qsizetype b = a; b <= stream.size(); ++b)
            QCOMPARE(feed(stream, { a, b }), whole);
    }
}

void tst_MessageDecoder::sizeCap_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<qsizetype>("chunk");

    constexpr qsizetype cap = 64;
    for (qsizetype chunk : { qsizetype(1), qsizetype(7), qsizetype(1000) }) {
        QTest::addRow("plain at the cap, chunk %lld", qlonglong(chunk))
            << plainOfSize(cap) << false << chunk;
        QTest::addRow("plain over the cap, chunk %lld", qlonglong(chunk))
            << plainOfSize(cap + 1) << true << chunk;
        QTest::addRow("plain far over, chunk %lld", qlonglong(chunk))
            << plainOfSize(50 * cap) << true << chunk;
        QTest::addRow("frame at the cap, chunk %lld", qlonglong(chunk))
            << frameOfSize(cap) << false << chunk;
        QTest::addRow("frame over the cap, chunk %lld", qlonglong(chunk))
            << frameOfSize(cap + 1) << true << chunk;
        QTest::addRow("frame far over, chunk %lld", qlonglong(chunk))
            << frameOfSize(50 * cap) << true << chunk;
    }
}

// A message longer than the cap is dropped however it is cut into reads, the decoder never
// holds much more than the cap, and the messages after it come out.
void tst_MessageDecoder::sizeCap()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, dropped);
    QFETCH(qsizetype, chunk);
    constexpr qsizetype cap = 64;

    const QByteArray after = QByteArrayLiteral("{\"after\":1}[[[[[QUJD]]]]]");
    const QByteArray stream = QByteArrayLiteral("{}") + message + after;
    MessageDecoder decoder(cap);
    QCOMPARE(decoder.maxMessageBytes(), cap);
    QStringList out;
    int droppedCount = 0;
    for (qsizetype i = 0; i < stream.size(); i += chunk) {
        decoder.append(stream.mid(i, chunk));
        takeAll(decoder, out);
        if (decoder.takeDroppedFlag())
            ++droppedCount;
        QVERIFY2(decoder.bufferedBytes() <= cap + chunk,
            qPrintable(QString::number(decoder.bufferedBytes())));
    }
    QStringList expected = list({ "P:{}" });
    if (!dropped)
        expected.append(
            QLatin1String(message[0] == '[' ? "F:" : "P:") + QString::fromLatin1(message));
    expected += list({ "P:{\"after\":1}", "F:[[[[[QUJD]]]]]" });
    QCOMPARE(out.join(QLatin1Char('|')), expected.join(QLatin1Char('|')));
    QCOMPARE(droppedCount, dropped ? 1 : 0);
    QCOMPARE(decoder.bufferedBytes(), qsizetype(0));
}

// The real cap, fed the way a connection reads (1 MiB at a time): a message one byte over
// 128 MiB is dropped without being held, and one of exactly 128 MiB comes out whole.
void tst_MessageDecoder::sizeCapAtDefault()
{
    constexpr qsizetype cap = MessageDecoder::defaultMaxMessageBytes;
    constexpr qsizetype chunk = 1024 * 1024;
    const QByteArray filler(chunk, 'x');

    for (const qsizetype size : { cap + 1, cap }) {
        MessageDecoder decoder;
        QCOMPARE(decoder.maxMessageBytes(), cap);
        QByteArray head = QByteArrayLiteral("{\"big\":\"");
        const QByteArray tail = QByteArrayLiteral("\"}{\"after\":1}");
        qsizetype remaining = size - head.size() - 2; // the 2 closing bytes come with the tail
        decoder.append(head);
        qsizetype largest = 0;
        QByteArray bytes;
        MessageDecoder::Kind kind;
        while (remaining > 0) {
            const qsizetype n = qMin(remaining, chunk);
            decoder.append(filler.constData(), n);
            remaining -= n;
            QVERIFY(!decoder.next(bytes, kind));
            largest = qMax(largest, decoder.bufferedBytes());
        }
        decoder.append(tail);
        const bool over = size > cap;
        QVERIFY(decoder.next(bytes, kind));
        QCOMPARE(decoder.takeDroppedFlag(), over);
        if (!over) {
            QCOMPARE(bytes.size(), cap);
            QVERIFY(bytes.startsWith("{\"big\":\"xxx") && bytes.endsWith("xxx\"}"));
            QVERIFY(decoder.next(bytes, kind));
        } else {
            QVERIFY2(largest <= cap + chunk, qPrintable(QString::number(largest)));
        }
        QCOMPARE(bytes, QByteArray("{\"after\":1}"));
        QVERIFY(!decoder.next(bytes, kind));
        QVERIFY(!decoder.takeDroppedFlag());
    }
}

QTEST_GUILESS_MAIN(tst_MessageDecoder)
#include "tst_messagedecoder.moc"
