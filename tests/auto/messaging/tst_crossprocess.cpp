// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Two real processes: this test plays one end, the peer helper the other.
#include "testsupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <future>

using namespace TestSupport;

namespace {

// A peer process: lines on its stdout are collected as they come.
class Peer
{
public:
    explicit Peer(const QStringList &args)
    {
        process.setProgram(QStringLiteral(IPCPEER_PATH));
        process.setArguments(args);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
    }
    ~Peer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // Waits for a line that starts with \a prefix and returns the rest of it, or a null string.
    QString waitFor(const QString &prefix, int timeoutMsecs = 15000)
    {
        QDeadlineTimer deadline(timeoutMsecs);
        for (;;) {
            for (qsizetype i = 0; i < pending.size(); ++i) {
                if (pending.at(i).startsWith(prefix)) {
                    const QString rest = pending.at(i).mid(prefix.size()).trimmed();
                    pending.remove(0, i + 1);
                    return rest.isNull() ? QStringLiteral("") : rest;
                }
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return QString();
            if (process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
                while (process.canReadLine())
                    pending.append(QString::fromUtf8(process.readLine()).trimmed());
            }
        }
    }
    void command(const QString &line)
    {
        process.write(line.toUtf8() + '\n');
        process.waitForBytesWritten(5000); // nothing else runs this thread's event loop
    }
    void kill()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    QProcess process;

private:
    QStringList pending;
};

QVariantMap parse(const QString &json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object().toVariantMap();
}

QStringList modeArgs(bool encrypt)
{
    return encrypt ? QStringList { QStringLiteral("--encrypt") } : QStringList();
}

} // namespace

class tst_CrossProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void clientHereServerThere_data();
    void clientHereServerThere();
    void serverHereClientThere_data();
    void serverHereClientThere();
    void killedServerEndsClientWait();
    void killedClientEndsServerWait();
};

void tst_CrossProcess::clientHereServerThere_data() { addCipherModeRows(); }

void tst_CrossProcess::clientHereServerThere()
{
    QFETCH(bool, serverEncrypts);
    QFETCH(bool, clientEncrypts);
    const QString name = uniqueServerName("xserver");
    Peer server(QStringList { QStringLiteral("server"), name, QStringLiteral("--reply"),
                    QStringLiteral("{\"status\":\"fine\",\"w\":\"\u00e9\"}") }
        + modeArgs(serverEncrypts));
    QVERIFY(!server.waitFor(QStringLiteral("READY")).isNull());

    ThreadedClient client(name, false, clientEncrypts);
    QVERIFY(client.isConnected());
    const QVariantMap answer =
        client.registerAs(QStringLiteral("App"), QStringLiteral("\u00fcser"));
    QCOMPARE(answer,
        (QVariantMap { { QStringLiteral("status"), QStringLiteral("fine") },
            { QStringLiteral("w"), QStringLiteral("\u00e9") } }));
    const QVariantMap seen = parse(server.waitFor(QStringLiteral("MSG ")));
    QCOMPARE(seen.value(QStringLiteral("_USERID")).toString(), QStringLiteral("\u00fcser"));
    QCOMPARE(seen.value(QStringLiteral("_PROTOCOL")).toString(), QStringLiteral("test-protocol"));

    // post and broadcast from the other process reach this client's handler, in order.
    server.command(QStringLiteral("post App:\u00fcser {\"seq\":1}"));
    server.command(QStringLiteral("broadcast {\"seq\":2}"));
    QVERIFY(client.handler.waitForCount(2));
    QCOMPARE(client.handler.messages().at(0).value(QStringLiteral("seq")).toInt(), 1);
    QCOMPARE(client.handler.messages().at(1).value(QStringLiteral("seq")).toInt(), 2);
    QCOMPARE(client.handler.messages().at(1).value(QStringLiteral("_VERSION")).toString(),
        QStringLiteral("2.1"));
}

void tst_CrossProcess::serverHereClientThere_data() { clientHereServerThere_data(); }

void tst_CrossProcess::serverHereClientThere()
{
    QFETCH(bool, serverEncrypts);
    QFETCH(bool, clientEncrypts);
    const QString name = uniqueServerName("xclient");
    ThreadedServer server(name, serverEncrypts);
    server.handler.setReply({ { QStringLiteral("registered"), true } });
    Peer client(QStringList { QStringLiteral("client"), name, QStringLiteral("--respond"),
                    QStringLiteral("--reply"), QStringLiteral("{\"from\":\"peer\"}") }
        + modeArgs(clientEncrypts));
    QVERIFY(!client.waitFor(QStringLiteral("READY")).isNull());
    client.command(
        QStringLiteral("send {\"_REQUEST\":\"SUBSCRIBE\",\"_APPID\":\"P\",\"_USERID\":\"1\"}"));
    QCOMPARE(parse(client.waitFor(QStringLiteral("ANSWER "))),
        (QVariantMap { { QStringLiteral("registered"), true } }));

    QVariantMap message { { QStringLiteral("ask"), QStringLiteral("\U0001F600") } }, response;
    std::thread([&] { server.server->send(QStringLiteral("P:1"), message, response); }).join();
    QCOMPARE(response,
        (QVariantMap { { QStringLiteral("from"), QStringLiteral("peer") },
            { QStringLiteral("_RESPONSE"), true } }));
    const QVariantMap seen = parse(client.waitFor(QStringLiteral("MSG ")));
    QCOMPARE(seen.value(QStringLiteral("ask")).toString(), QStringLiteral("\U0001F600"));
}

void tst_CrossProcess::killedServerEndsClientWait()
{
    const QString name = uniqueServerName("xkillserver");
    auto server = std::make_unique<Peer>(QStringList { QStringLiteral("server"), name });
    QVERIFY(!server->waitFor(QStringLiteral("READY")).isNull());
    ThreadedClient client(name);
    QVERIFY(client.isConnected());
    client.client->setResponseTimeout(20000);
    QSignalSpy disconnected(client.client, &VelmoraIPCClient::disconnected);

    // The server never answers a payload-only message; the client waits until it dies.
    QVariantMap message { { QStringLiteral("payload"), 1 } }, response;
    QElapsedTimer timer;
    auto waiting = std::async(std::launch::async, [&] {
        timer.start();
        client.client->send(QString(), message, response);
        return timer.elapsed();
    });
    QTest::qWait(200);
    server->kill();
    QVERIFY(waiting.wait_for(std::chrono::seconds(15)) == std::future_status::ready);
    QVERIFY2(waiting.get() < 10000, "the wait ended at the limit, not when the server died");
    QTRY_COMPARE(disconnected.size(), 1);

    // A server restarted on the same name takes over the dead one's endpoint, and the client
    // connects again when told to.
    server = std::make_unique<Peer>(QStringList { QStringLiteral("server"), name });
    QVERIFY(!server->waitFor(QStringLiteral("READY")).isNull());
    runIn(client.client, [&] { client.client->connectToServer(); });
    QVERIFY(client.isConnected());
    QVariantMap request { { QStringLiteral("_REQUEST"), QStringLiteral("AGAIN") } },
        answer { { QStringLiteral("x"), 1 } };
    std::thread([&] { client.client->send(QString(), request, answer); }).join();
    QVERIFY(answer.isEmpty()); // the peer's empty answer replaced what was there
    QVERIFY(!server->waitFor(QStringLiteral("MSG ")).isNull());
}

void tst_CrossProcess::killedClientEndsServerWait()
{
    const QString name = uniqueServerName("xkillclient");
    ThreadedServer server(name);
    server.server->setResponseTimeout(20000);
    QSignalSpy gone(server.server, &VelmoraIPCServer::clientDisconnected);
    Peer client(QStringList { QStringLiteral("client"), name }); // never answers
    QVERIFY(!client.waitFor(QStringLiteral("READY")).isNull());
    client.command(
        QStringLiteral("send {\"_REQUEST\":\"REGISTER\",\"_APPID\":\"K\",\"_USERID\":\"1\"}"));
    QVERIFY(!client.waitFor(QStringLiteral("ANSWER ")).isNull());

    QVariantMap message { { QStringLiteral("q"), 1 } }, response;
    QElapsedTimer timer;
    auto waiting = std::async(std::launch::async, [&] {
        timer.start();
        server.server->send(QStringLiteral("K:1"), message, response);
        return timer.elapsed();
    });
    QVERIFY(!client.waitFor(QStringLiteral("MSG ")).isNull());
    client.kill();
    QVERIFY(waiting.wait_for(std::chrono::seconds(15)) == std::future_status::ready);
    QVERIFY2(waiting.get() < 10000, "the wait ended at the limit, not when the client died");
    QTRY_COMPARE(gone.size(), 1);
    QCOMPARE(gone.first().first().toString(), QStringLiteral("K:1"));
    QTRY_COMPARE(server.connections(), 0);
}

QTEST_GUILESS_MAIN(tst_CrossProcess)
#include "tst_crossprocess.moc"
