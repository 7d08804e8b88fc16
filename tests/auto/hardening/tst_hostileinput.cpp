// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Hostile bytes on a live server's connection. None may reach the handler or stop the server:
// a normal client's request that follows is answered, and so is a request on the same
// connection when the hostile bytes made up a whole (if broken) message.
#include "hardeningsupport.h"

#include "wire/framecipher_p.h"
#include "wire/framestream_p.h"

#include <QRandomGenerator>

using namespace TestSupport;
using namespace Hardening;

namespace {

QByteArray frameOf(const QString &json)
{
    QString frame;
    packMessage(json, frame);
    return frame.toLatin1();
}

QString deepJson(int depth)
{
    return QStringLiteral("{\"_REQUEST\":\"DEEP\",\"n\":0,\"a\":")
        + QString(depth, QLatin1Char('[')) + QString(depth, QLatin1Char(']')) + QLatin1Char('}');
}

} // namespace

class tst_HostileInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void hostileBytes_data();
    void hostileBytes();
};

void tst_HostileInput::hostileBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Whether the bytes end where a message may start again, so the same connection recovers.
    QTest::addColumn<bool>("closed");

    QByteArray garbage(4096, Qt::Uninitialized);
    QRandomGenerator rng(6);
    for (char &c : garbage) {
        c = char(rng.bounded(256));
        if (c == '{' || c == '[')
            c = '}';
    }
    QTest::newRow("garbage bytes") << garbage << true;

    QTest::newRow("frame with no end marker")
        << QByteArray("[[[[[") + frameOf(QStringLiteral("{\"_REQUEST\":\"X\"}")).mid(5, 20)
        << false;

    QTest::newRow("base64 that is not") << QByteArray("[[[[[!!not*base64~at@all%%]]]]]") << true;

    // Cut a valid cipher text to 13 bytes: the partial block is ignored.
    QString cipher;
    encryptText(QStringLiteral("{\"_REQUEST\":\"CUT\",\"n\":0}"), cipher);
    const QByteArray cut = QByteArray::fromBase64(cipher.toLatin1()).left(13).toBase64();
    QTest::newRow("cipher text not a multiple of 8") << QByteArray("[[[[[") + cut + "]]]]]" << true;

    QTest::newRow("JSON nested 2000 deep, plain") << deepJson(2000).toUtf8() << true;
    QTest::newRow("JSON nested 2000 deep, framed") << frameOf(deepJson(2000)) << true;
    QTest::newRow("invalid UTF-8")
        << QByteArray("{\"_REQUEST\":\"BAD\xff\xfe\xc3\",\"n\":0}") << true;
    QTest::newRow("zero byte") << QByteArray("{\"_REQUEST\":\"ZE\0RO\",\"n\":0}", 27) << true;
    QTest::newRow("unbalanced close") << QByteArray("}}]]]]]]]]]]\"\\") << true;
}

void tst_HostileInput::hostileBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, closed);

    LogCapture log;
    const QString name = uniqueServerName("hostile");
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);

    RawConnection raw(name);
    QVERIFY(raw.isConnected());
    QVERIFY(raw.write(bytes));
    if (closed) {
        QVERIFY(raw.write(plainRequest(QStringLiteral("AFTER"), 1)));
        const QVariantMap answer = raw.readMessage();
        QVERIFY2(answer.value(QStringLiteral("echo")).toInt() == 1, qPrintable(log.dump()));
        QVERIFY2(log.containsPrefix(
                     4, QStringLiteral("VelmoraIPCServer::onReadyRead: failed to parse: ")),
            qPrintable(log.dump()));
    }

    ThreadedClient client(name);
    QVERIFY(client.isConnected());
    QVariantMap request { { QStringLiteral("_REQUEST"), QStringLiteral("NORMAL") },
        { QStringLiteral("n"), 2 } };
    QVariantMap response;
    client.client->send(QString(), request, response);
    QCOMPARE(response.value(QStringLiteral("echo")).toInt(), 2);

    // Only the well-formed requests reached the handler.
    QStringList seen;
    for (const QVariantMap &m : server.handler.messages())
        seen.append(m.value(QStringLiteral("_REQUEST")).toString());
    QStringList expected { QStringLiteral("NORMAL") };
    if (closed)
        expected.prepend(QStringLiteral("AFTER"));
    QCOMPARE(seen, expected);
    QCOMPARE(server.connections(), 2);
}

QTEST_GUILESS_MAIN(tst_HostileInput)
#include "tst_hostileinput.moc"
