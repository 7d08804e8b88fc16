// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// How the server counts its connections and keeps its registry of client IDs, with real local
// sockets in threads of their own: what is written and signalled when connections come and go,
// when the endpoint is replaced under open connections, and when the slots run without cause.
#include "serverfixture.h"

#include <QTest>

#include <vector>

using namespace ServerTests;

namespace {

const char *const newConnectionLine = "VelmoraIPCServer::onNewConnection: %1";
const char *const disconnectedLine =
    "VelmoraIPCServer::onDisconnected: ClientId=%1, serverName=%2, RemainingConnections=%3";

QString disconnected(const QString &id, const QString &name, int remaining)
{
    return text(disconnectedLine).arg(id, name, QString::number(remaining));
}

QString notAvailable(const QString &id)
{
    return QStringLiteral("VelmoraIPCServer::getSocket: client ID (%1), socket is not available")
        .arg(id);
}

// Connects \a count raw clients one after the other and waits until the server holds them all.
bool connectClients(
    ServerInThread &server, std::vector<std::unique_ptr<RawClient>> &clients, int count)
{
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        if (!clients.back()->connectTo(server.serverName))
            return false;
        // One at a time, so the server takes them in this order.
        QDeadlineTimer deadline(5000);
        while (server.connections() != i + 1) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(2);
        }
    }
    return true;
}

} // namespace

class tst_ConnectionTracking : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void threeConnectionsCounted();
    void disconnections_data();
    void disconnections();
    void closeDropsConnections();
    void startWithConnectionsOpen();
    void slotsWithoutCause_data();
    void slotsWithoutCause();
    void emptyIdLeavesNoEntry();
};

void tst_ConnectionTracking::threeConnectionsCounted()
{
    const QString name = uniqueServerName("count");
    LogCapture log;
    ServerInThread server(name);
    QCOMPARE(server.connections(), 0);

    // Three clients connect at once, each from its own thread.
    std::vector<std::unique_ptr<RawClient>> clients(3);
    std::vector<std::unique_ptr<QThread>> connecting;
    std::atomic<int> connected { 0 };
    for (auto &client : clients) {
        client = std::make_unique<RawClient>();
        connecting.emplace_back(QThread::create([&client, &name, &connected] {
            if (client->connectTo(name))
                ++connected;
        }));
        connecting.back()->start();
    }
    for (auto &thread : connecting)
        QVERIFY(thread->wait(10000));
    QCOMPARE(connected.load(), 3);

    QTRY_COMPARE(server.connections(), 3);
    const QList<LogLine> expected = lines(name,
        { { 1, "VelmoraIPCServer::start: create named pipe %1" },
            { 1, "VelmoraIPCServer::start: listen to named pipe %1" }, { 0, newConnectionLine },
            { 0, newConnectionLine }, { 0, newConnectionLine } });
    QCOMPARE(rendered(log.lines()), rendered(expected));
    QCOMPARE(server.disconnectedIds(), QStringList());
}

void tst_ConnectionTracking::disconnections_data()
{
    // Registrations are "client|appId|userId"; lines hold %1 for the client ID, %2 for the server
    // name and %3 for the connections left.
    QTest::addColumn<QStringList>("registrations");
    QTest::addColumn<QList<int>>("disconnects");
    QTest::addColumn<QStringList>("expectedIds");
    QTest::addColumn<QList<int>>("expectedRemaining");

    QTest::newRow("unregistered connection leaves silently")
        << QStringList() << QList<int> { 1 } << QStringList() << QList<int>();
    QTest::newRow("registered connection goes first of three")
        << QStringList { QStringLiteral("0|A|U") } << QList<int> { 0, 1, 2 }
        << QStringList { QStringLiteral("A:U") } << QList<int> { 2 };
    QTest::newRow("registered connection goes last")
        << QStringList { QStringLiteral("2|A|U") } << QList<int> { 0, 1, 2 }
        << QStringList { QStringLiteral("A:U") } << QList<int> { 0 };
    QTest::newRow("two clients, the later one goes first")
        << QStringList { QStringLiteral("0|A|U"), QStringLiteral("1|B|V") } << QList<int> { 1, 0 }
        << QStringList { QStringLiteral("B:V"), QStringLiteral("A:U") } << QList<int> { 2, 1 };
    QTest::newRow("one connection under two IDs, in ascending order")
        << QStringList { QStringLiteral("0|B|U"), QStringLiteral("0|A|U") } << QList<int> { 0 }
        << QStringList { QStringLiteral("A:U"), QStringLiteral("B:U") } << QList<int> { 2, 2 };
    QTest::newRow("ID taken over by another connection")
        << QStringList { QStringLiteral("0|A|U"), QStringLiteral("1|A|U") } << QList<int> { 0, 1 }
        << QStringList { QStringLiteral("A:U") } << QList<int> { 1 };
    QTest::newRow("ID taken back by the first connection")
        << QStringList { QStringLiteral("0|A|U"), QStringLiteral("1|A|U"), QStringLiteral("0|A|U") }
        << QList<int> { 1, 0 } << QStringList { QStringLiteral("A:U") } << QList<int> { 1 };
    QTest::newRow("one ID from two different pairs")
        << QStringList { QStringLiteral("0|a:b|c"), QStringLiteral("1|a|b:c") }
        << QList<int> { 0, 1 } << QStringList { QStringLiteral("a:b:c") } << QList<int> { 1 };
}

void tst_ConnectionTracking::disconnections()
{
    QFETCH(QStringList, registrations);
    QFETCH(QList<int>, disconnects);
    QFETCH(QStringList, expectedIds);
    QFETCH(QList<int>, expectedRemaining);

    const QString name = uniqueServerName("gone");
    LogCapture log;
    ServerInThread server(name);
    std::vector<std::unique_ptr<RawClient>> clients;
    QVERIFY(connectClients(server, clients, 3));
    for (const QString &registration : registrations) {
        const QStringList parts = registration.split(QLatin1Char('|'));
        QVERIFY(clients.at(parts.at(0).toInt())->registerAs(parts.at(1), parts.at(2)));
    }
    QTRY_COMPARE(server.handler.count(), int(registrations.size()));

    log.clear();
    int open = 3;
    for (int index : disconnects) {
        clients.at(index)->disconnectFromServer();
        --open;
        QTRY_COMPARE(server.connections(), open);
    }

    QStringList expectedLines;
    for (int i = 0; i < expectedIds.size(); ++i)
        expectedLines.append(disconnected(expectedIds.at(i), name, expectedRemaining.at(i)));
    QVERIFY2(log.lines().size() == expectedLines.size(), qPrintable(log.dump()));
    QCOMPARE(log.texts(0), expectedLines);
    QCOMPARE(server.disconnectedIds(), expectedIds);

    // Nothing in the registry leads to a connection that has gone.
    log.clear();
    server.call([&] {
        for (const QString &id : expectedIds) {
            QVariantMap message { { QStringLiteral("n"), 1 } };
            server.server->post(id, message);
        }
    });
    for (const QString &id : expectedIds)
        QVERIFY2(log.contains(4, notAvailable(id)), qPrintable(log.dump()));
}

void tst_ConnectionTracking::closeDropsConnections()
{
    const QString name = uniqueServerName("close");
    LogCapture log;
    ServerInThread server(name);
    std::vector<std::unique_ptr<RawClient>> clients;
    QVERIFY(connectClients(server, clients, 2));
    QVERIFY(clients.at(0)->registerAs(QStringLiteral("A"), QStringLiteral("U")));
    QTRY_COMPARE(server.handler.count(), 1);

    log.clear();
    server.close();
    const QList<LogLine> expected {
        { 0, QStringLiteral("VelmoraIPCServer::closing %1").arg(name) },
        { 0, QStringLiteral("VelmoraIPCServer::close: delete QLocalSocket instance") },
        { 0, disconnected(QStringLiteral("A:U"), name, 1) },
        { 0, QStringLiteral("VelmoraIPCServer::close: delete QLocalSocket instance") },
        { 0, QStringLiteral("VelmoraIPCServer::close: delete QLocalServer instance") },
    };
    QCOMPARE(rendered(log.lines()), rendered(expected));
    QCOMPARE(server.connections(), 0);
    QCOMPARE(server.disconnectedIds(), QStringList { QStringLiteral("A:U") });
    QCOMPARE(server.finished(), 1);
    for (auto &client : clients)
        QVERIFY(client->waitUntilDropped());

    // Nothing is reported twice once the connections' deletion has run.
    server.call([] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); });
    QCOMPARE(rendered(log.lines()), rendered(expected));
}

void tst_ConnectionTracking::startWithConnectionsOpen()
{
    const QString name = uniqueServerName("restart");
    LogCapture log;
    ServerInThread server(name);
    std::vector<std::unique_ptr<RawClient>> clients;
    QVERIFY(connectClients(server, clients, 3));
    QVERIFY(clients.at(0)->registerAs(QStringLiteral("B"), QStringLiteral("V")));
    QVERIFY(clients.at(1)->registerAs(QStringLiteral("A"), QStringLiteral("U")));
    QVERIFY(clients.at(1)->registerAs(QStringLiteral("C"), QStringLiteral("W")));
    QTRY_COMPARE(server.handler.count(), 3);

    // Each connection of the old endpoint leaves through the disconnect handling, in the order
    // the connections came, before the endpoint goes.
    log.clear();
    server.start();
    const QList<LogLine> expected {
        { 1, QStringLiteral("VelmoraIPCServer::start: create named pipe %1").arg(name) },
        { 0, disconnected(QStringLiteral("B:V"), name, 2) },
        { 0, disconnected(QStringLiteral("A:U"), name, 1) },
        { 0, disconnected(QStringLiteral("C:W"), name, 1) },
        { 1, QStringLiteral("VelmoraIPCServer::start: listen to named pipe %1").arg(name) },
    };
    QCOMPARE(rendered(log.lines()), rendered(expected));
    QCOMPARE(server.connections(), 0);
    const QStringList ids { QStringLiteral("B:V"), QStringLiteral("A:U"), QStringLiteral("C:W") };
    QCOMPARE(server.disconnectedIds(), ids);

    for (auto &client : clients)
        QVERIFY(client->waitUntilDropped());
    QCOMPARE(server.connections(), 0);

    // The new endpoint serves, and the registry has nothing of the old connections.
    RawClient next;
    QVERIFY(next.connectTo(name));
    QTRY_COMPARE(server.connections(), 1);
    log.clear();
    server.call([&] {
        for (const QString &id : ids) {
            QVariantMap message { { QStringLiteral("n"), 1 } };
            server.server->post(id, message);
        }
    });
    for (const QString &id : ids)
        QVERIFY2(log.contains(4, notAvailable(id)), qPrintable(log.dump()));

    server.close();
    QCOMPARE(server.disconnectedIds(), ids);
}

void tst_ConnectionTracking::slotsWithoutCause_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("closed");
    QTest::addColumn<int>("connected");

    for (const QByteArray &slot : { QByteArray("onNewConnection"), QByteArray("onDisconnected") }) {
        const char *s = slot.constData();
        QTest::addRow("%s before start", s) << slot << false << false << 0;
        QTest::addRow("%s listening, nothing waiting", s) << slot << true << false << 0;
        QTest::addRow("%s listening, one connection", s) << slot << true << false << 1;
        QTest::addRow("%s after close", s) << slot << true << true << 0;
    }
}

void tst_ConnectionTracking::slotsWithoutCause()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, started);
    QFETCH(bool, closed);
    QFETCH(int, connected);

    const QString name = uniqueServerName("nocause");
    LogCapture log;
    ServerInThread server(name, started);
    std::vector<std::unique_ptr<RawClient>> clients;
    QVERIFY(connectClients(server, clients, connected));
    if (closed)
        server.close();

    // Run directly, as a host may: no connection is waiting, and there is no sender.
    log.clear();
    bool invoked = false;
    server.call([&] {
        invoked = QMetaObject::invokeMethod(server.server, slot.constData(), Qt::DirectConnection);
    });
    QVERIFY(invoked);
    QVERIFY2(log.lines().isEmpty(), qPrintable(log.dump()));
    QCOMPARE(server.connections(), connected);

    // Nothing was counted that close() would then meet.
    server.close();
    QList<LogLine> expected { { 0, QStringLiteral("VelmoraIPCServer::closing %1").arg(name) } };
    for (int i = 0; i < connected; ++i)
        expected.append(
            { 0, QStringLiteral("VelmoraIPCServer::close: delete QLocalSocket instance") });
    if (started && !closed)
        expected.append(
            { 0, QStringLiteral("VelmoraIPCServer::close: delete QLocalServer instance") });
    QCOMPARE(rendered(log.lines()), rendered(expected));
}

void tst_ConnectionTracking::emptyIdLeavesNoEntry()
{
    const QString name = uniqueServerName("emptyid");
    LogCapture log;
    ServerInThread server(name);

    server.call([&] {
        QVariantMap message { { QStringLiteral("n"), 1 } };
        server.server->post(QString(), message);
    });
    QVERIFY2(log.contains(4, notAvailable(QString())), qPrintable(log.dump()));

    // With nothing registered, a broadcast meets no client, not even one without a connection.
    log.clear();
    server.call([&] {
        QVariantMap message { { QStringLiteral("n"), 2 } };
        server.server->broadcast(message);
    });
    QVERIFY2(log.texts(4).isEmpty(), qPrintable(log.dump()));
}

QTEST_GUILESS_MAIN(tst_ConnectionTracking)
#include "tst_connectiontracking.moc"
