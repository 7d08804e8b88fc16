// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Frames and the stream functions over a real local socket pair in this process: what goes on
// the wire, messages cut into several reads or packed into one, bytes that are not messages,
// text that is not UTF-8, the size cap, and the blocking wait for one message.
#include "testsupport.h"
#include "hostservices/velmorautil_p.h"
#include "wire/framestream_p.h"
#include "wire/messagedecoder_p.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTest>

#include <thread>

using namespace TestSupport;

namespace {

QString u(const char16_t *s) { return QString::fromUtf16(s); }

// A client socket writing to the socket the server accepted for it, both in this thread.
class SocketPair
{
public:
    bool open()
    {
        name = uniqueServerName("wire");
        if (!server.listen(name))
            return false;
        writer.connectToServer(name);
        if (!writer.waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        reader = server.nextPendingConnection();
        return reader != nullptr;
    }

    // Writes \a bytes and waits until the reader's socket holds them: one read's worth, for
    // writes that fit the socket buffer.
    bool deliver(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return true;
        const qint64 before = reader->bytesAvailable();
        writer.write(bytes);
        writer.flush();
        QDeadlineTimer deadline(10000);
        while (reader->bytesAvailable() < before + bytes.size()) {
            if (deadline.hasExpired() || !reader->waitForReadyRead(int(deadline.remainingTime())))
                return false;
        }
        return true;
    }

    // Writes \a bytes of any size, reading on the other side as they come, until \a count
    // messages have been read.
    QList<ReceivedMessage> exchange(const QByteArray &bytes, qsizetype count)
    {
        writer.write(bytes);
        QList<ReceivedMessage> all;
        QDeadlineTimer deadline(30000);
        while (all.size() < count && !deadline.hasExpired()) {
            writer.flush();
            reader->waitForReadyRead(20);
            QList<ReceivedMessage> got;
            readMessages(reader, got);
            all += got;
        }
        return all;
    }

    QList<ReceivedMessage> take()
    {
        QList<ReceivedMessage> messages;
        readMessages(reader, messages);
        return messages;
    }

    QString name;
    QLocalServer server;
    QLocalSocket writer;
    QLocalSocket *reader = nullptr;
};

QStringList texts(const QList<ReceivedMessage> &messages)
{
    QStringList out;
    for (const ReceivedMessage &m : messages)
        out.append(m.decoded ? m.text : QStringLiteral("<undecoded>"));
    return out;
}

bool parses(const QString &text)
{
    QVariantMap map;
    return VelmoraUtil::JsonToQVariantMap(text, map);
}

const QString trickyJson = u(
    u"{\"a\":\"}{][\\\"}]]]]]\",\"\u00e9\u4e2d\U0001F600\":[1,{\"c\":\"\\\\\"}],\"d\":\"[[[[[\"}");

QString unavailableLine(const QString &quotedJson)
{
    return QStringLiteral("VelmoraIPCServer::sendMessage: failed to send message due to "
                          "unavailable socket: ")
        + quotedJson;
}

} // namespace

class tst_FrameStream : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void bytesOnTheWire_data();
    void bytesOnTheWire();
    void roundTrip_data();
    void roundTrip();
    void cutAtEveryByte_data();
    void cutAtEveryByte();
    void threeInOneRead_data();
    void threeInOneRead();
    void readOneLeavesTheRest();
    void bytesBeforeAMessage_data();
    void bytesBeforeAMessage();
    void undecodableMessage_data();
    void undecodableMessage();
    void sizeCap_data();
    void sizeCap();
    void sizeCapAtDefault();
    void waitForMessage_data();
    void waitForMessage();
    void nullSocket_data();
    void nullSocket();
    void unpack_data();
    void unpack();
};

void tst_FrameStream::bytesOnTheWire_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<QByteArray>("wire");
    // Cipher texts: known answers from the cipher's tests.
    QTest::newRow("{} framed") << QStringLiteral("{}") << true
                               << QByteArray("[[[[[cl9ZWJ5l+PM=]]]]]");
    QTest::newRow("{} plain") << QStringLiteral("{}") << false << QByteArray("{}");
    QTest::newRow("empty framed") << QString() << true << QByteArray("[[[[[]]]]]");
    QTest::newRow("empty plain") << QString() << false << QByteArray();
    QTest::newRow("non-ASCII plain is UTF-8")
        << u(u"{\"k\":\"\u00e9\u4e2d\U0001F600\"}") << false
        << QByteArray("{\"k\":\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\"}");
    QTest::newRow("non-ASCII framed")
        << u(u"{\"k\":\"\u4e2d\u6587 \U0001F600 \U0001D11E\"}") << true
        << QByteArray("[[[[[/wPfOjGrBQjN/jA0nokXCXMsdoTkjHkprSp4Mi5N3Dk=]]]]]");
}

void tst_FrameStream::bytesOnTheWire()
{
    QFETCH(QString, json);
    QFETCH(bool, encrypt);
    QFETCH(QByteArray, wire);
    if (json == QStringLiteral("{}"))
        QCOMPARE(wire.size(), encrypt ? 22 : 2);

    SocketPair pair;
    QVERIFY(pair.open());
    // A plain sentinel after the message shows where its bytes end, even when there are none.
    QVERIFY(sendMessage(&pair.writer, json, encrypt));
    QVERIFY(sendMessage(&pair.writer, QStringLiteral("{\"end\":1}"), false));
    QByteArray received = pair.reader->readAll();
    QDeadlineTimer deadline(10000);
    while (!received.endsWith("{\"end\":1}")
        && pair.reader->waitForReadyRead(int(deadline.remainingTime())))
        received += pair.reader->readAll();
    QCOMPARE(received, wire + "{\"end\":1}");
    QCOMPARE(encodeMessage(json, encrypt), wire);

    // Read back through the stream functions: the text itself, the empty frame included.
    QVERIFY(pair.deliver(wire + "{\"end\":2}"));
    QStringList expected = { QStringLiteral("{\"end\":2}") };
    if (!wire.isEmpty())
        expected.prepend(json);
    QCOMPARE(texts(pair.take()), expected);
}

void tst_FrameStream::roundTrip_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("encrypt");
    const QList<QPair<const char *, QString>> rows = {
        { "ASCII", QStringLiteral("{\"_REQUEST\":\"REGISTER\",\"_APPID\":\"a\"}") },
        { "non-ASCII", u(u"{\"k\":\"\u00e4\u00f6\u00fc \u65e5\u672c \U0001F600\"}") },
        { "tricky", trickyJson },
        // Larger than a local socket's buffer: arrives in many reads.
        { "1 MiB",
            QStringLiteral("{\"k\":\"") + QString(512 * 1024, QChar(0xe9))
                + QStringLiteral("\"}") },
    };
    for (const auto &row : rows) {
        QTest::addRow("%s, plain", row.first) << row.second << false;
        QTest::addRow("%s, framed", row.first) << row.second << true;
    }
}

void tst_FrameStream::roundTrip()
{
    QFETCH(QString, json);
    QFETCH(bool, encrypt);
    SocketPair pair;
    QVERIFY(pair.open());
    const QByteArray bytes = encodeMessage(json, encrypt) + encodeMessage(json, encrypt);
    const QList<ReceivedMessage> got = pair.exchange(bytes, 2);
    QCOMPARE(got.size(), 2);
    for (const ReceivedMessage &m : got) {
        QVERIFY(m.decoded);
        QVERIFY(m.text == json); // not QCOMPARE: the 1 MiB text would flood the output
    }
    QVERIFY(!hasPendingInput(pair.reader));
}

void tst_FrameStream::cutAtEveryByte_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::newRow("plain") << false;
    QTest::newRow("framed") << true;
}

// One message written in two pieces, cut at every byte position (inside markers, inside UTF-8
// sequences, inside escapes), arrives in two reads and comes out whole, exactly once.
void tst_FrameStream::cutAtEveryByte()
{
    QFETCH(bool, encrypt);
    SocketPair pair;
    QVERIFY(pair.open());
    const QByteArray bytes = encodeMessage(trickyJson, encrypt);
    QVERIFY(bytes.size() > 50);
    for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
        QVERIFY(pair.deliver(bytes.left(cut)));
        QList<ReceivedMessage> first = pair.take();
        QVERIFY(pair.deliver(bytes.mid(cut)));
        const QList<ReceivedMessage> second = pair.take();
        QCOMPARE(first.size() + second.size(), 1);
        // Only a cut after the last byte lets the first read hold the message.
        QCOMPARE(first.size(), cut == bytes.size() ? 1 : 0);
        first += second;
        QVERIFY(first.at(0).decoded);
        QCOMPARE(first.at(0).text, trickyJson);
        QVERIFY2(!hasPendingInput(pair.reader), qPrintable(QString::number(cut)));
    }
}

void tst_FrameStream::threeInOneRead_data()
{
    QTest::addColumn<QList<bool>>("modes");
    QTest::newRow("plain") << QList<bool> { false, false, false };
    QTest::newRow("framed") << QList<bool> { true, true, true };
    QTest::newRow("mixed") << QList<bool> { true, false, true };
}

void tst_FrameStream::threeInOneRead()
{
    QFETCH(QList<bool>, modes);
    SocketPair pair;
    QVERIFY(pair.open());
    const QStringList jsons = { QStringLiteral("{\"n\":1}"), trickyJson, QStringLiteral("[1,2]") };
    QByteArray bytes;
    for (int i = 0; i < 3; ++i)
        bytes += encodeMessage(jsons.at(i), modes.at(i));
    QVERIFY(pair.deliver(bytes));
    QCOMPARE(texts(pair.take()), jsons);
}

// The blocking send takes one message, the answer, and leaves what came after it to the read
// path.
void tst_FrameStream::readOneLeavesTheRest()
{
    SocketPair pair;
    QVERIFY(pair.open());
    const QStringList jsons = { QStringLiteral("{\"n\":1}"), QStringLiteral("{\"n\":2}"),
        QStringLiteral("{\"n\":3}") };
    QVERIFY(pair.deliver(encodeMessage(jsons[0], true) + encodeMessage(jsons[1], false)
        + encodeMessage(jsons[2], true)));
    ReceivedMessage message;
    bool complete = false;
    QVERIFY(readMessage(pair.reader, message, complete));
    QVERIFY(complete);
    QCOMPARE(message.text, jsons[0]);
    QVERIFY(hasPendingInput(pair.reader));
    QString text;
    QVERIFY(readMessage(pair.reader, text));
    QCOMPARE(text, jsons[1]);
    QCOMPARE(texts(pair.take()), QStringList { jsons[2] });
    QVERIFY(!hasPendingInput(pair.reader));

    // Nothing whole: no message, and the part read so far stays for later.
    QVERIFY(pair.deliver(QByteArray("{\"n\":")));
    QVERIFY(readMessage(pair.reader, message, complete));
    QVERIFY(!complete);
    QCOMPARE(message.text, QString());
    QVERIFY(pair.deliver(QByteArray("4}")));
    QVERIFY(readMessage(pair.reader, text));
    QCOMPARE(text, QStringLiteral("{\"n\":4}"));
}

void tst_FrameStream::bytesBeforeAMessage_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<QStringList>("junk"); // the texts the bytes before make of their own
    QTest::newRow("text before an object")
        << QByteArray("hello ") << false << QStringList { QStringLiteral("hello ") };
    QTest::newRow("text before a frame")
        << QByteArray("hello") << true << QStringList { QStringLiteral("hello") };
    QTest::newRow("stray end marker")
        << QByteArray("]]]]]") << true << QStringList { QStringLiteral("]]]]]") };
    QTest::newRow("stray closing brace")
        << QByteArray("}") << false << QStringList { QStringLiteral("}") };
    QTest::newRow("rest of a broken object")
        << QByteArray("\"x\":1}") << false << QStringList { QStringLiteral("\"x\":1}") };
    QTest::newRow("white space only, plain") << QByteArray(" \r\n\t") << false << QStringList();
    QTest::newRow("white space only, framed") << QByteArray("\r\n") << true << QStringList();
}

// Bytes that cannot start a message make a text of their own that does not parse, and never
// swallow or hold up the message after them.
void tst_FrameStream::bytesBeforeAMessage()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, encrypt);
    QFETCH(QStringList, junk);
    SocketPair pair;
    QVERIFY(pair.open());
    const QString json = QStringLiteral("{\"n\":1}");
    QVERIFY(pair.deliver(before + encodeMessage(json, encrypt) + "\n"));
    const QStringList got = texts(pair.take());
    QCOMPARE(got, junk + QStringList { json });
    for (const QString &text : junk)
        QVERIFY2(!parses(text), qPrintable(text));
    QVERIFY(parses(got.last()));
    QVERIFY(!hasPendingInput(pair.reader));
}

void tst_FrameStream::undecodableMessage_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::newRow("invalid UTF-8, plain") << QByteArray("{\"k\":\"\xff\xfe\"}");
    QTest::newRow("overlong UTF-8, plain") << QByteArray("{\"k\":\"\xc0\xaf\"}");
    QTest::newRow("UTF-8 surrogate, plain") << QByteArray("{\"k\":\"\xed\xa0\x80\"}");
    QTest::newRow("cut UTF-8 sequence, plain") << QByteArray("{\"k\":\"\xe4\xb8\"}");
    QTest::newRow("zero byte, plain") << QByteArray("{\"k\":\"a\0b\"}", 11);
    QTest::newRow("invalid UTF-8, framed") << QByteArray("[[[[[cl9Z\xffWJ5l+PM=]]]]]");
    QTest::newRow("zero byte, framed") << QByteArray("[[[[[cl9Z\0WJ5l+PM=]]]]]", 23);
    QTest::newRow("invalid UTF-8, garbage") << QByteArray("\xff\xfe");
}

// Such a message is handed over marked undecoded (so the caller drops it), and the message
// after it, in the same read, arrives intact.
void tst_FrameStream::undecodableMessage()
{
    QFETCH(QByteArray, bad);
    SocketPair pair;
    QVERIFY(pair.open());
    const QString next = u(u"{\"next\":\"\u00e9\"}");
    QVERIFY(pair.deliver(bad + encodeMessage(next, false) + encodeMessage(next, true)));
    const QList<ReceivedMessage> got = pair.take();
    QCOMPARE(got.size(), 3);
    QVERIFY(!got[0].decoded);
    QVERIFY(got[1].decoded);
    QCOMPARE(got[1].text, next);
    QVERIFY(got[2].decoded);
    QCOMPARE(got[2].text, next);
}

void tst_FrameStream::sizeCap_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<bool>("separateWrites");
    QTest::newRow("plain, one write") << false << false;
    QTest::newRow("plain, separate writes") << false << true;
    QTest::newRow("framed, one write") << true << false;
    QTest::newRow("framed, separate writes") << true << true;
}

// A message over the connection's cap is dropped with one level-4 line; the messages before
// and after it arrive and the connection stays usable.
void tst_FrameStream::sizeCap()
{
    QFETCH(bool, encrypt);
    QFETCH(bool, separateWrites);
    LogCapture log;
    SocketPair pair;
    QVERIFY(pair.open());
    setMaxMessageBytes(pair.reader, 1024);

    const QString small = QStringLiteral("{\"n\":1}");
    const QString big =
        QStringLiteral("{\"k\":\"") + QString(4000, QLatin1Char('x')) + QStringLiteral("\"}");
    const QString after = QStringLiteral("{\"n\":2}");
    QList<ReceivedMessage> got;
    if (separateWrites) {
        QVERIFY(pair.deliver(encodeMessage(small, encrypt)));
        got += pair.take();
        QVERIFY(pair.deliver(encodeMessage(big, encrypt)));
        got += pair.take();
        QVERIFY(pair.deliver(encodeMessage(after, encrypt)));
        got += pair.take();
    } else {
        QVERIFY(pair.deliver(encodeMessage(small, encrypt) + encodeMessage(big, encrypt)
            + encodeMessage(after, encrypt)));
        got = pair.take();
    }
    QCOMPARE(texts(got), (QStringList { small, after }));
    const QString dropLine =
        QStringLiteral("VelmoraIPCServer::readMessage: message larger than 1024 bytes dropped");
    QCOMPARE(log.texts(4), QStringList { dropLine });

    QVERIFY(sendMessage(&pair.writer, small, encrypt));
    QVERIFY(pair.reader->waitForReadyRead(10000));
    QCOMPARE(texts(pair.take()), QStringList { small });
    QCOMPARE(log.texts(4).size(), 1);
}

// The real cap of 128 MiB, with a writer in a thread of its own: a plain message one byte over
// it is dropped, and the message after it arrives.
void tst_FrameStream::sizeCapAtDefault()
{
    LogCapture log;
    const QString name = uniqueServerName("wire-cap");
    QLocalServer server;
    QVERIFY(server.listen(name));

    constexpr qsizetype cap = MessageDecoder::defaultMaxMessageBytes;
    std::atomic<bool> written { false };
    std::thread writer([&] {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (!socket.waitForConnected(10000))
            return;
        const QByteArray head("{\"big\":\"");
        const QByteArray filler(1024 * 1024, 'x');
        qsizetype remaining = cap + 1 - head.size() - 2;
        socket.write(head);
        while (remaining > 0) {
            const qsizetype n = qMin(remaining, filler.size());
            socket.write(filler.constData(), n);
            remaining -= n;
            if (!socket.waitForBytesWritten(30000))
                return;
        }
        socket.write("\"}{\"after\":1}");
        written = socket.waitForBytesWritten(30000);
        socket.waitForDisconnected(30000); // the reader closes when it is done
    });
    auto joinWriter = qScopeGuard([&] { writer.join(); });

    QVERIFY(server.waitForNewConnection(10000));
    QLocalSocket *reader = server.nextPendingConnection();
    QList<ReceivedMessage> got;
    QDeadlineTimer deadline(60000);
    while (got.isEmpty() && !deadline.hasExpired()) {
        reader->waitForReadyRead(100);
        QList<ReceivedMessage> messages;
        readMessages(reader, messages);
        got += messages;
    }
    reader->disconnectFromServer();
    joinWriter.dismiss();
    writer.join();
    QVERIFY(written);
    QCOMPARE(texts(got), QStringList { QStringLiteral("{\"after\":1}") });
    QCOMPARE(log.texts(4),
        QStringList { QStringLiteral(
            "VelmoraIPCServer::readMessage: message larger than 134217728 bytes dropped") });
}

void tst_FrameStream::waitForMessage_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::newRow("plain") << false;
    QTest::newRow("framed") << true;
}

// The answer arrives in two writes with a pause between them; the wait returns it whole and
// leaves the message after it buffered. A lost connection and a silent peer end the wait.
void tst_FrameStream::waitForMessage()
{
    QFETCH(bool, encrypt);
    const QString name = uniqueServerName("wire-wait");
    QLocalServer server;
    QVERIFY(server.listen(name));
    const QString answer = trickyJson;
    const QString later = QStringLiteral("{\"later\":1}");
    const QByteArray bytes = encodeMessage(answer, encrypt);

    std::thread writer([&] {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (!socket.waitForConnected(10000))
            return;
        socket.write(bytes.left(bytes.size() / 2));
        socket.waitForBytesWritten(10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        socket.write(bytes.mid(bytes.size() / 2) + encodeMessage(later, encrypt));
        socket.waitForBytesWritten(10000);
        socket.disconnectFromServer();
        if (socket.state() != QLocalSocket::UnconnectedState)
            socket.waitForDisconnected(10000);
    });
    auto joinWriter = qScopeGuard([&] { writer.join(); });

    QVERIFY(server.waitForNewConnection(10000));
    QLocalSocket *reader = server.nextPendingConnection();
    ReceivedMessage message;
    QVERIFY(::waitForMessage(reader, message, 20000));
    QVERIFY(message.decoded);
    QCOMPARE(message.text, answer);

    joinWriter.dismiss();
    writer.join();
    // The peer has gone: the message still buffered is taken, then the wait ends at once.
    QVERIFY(::waitForMessage(reader, message, 20000));
    QCOMPARE(message.text, later);
    QVERIFY(!::waitForMessage(reader, message, 20000));
    QCOMPARE(message.text, QString());

    // A connected peer that sends nothing: the time limit ends the wait.
    SocketPair pair;
    QVERIFY(pair.open());
    QVERIFY(!::waitForMessage(pair.reader, message, 50));
    QVERIFY(!::waitForMessage(nullptr, message, 50));
}

void tst_FrameStream::nullSocket_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::newRow("plain") << false;
    QTest::newRow("framed") << true;
}

void tst_FrameStream::nullSocket()
{
    QFETCH(bool, encrypt);
    LogCapture log;
    QVERIFY(sendMessage(nullptr, QStringLiteral("{\"a\":\"x\"}"), encrypt));
    // The unframed text, as the JSON conversion writes a text value: quoted and escaped.
    QCOMPARE(
        log.texts(4), QStringList { unavailableLine(QStringLiteral("\"{\\\"a\\\":\\\"x\\\"}\"")) });
    QCOMPARE(log.lines().size(), 1);
}

void tst_FrameStream::unpack_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("text");
    QTest::newRow("one frame") << QStringLiteral("[[[[[cl9ZWJ5l+PM=]]]]]") << QStringLiteral("{}");
    QTest::newRow("two frames, nothing between")
        << QStringLiteral("[[[[[cl9ZWJ5l+PM=]]]]][[[[[QFlVjbZr4F0=]]]]]")
        << QStringLiteral("{}abcd");
    QTest::newRow("empty frame") << QStringLiteral("[[[[[]]]]]") << QString();
    QTest::newRow("line break after the end marker")
        << QStringLiteral("[[[[[cl9ZWJ5l+PM=]]]]]\r\n") << QStringLiteral("{}");
    QTest::newRow("frame cut short") << QStringLiteral("[[[[[cl9ZWJ5l+PM=") << QStringLiteral("{}");
}

void tst_FrameStream::unpack()
{
    QFETCH(QString, received);
    QFETCH(QString, text);
    QString out = QStringLiteral("stale");
    QVERIFY(unpackMessage(received, out));
    QCOMPARE(out, text);
    QString frame;
    QVERIFY(packMessage(QStringLiteral("{}"), frame));
    QCOMPARE(frame, QStringLiteral("[[[[[cl9ZWJ5l+PM=]]]]]"));
    QCOMPARE(frameStartMarker(), QStringLiteral("[[[[["));
    QCOMPARE(frameEndMarker(), QStringLiteral("]]]]]"));
}

QTEST_GUILESS_MAIN(tst_FrameStream)
#include "tst_framestream.moc"
