// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Streams far larger than a message may be. The server is in this process, so its memory is
// this process's peak resident size, read from /proc/self/status after clearing the peak.
#include "hardeningsupport.h"

using namespace TestSupport;
using namespace Hardening;

namespace {

constexpr qint64 mib = 1024 * 1024;
constexpr qint64 capBytes = 128 * mib;
// What the process may hold besides the one unfinished message: the socket's buffers, the
// writer's chunk, the allocator's slack.
constexpr qint64 marginBytes = 48 * mib;

const QString droppedLinePrefix =
    QStringLiteral("VelmoraIPCServer::readMessage: message larger than");

// Writes \a total bytes of 'a' in 1 MiB pieces: the inside of a JSON string that never ends.
bool writeFiller(RawConnection &raw, qint64 total)
{
    const QByteArray chunk(int(mib), 'a');
    for (qint64 sent = 0; sent < total; sent += chunk.size()) {
        if (!raw.write(chunk))
            return false;
    }
    return true;
}

} // namespace

class tst_HugeInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void streamWithoutEnd();
    void messageOverTheCap();
};

void tst_HugeInput::streamWithoutEnd()
{
    LogCapture log;
    const QString name = uniqueServerName("huge");
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);

    RawConnection raw(name);
    QVERIFY(raw.isConnected());
    const bool peakReset = resetPeakRss();
    const qint64 baseKb = statusKb(QStringLiteral("VmRSS"));
    QVERIFY(raw.write("{\"_REQUEST\":\"ENDLESS\",\"n\":0,\"pad\":\""));
    QVERIFY(writeFiller(raw, 1024 * mib));
    const qint64 peakKb = statusKb(QStringLiteral("VmHWM"));

    // The message was given up once it passed the cap, and the server serves on.
    QTRY_VERIFY_WITH_TIMEOUT(log.containsPrefix(4, droppedLinePrefix), 20000);
    QCOMPARE(log.texts(4).filter(droppedLinePrefix).size(), 1);
    ThreadedClient client(name);
    QVariantMap request { { QStringLiteral("_REQUEST"), QStringLiteral("NORMAL") },
        { QStringLiteral("n"), 5 } };
    QVariantMap response;
    client.client->send(QString(), request, response);
    QCOMPARE(response.value(QStringLiteral("echo")).toInt(), 5);
    QCOMPARE(server.handler.count(), 1);

    qInfo("1 GiB without a message end: RSS before %lld kB, peak %lld kB, growth %lld MiB%s",
        baseKb, peakKb, (peakKb - baseKb) / 1024, peakReset ? "" : " (peak not resettable)");
    // Under AddressSanitizer freed blocks stay in quarantine and count as resident.
    if (peakReset && !builtWithAsan())
        QVERIFY2((peakKb - baseKb) * 1024 < capBytes + marginBytes,
            qPrintable(QStringLiteral("peak grew by %1 MiB").arg((peakKb - baseKb) / 1024)));
}

void tst_HugeInput::messageOverTheCap()
{
    LogCapture log;
    const QString name = uniqueServerName("big");
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);

    RawConnection raw(name);
    QVERIFY(raw.isConnected());
    const bool peakReset = resetPeakRss();
    const qint64 baseKb = statusKb(QStringLiteral("VmRSS"));
    QVERIFY(raw.write("{\"_REQUEST\":\"BIG\",\"n\":1,\"pad\":\""));
    QVERIFY(writeFiller(raw, 200 * mib));
    QVERIFY(raw.write("\"}"));
    QVERIFY(raw.write(plainRequest(QStringLiteral("AFTER"), 2)));
    const QVariantMap answer = raw.readMessage(120000);
    const qint64 peakKb = statusKb(QStringLiteral("VmHWM"));

    // The 200 MiB message is dropped; the one after it on the same connection is answered.
    QVERIFY2(answer.value(QStringLiteral("echo")).toInt() == 2, qPrintable(log.dump()));
    QCOMPARE(server.handler.count(), 1);
    QCOMPARE(server.handler.messages().first().value(QStringLiteral("_REQUEST")).toString(),
        QStringLiteral("AFTER"));
    QCOMPARE(log.texts(4).filter(droppedLinePrefix).size(), 1);

    qInfo("200 MiB message: RSS before %lld kB, peak %lld kB, growth %lld MiB", baseKb, peakKb,
        (peakKb - baseKb) / 1024);
    // Under AddressSanitizer freed blocks stay in quarantine and count as resident.
    if (peakReset && !builtWithAsan())
        QVERIFY2((peakKb - baseKb) * 1024 < capBytes + marginBytes,
            qPrintable(QStringLiteral("peak grew by %1 MiB").arg((peakKb - baseKb) / 1024)));
}

QTEST_GUILESS_MAIN(tst_HugeInput)
#include "tst_hugeinput.moc"
