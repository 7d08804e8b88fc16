// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Peers that die, hang or go away at the worst moment. Every wait has a watchdog far below
// the response time limit, so a hang fails the test instead of stalling the run.
#include "hardeningsupport.h"

#include <QSignalSpy>

#include <csignal>
#include <optional>

using namespace TestSupport;
using namespace Hardening;

namespace {

// Far below the limit the blocking sends are given here: returning within it means the send
// ended because the connection dropped, not because the time ran out.
constexpr int watchdogMsecs = 15000;
constexpr int longResponseTimeoutMsecs = 120000;

QVariantMap request(const QString &name, int n)
{
    return { { QStringLiteral("_REQUEST"), name }, { QStringLiteral("n"), n } };
}

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void serverKilledWhileClientSendWaits();
    void liveEndpointNeverTakenOver();
    void clientKilledWhileServerSendWaits();
    void slowHandlerLosesNothing();
    void closeWhileSendWaits();
    void clientDestroyedWhileBusy();
    void writesToPeerThatJustWent();
};

void tst_Faults::initTestCase()
{
    // A write to a peer that has gone must not end this process: the default action of SIGPIPE
    // is in force, as in a host that never thought about it.
    std::signal(SIGPIPE, SIG_DFL);
}

void tst_Faults::serverKilledWhileClientSendWaits()
{
    const QString name = uniqueServerName("killserver");
    std::optional<Peer> server(std::in_place, QStringList { QStringLiteral("server"), name });
    QVERIFY2(!server->waitForLine(QStringLiteral("ready")).isEmpty(), qPrintable(server->output()));

    std::atomic<int> disconnects { 0 }; // outlives the client, whose signals reach it
    ThreadedClient client(name);
    QVERIFY(client.isConnected());
    client.client->setResponseTimeout(longResponseTimeoutMsecs);
    QObject::connect(
        client.client, &VelmoraIPCClient::disconnected, client.client,
        [&disconnects] { ++disconnects; }, Qt::DirectConnection);

    QVariantMap hang = request(QStringLiteral("HANG"), 1), response;
    {
        AsyncCall call([&] { client.client->send(QString(), hang, response); });
        QVERIFY2(!server->waitForLine(QStringLiteral("hang-received")).isEmpty(),
            qPrintable(server->output()));
        server->kill();
        QTRY_VERIFY_WITH_TIMEOUT(call.done(), watchdogMsecs);
    }
    QVERIFY(response.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(disconnects.load(), 1, watchdogMsecs);
    QVERIFY(!client.isConnected());

    // The killed server left its endpoint behind; a new one on the same name takes it over.
    server.emplace(QStringList { QStringLiteral("server"), name });
    QVERIFY2(!server->waitForLine(QStringLiteral("ready")).isEmpty(), qPrintable(server->output()));
    runIn(client.client, [&client] { client.client->connectToServer(); });
    QVERIFY(client.isConnected());
    QVariantMap again = request(QStringLiteral("PING"), 7);
    response.clear();
    client.client->send(QString(), again, response);
    QCOMPARE(response.value(QStringLiteral("echo")).toInt(), 7);
    QCOMPARE(response.value(QStringLiteral("pid")).toLongLong(), server->pid());
}

void tst_Faults::liveEndpointNeverTakenOver()
{
    const QString name = uniqueServerName("live");
    Peer first({ QStringLiteral("server"), name });
    QVERIFY2(!first.waitForLine(QStringLiteral("ready")).isEmpty(), qPrintable(first.output()));
    Peer second({ QStringLiteral("server"), name });
    QVERIFY2(!second.waitForLine(QStringLiteral("listen-failed")).isEmpty(),
        qPrintable(second.output()));
    QVERIFY(second.process.waitForFinished(watchdogMsecs));
    QCOMPARE(second.process.exitCode(), 3);

    ThreadedClient client(name);
    QVariantMap ping = request(QStringLiteral("PING"), 3), response;
    client.client->send(QString(), ping, response);
    QCOMPARE(response.value(QStringLiteral("echo")).toInt(), 3);
    QCOMPARE(response.value(QStringLiteral("pid")).toLongLong(), first.pid());
}

void tst_Faults::clientKilledWhileServerSendWaits()
{
    LogCapture log;
    const QString name = uniqueServerName("killclient");
    QStringList gone; // outlives the server, whose destruction may still report clients
    QMutex goneMutex;
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);
    server.server->setResponseTimeout(longResponseTimeoutMsecs);
    QObject::connect(
        server.server, &VelmoraIPCServer::clientDisconnected, server.server,
        [&](const QString &id) {
            QMutexLocker lock(&goneMutex);
            gone.append(id);
        },
        Qt::DirectConnection);
    auto goneIds = [&] {
        QMutexLocker lock(&goneMutex);
        return gone;
    };

    Peer peer({ QStringLiteral("client"), name, QStringLiteral("A"), QStringLiteral("U"),
        QStringLiteral("--silent") });
    QVERIFY2(!peer.waitForLine(QStringLiteral("registered")).isEmpty(), qPrintable(peer.output()));
    QCOMPARE(server.connections(), 1);

    QVariantMap probe = request(QStringLiteral("PROBE"), 1), response;
    {
        AsyncCall call([&] { server.server->send(QStringLiteral("A:U"), probe, response); });
        QVERIFY2(
            !peer.waitForLine(QStringLiteral("got PROBE")).isEmpty(), qPrintable(peer.output()));
        peer.kill();
        QTRY_VERIFY_WITH_TIMEOUT(call.done(), watchdogMsecs);
    }
    QVERIFY(response.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(goneIds(), QStringList { QStringLiteral("A:U") }, watchdogMsecs);
    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 0, watchdogMsecs);

    // The registry has forgotten the client.
    log.clear();
    QVariantMap note { { QStringLiteral("_NOTIFICATION"), QStringLiteral("late") } };
    runIn(server.server, [&] { server.server->post(QStringLiteral("A:U"), note); });
    QVERIFY2(log.contains(4,
                 QStringLiteral(
                     "VelmoraIPCServer::getSocket: client ID (A:U), socket is not available")),
        qPrintable(log.dump()));
}

void tst_Faults::slowHandlerLosesNothing()
{
    const QString name = uniqueServerName("slow");
    ThreadedServer server(name);
    std::atomic<bool> slowEntered { false };
    server.handler.setReplyFunction([&slowEntered](const QVariantMap &message) {
        if (message.value(QStringLiteral("_REQUEST")).toString() == u"SLOW") {
            slowEntered = true;
            QThread::msleep(2000);
        }
        return echoReply(message);
    });

    constexpr int clientCount = 4;
    constexpr int perClient = 5;
    ThreadedClient slowClient(name);
    std::vector<std::unique_ptr<ThreadedClient>> clients;
    for (int i = 0; i < clientCount; ++i)
        clients.push_back(std::make_unique<ThreadedClient>(name));

    QVariantMap slow = request(QStringLiteral("SLOW"), -1), slowResponse;
    AsyncCall slowCall([&] { slowClient.client->send(QString(), slow, slowResponse); });
    QTRY_VERIFY_WITH_TIMEOUT(slowEntered.load(), watchdogMsecs);

    // While the handler sleeps, the others send; each request waits its turn and none is lost.
    std::vector<QList<int>> echoes(clientCount);
    {
        std::vector<std::unique_ptr<AsyncCall>> calls;
        for (int c = 0; c < clientCount; ++c) {
            calls.push_back(std::make_unique<AsyncCall>([&, c] {
                for (int k = 0; k < perClient; ++k) {
                    QVariantMap m = request(QStringLiteral("FAST"), c * 100 + k), r;
                    clients[size_t(c)]->client->send(QString(), m, r);
                    echoes[size_t(c)].append(r.value(QStringLiteral("echo"), -2).toInt());
                }
            }));
        }
        for (auto &call : calls)
            QTRY_VERIFY_WITH_TIMEOUT(call->done(), watchdogMsecs * 2);
    }
    QTRY_VERIFY_WITH_TIMEOUT(slowCall.done(), watchdogMsecs);
    QCOMPARE(slowResponse.value(QStringLiteral("echo")).toInt(), -1);
    for (int c = 0; c < clientCount; ++c) {
        QList<int> want;
        for (int k = 0; k < perClient; ++k)
            want.append(c * 100 + k);
        QCOMPARE(echoes[size_t(c)], want);
    }
    QCOMPARE(server.handler.count(), 1 + clientCount * perClient);
}

void tst_Faults::closeWhileSendWaits()
{
    const QString name = uniqueServerName("close");
    std::atomic<int> finished { 0 }; // outlives the server, whose destruction emits finished()
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);
    server.server->setResponseTimeout(3000);
    ThreadedClient client(name); // answers nothing: respond is off
    QVERIFY(!client.registerAs(QStringLiteral("A"), QStringLiteral("U")).isEmpty());
    QObject::connect(
        server.server, &VelmoraIPCServer::finished, server.server, [&finished] { ++finished; },
        Qt::DirectConnection);

    QVariantMap probe = request(QStringLiteral("PROBE"), 1), response;
    {
        AsyncCall call([&] { server.server->send(QStringLiteral("A:U"), probe, response); });
        QVERIFY(client.handler.waitForCount(1, watchdogMsecs));
        // Queued behind the waiting send; runs as soon as the server's thread is free.
        QMetaObject::invokeMethod(server.server, &VelmoraIPCServer::close, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(call.done(), watchdogMsecs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 1, watchdogMsecs);
    QCOMPARE(server.connections(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!client.isConnected(), watchdogMsecs);

    // The server starts again on the same name and serves.
    runIn(server.server, [&server] { server.server->start(); });
    ThreadedClient again(name);
    QVariantMap ping = request(QStringLiteral("PING"), 9), pong;
    again.client->send(QString(), ping, pong);
    QCOMPARE(pong.value(QStringLiteral("echo")).toInt(), 9);
}

void tst_Faults::clientDestroyedWhileBusy()
{
    const QString name = uniqueServerName("busy");
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);
    auto busy = std::make_unique<ThreadedClient>(name);
    busy->handler.setReplyFunction([](const QVariantMap &) {
        QThread::msleep(2);
        return QVariantMap();
    });
    busy->registerAs(QStringLiteral("A"), QStringLiteral("U"));

    // Fill the connection with far more than the socket holds, then destroy the client while
    // it is still reading and delivering.
    const QString pad(64 * 1024, QLatin1Char('p'));
    runIn(server.server, [&] {
        for (int i = 0; i < 200; ++i) {
            QVariantMap m { { QStringLiteral("_NOTIFICATION"), QStringLiteral("fill") },
                { QStringLiteral("i"), i }, { QStringLiteral("pad"), pad } };
            server.server->post(QStringLiteral("A:U"), m);
        }
    });
    QVERIFY(busy->handler.waitForCount(5, watchdogMsecs));
    busy.reset();

    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 0, watchdogMsecs);
    ThreadedClient next(name);
    QVariantMap ping = request(QStringLiteral("PING"), 4), pong;
    next.client->send(QString(), ping, pong);
    QCOMPARE(pong.value(QStringLiteral("echo")).toInt(), 4);
}

void tst_Faults::writesToPeerThatJustWent()
{
    LogCapture log; // the posts after the disconnection log their unavailable socket
    const QString name = uniqueServerName("gone");
    ThreadedServer server(name);
    server.handler.setReplyFunction(echoReply);
    Peer peer({ QStringLiteral("client"), name, QStringLiteral("A"), QStringLiteral("U") });
    QVERIFY2(!peer.waitForLine(QStringLiteral("registered")).isEmpty(), qPrintable(peer.output()));
    peer.kill();

    // All in one go on the server's thread, before it can see the disconnection: the writes
    // meet a closed socket.
    const QString pad(256 * 1024, QLatin1Char('g'));
    runIn(server.server, [&] {
        for (int i = 0; i < 50; ++i) {
            QVariantMap m { { QStringLiteral("_NOTIFICATION"), QStringLiteral("late") },
                { QStringLiteral("pad"), pad } };
            server.server->post(QStringLiteral("A:U"), m);
            QVariantMap b = m;
            server.server->broadcast(b);
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 0, watchdogMsecs);

    ThreadedClient next(name);
    QVariantMap ping = request(QStringLiteral("PING"), 5), pong;
    next.client->send(QString(), ping, pong);
    QCOMPARE(pong.value(QStringLiteral("echo")).toInt(), 5);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
