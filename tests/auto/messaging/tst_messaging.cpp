// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Messages end to end between a server and clients in one process, each IPC object and each
// handler in a thread of its own, over real local sockets.
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <future>
#include <thread>

using namespace TestSupport;

namespace {

QString key(const char *k) { return QString::fromLatin1(k); }

const QVariantMap serverReply { { QStringLiteral("status"), QStringLiteral("ok") },
    { QStringLiteral("n"), 7 } };

// Runs \a fn on a thread of its own (neither an IPC object's nor a handler's), as a host's
// worker would call send(), and waits for it.
template <typename Fn> void onWorkerThread(Fn fn)
{
    std::thread worker(fn);
    worker.join();
}

QString bigText(qsizetype units)
{
    QString text;
    text.reserve(units);
    const QString pattern = QStringLiteral("abcdefghij\u00e9\u4e2d{}[]\"\\ ");
    while (text.size() < units)
        text += pattern;
    text.truncate(units);
    return text;
}

} // namespace

class tst_Messaging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void dispatchTable_data();
    void dispatchTable();
    void clientAnswerRules_data();
    void clientAnswerRules();
    void stampRules();
    void unregisteredTargetIsNotStamped();
    void plainAndEnciphered_data();
    void plainAndEnciphered();
    void broadcastReachesEveryRegistration();
    void reRegistrationMovesTheId();
    void serverClosingEndsClientWait();
    void unansweredRequestEndsAtLimit();
    void largeMessages_data();
    void largeMessages();
    void messagePostedDuringSendIsTheAnswer();
    void threadRulesAreChecked();
    void postFromAnotherThreadUsesACopy();
    void nullHandlerAnswersEmpty();
    void destroyedHandlerReceivesNothing();
};

void tst_Messaging::dispatchTable_data()
{
    QTest::addColumn<QVariantMap>("message");
    QTest::addColumn<bool>("handled");
    QTest::addColumn<QString>("registeredAs");

    const auto req = [](const QString &value, bool ids) {
        QVariantMap m { { key("_REQUEST"), value } };
        if (ids) {
            m.insert(key("_APPID"), QStringLiteral("App"));
            m.insert(key("_USERID"), QStringLiteral("User"));
        }
        return m;
    };
    QTest::newRow("REGISTER") << req(QStringLiteral("REGISTER"), true) << true << "App:User";
    QTest::newRow("SUBSCRIBE") << req(QStringLiteral("SUBSCRIBE"), true) << true << "App:User";
    QTest::newRow("register in lower case")
        << req(QStringLiteral("register"), true) << true << QString();
    QTest::newRow("REGISTER without ids")
        << req(QStringLiteral("REGISTER"), false) << true << QString();
    QTest::newRow("UNSUBSCRIBE") << req(QStringLiteral("UNSUBSCRIBE"), true) << true << QString();
    QTest::newRow("other request") << req(QStringLiteral("STATUS"), false) << true << QString();
    QTest::newRow("command") << QVariantMap { { key("_COMMAND"), 3 } } << true << QString();
    QTest::newRow("request and command")
        << QVariantMap { { key("_REQUEST"), QStringLiteral("X") }, { key("_COMMAND"), true } }
        << true << QString();
    QTest::newRow("notification") << QVariantMap {
        { key("_NOTIFICATION"), QStringLiteral("note") }
    } << false << QString();
    QTest::newRow("payload only") << QVariantMap { { key("payload"), 1 } } << false << QString();
}

void tst_Messaging::dispatchTable()
{
    QFETCH(QVariantMap, message);
    QFETCH(bool, handled);
    QFETCH(QString, registeredAs);

    LogCapture log;
    const QString name = uniqueServerName("dispatch");
    ThreadedServer server(name);
    server.handler.setReply(serverReply);
    ThreadedClient client(name);
    QVERIFY(client.isConnected());
    // A message the server does not answer would hold send() for the whole limit.
    client.client->setResponseTimeout(handled ? 10000 : 300);

    QVariantMap sent = message;
    QVariantMap response;
    onWorkerThread([&] { client.client->send(QStringLiteral("me"), sent, response); });

    QCOMPARE(server.handler.count(), handled ? 1 : 0);
    if (handled) {
        QCOMPARE(response, serverReply);
        QVariantMap expected = message;
        expected.insert(key("_PROTOCOL"), QStringLiteral("test-protocol"));
        expected.insert(key("_VERSION"), QStringLiteral("1.0"));
        QVariantMap received = server.handler.messages().first();
        if (message.value(key("_REQUEST")) == QStringLiteral("REGISTER") && registeredAs.isEmpty()
            && !message.contains(key("_APPID"))) {
            // The server's look-up adds both keys, holding no value, before the handler sees it.
            QVERIFY(received.contains(key("_APPID")) && received.contains(key("_USERID")));
            QVERIFY(!received.value(key("_USERID")).isValid()
                || received.value(key("_USERID")).isNull());
            received.remove(key("_APPID"));
            received.remove(key("_USERID"));
        }
        QCOMPARE(received, expected);
    } else {
        QVERIFY(response.isEmpty());
        QVERIFY(log.contains(4, QStringLiteral("VelmoraIPCClient::onSend: failed to parse: ")));
    }

    const QString registrationLine =
        QStringLiteral("VelmoraIPCServer::onReadyRead: AppID=App, UserID=User, serverName=%1")
            .arg(name);
    QCOMPARE(log.contains(0, registrationLine), !registeredAs.isEmpty());
    QCOMPARE(log.contains(4,
                 QStringLiteral("VelmoraIPCServer::onReadyRead: _APPID and _USERID are missing")),
        QTest::currentDataTag() == QByteArray("REGISTER without ids"));

    // Only a registered client is reachable by post.
    QVariantMap note { { key("note"), 1 } };
    server.server->post(QStringLiteral("App:User"), note);
    if (registeredAs.isEmpty()) {
        QTRY_VERIFY(log.contains(4,
            QStringLiteral(
                "VelmoraIPCServer::getSocket: client ID (App:User), socket is not available")));
        QCOMPARE(client.handler.count(), 0);
    } else {
        QVERIFY(client.handler.waitForCount(1));
        QCOMPARE(client.handler.messages().first().value(key("note")).toInt(), 1);
    }
}

void tst_Messaging::clientAnswerRules_data()
{
    QTest::addColumn<bool>("respond");
    QTest::addColumn<QVariantMap>("result");
    QTest::addColumn<bool>("answered");

    const QVariantMap withResponse { { key("_RESPONSE"), QStringLiteral("yes") }, { key("v"), 1 } };
    const QVariantMap emptyResponse { { key("_RESPONSE"), QString() } };
    const QVariantMap falseResponse { { key("_RESPONSE"), false } };
    const QVariantMap withoutResponse { { key("v"), 1 } };
    QTest::newRow("respond, _RESPONSE") << true << withResponse << true;
    QTest::newRow("respond, empty _RESPONSE") << true << emptyResponse << true;
    QTest::newRow("respond, false _RESPONSE") << true << falseResponse << true;
    QTest::newRow("respond, no _RESPONSE") << true << withoutResponse << false;
    QTest::newRow("no respond, _RESPONSE") << false << withResponse << false;
}

void tst_Messaging::clientAnswerRules()
{
    QFETCH(bool, respond);
    QFETCH(QVariantMap, result);
    QFETCH(bool, answered);

    LogCapture log;
    const QString name = uniqueServerName("answer");
    ThreadedServer server(name);
    server.server->setResponseTimeout(answered ? 10000 : 300);
    ThreadedClient client(name, respond);
    client.registerAs(QStringLiteral("A"), QStringLiteral("U"));
    client.handler.setReply(result);

    QVariantMap message { { key("question"), QStringLiteral("?") } };
    QVariantMap response;
    onWorkerThread([&] { server.server->send(QStringLiteral("A:U"), message, response); });

    QVERIFY(client.handler.waitForCount(1));
    QVariantMap expectedAtClient { { key("question"), QStringLiteral("?") },
        { key("_PROTOCOL"), QStringLiteral("test-protocol") },
        { key("_VERSION"), QStringLiteral("1.0") } };
    QCOMPARE(client.handler.messages().first(), expectedAtClient);
    QCOMPARE(message, expectedAtClient); // the caller's map keeps the stamp
    if (answered) {
        // Exactly the handler's result, with nothing stamped into it.
        QCOMPARE(response, result);
    } else {
        QVERIFY(response.isEmpty());
        QVERIFY(log.contains(4, QStringLiteral("VelmoraIPCServer::onSend: failed to parse: ")));
    }
}

void tst_Messaging::stampRules()
{
    const QString name = uniqueServerName("stamp");
    ThreadedServer server(name, false, false, QStringLiteral("srv-proto"), QString());
    server.handler.setReply({ { key("_PROTOCOL"), QStringLiteral("from-handler") } });
    ThreadedClient client(
        name, false, false, false, QStringLiteral("cli-proto"), QStringLiteral("9"));

    QVariantMap message { { key("_REQUEST"), QStringLiteral("REGISTER") },
        { key("_APPID"), QStringLiteral("A") }, { key("_USERID"), QStringLiteral("U") },
        { key("_PROTOCOL"), QStringLiteral("caller's") },
        { key("_VERSION"), QStringLiteral("caller's") } };
    QVariantMap response;
    onWorkerThread([&] { client.client->send(QString(), message, response); });

    // The client's own stamp replaced the caller's values, in the caller's map too.
    QCOMPARE(message.value(key("_PROTOCOL")).toString(), QStringLiteral("cli-proto"));
    QCOMPARE(message.value(key("_VERSION")).toString(), QStringLiteral("9"));
    QCOMPARE(server.handler.messages().first().value(key("_PROTOCOL")).toString(),
        QStringLiteral("cli-proto"));
    // The answer is not stamped: it holds what the handler put there and nothing more.
    QCOMPARE(response, (QVariantMap { { key("_PROTOCOL"), QStringLiteral("from-handler") } }));

    // post and broadcast stamp; an empty version is still written, as an empty text.
    QVariantMap posted { { key("_PROTOCOL"), QStringLiteral("other") } };
    server.server->post(QStringLiteral("A:U"), posted);
    QVariantMap broadcasted { { key("b"), 1 } };
    server.server->broadcast(broadcasted);
    QVERIFY(client.handler.waitForCount(2));
    for (const QVariantMap &m : client.handler.messages()) {
        QCOMPARE(m.value(key("_PROTOCOL")).toString(), QStringLiteral("srv-proto"));
        QVERIFY(m.contains(key("_VERSION")));
        QCOMPARE(m.value(key("_VERSION")).toString(), QString());
    }
}

void tst_Messaging::unregisteredTargetIsNotStamped()
{
    LogCapture log;
    const QString name = uniqueServerName("unregistered");
    ThreadedServer server(name);
    const QVariantMap original { { key("_PROTOCOL"), QStringLiteral("mine") }, { key("x"), 1 } };

    QVariantMap forSend = original;
    QVariantMap response { { key("kept"), true } };
    onWorkerThread([&] { server.server->send(QStringLiteral("nobody:here"), forSend, response); });
    QCOMPARE(forSend, original);
    QCOMPARE(response, (QVariantMap { { key("kept"), true } }));

    QVariantMap forPost = original;
    runIn(server.server, [&] { server.server->post(QStringLiteral("nobody:here"), forPost); });
    QCOMPARE(forPost, original);

    const QString lookUp = QStringLiteral(
        "VelmoraIPCServer::getSocket: client ID (nobody:here), socket is not available");
    QCOMPARE(log.count(4, lookUp), 2);
    QVERIFY(log.contains(4,
        QStringLiteral("VelmoraIPCServer::onSend: failed to send message due to "
                       "unavailable socket: {\"_PROTOCOL\":\"mine\",\"x\":1}")));
    QVERIFY(log.contains(4,
        QStringLiteral("VelmoraIPCServer::post: failed to send message due to "
                       "unavailable socket: {\"_PROTOCOL\":\"mine\",\"x\":1}")));
}

void tst_Messaging::plainAndEnciphered_data() { addCipherModeRows(); }

void tst_Messaging::plainAndEnciphered()
{
    QFETCH(bool, serverEncrypts);
    QFETCH(bool, clientEncrypts);

    const QString name = uniqueServerName("modes");
    ThreadedServer server(name, serverEncrypts);
    const QVariantMap reply { { key("text"),
        QStringLiteral("gr\u00fc\u00dfe \U0001F600 \u4e2d\u6587") } };
    server.handler.setReply(reply);
    ThreadedClient client(name, true, clientEncrypts);
    client.handler.setReply({ { key("_RESPONSE"), QStringLiteral("\u00e9t\u00e9") } });

    QCOMPARE(client.registerAs(QStringLiteral("A"), QStringLiteral("\u00fc")), reply);
    QVariantMap response;
    QVariantMap question { { key("q"), QStringLiteral("\U0001F600") } };
    onWorkerThread([&] { server.server->send(QStringLiteral("A:\u00fc"), question, response); });
    QCOMPARE(response, (QVariantMap { { key("_RESPONSE"), QStringLiteral("\u00e9t\u00e9") } }));
    QCOMPARE(
        client.handler.messages().first().value(key("q")).toString(), QStringLiteral("\U0001F600"));
}

void tst_Messaging::broadcastReachesEveryRegistration()
{
    LogCapture log;
    const QString name = uniqueServerName("broadcast");
    ThreadedServer server(name);
    ThreadedClient a(name), b(name), c(name), silent(name);
    a.registerAs(QStringLiteral("app"), QStringLiteral("a"));
    b.registerAs(QStringLiteral("app"), QStringLiteral("b"));
    c.registerAs(QStringLiteral("app"), QStringLiteral("c"));
    c.registerAs(QStringLiteral("app"), QStringLiteral("c2")); // one connection, two IDs
    QCOMPARE(server.connections(), 4);

    QVariantMap message { { key("all"), 1 } };
    server.server->broadcast(message);
    QVERIFY(a.handler.waitForCount(1));
    QVERIFY(b.handler.waitForCount(1));
    QVERIFY(c.handler.waitForCount(2));
    // Anything more would have arrived with the ones we waited for: a request from each
    // client is answered after whatever the server wrote before.
    QVariantMap ping { { key("_COMMAND"), 1 } }, pong;
    onWorkerThread([&] { silent.client->send(QString(), ping, pong); });
    QCOMPARE(a.handler.count(), 1);
    QCOMPARE(b.handler.count(), 1);
    QCOMPARE(c.handler.count(), 2);
    QCOMPARE(silent.handler.count(), 0);

    // The one connection under two IDs leaves both, in ascending order.
    QSignalSpy gone(server.server, &VelmoraIPCServer::clientDisconnected);
    runIn(c.client, [&] { c.client->disconnectFromServer(); });
    QTRY_COMPARE(gone.size(), 2);
    QCOMPARE(gone.at(0).at(0).toString(), QStringLiteral("app:c"));
    QCOMPARE(gone.at(1).at(0).toString(), QStringLiteral("app:c2"));
    QTRY_COMPARE(server.connections(), 3);
    QVERIFY(log.contains(0,
        QStringLiteral("VelmoraIPCServer::onDisconnected: ClientId=app:c2, "
                       "serverName=%1, RemainingConnections=3")
            .arg(name)));
}

void tst_Messaging::reRegistrationMovesTheId()
{
    const QString name = uniqueServerName("reregister");
    ThreadedServer server(name);
    QSignalSpy gone(server.server, &VelmoraIPCServer::clientDisconnected);
    auto first = std::make_unique<ThreadedClient>(name);
    ThreadedClient second(name);
    first->registerAs(QStringLiteral("A"), QStringLiteral("U"));
    second.registerAs(QStringLiteral("A"), QStringLiteral("U"));

    QVariantMap message { { key("to"), QStringLiteral("newest") } };
    server.server->post(QStringLiteral("A:U"), message);
    QVERIFY(second.handler.waitForCount(1));
    QCOMPARE(first->handler.count(), 0);

    first.reset(); // the connection that lost the ID goes silently
    QTRY_COMPARE(server.connections(), 1);
    QCOMPARE(gone.size(), 0);
    runIn(second.client, [&] { second.client->disconnectFromServer(); });
    QTRY_COMPARE(gone.size(), 1);
    QCOMPARE(gone.first().first().toString(), QStringLiteral("A:U"));
}

void tst_Messaging::serverClosingEndsClientWait()
{
    LogCapture log;
    const QString name = uniqueServerName("close");
    ThreadedServer server(name);
    ThreadedClient client(name);
    client.client->setResponseTimeout(20000);
    QSignalSpy disconnected(client.client, &VelmoraIPCClient::disconnected);

    // A payload-only message gets no answer, so the client waits until the server goes.
    QVariantMap message { { key("payload"), 1 } }, response;
    QElapsedTimer timer;
    auto waiting = std::async(std::launch::async, [&] {
        timer.start();
        client.client->send(QString(), message, response);
        return timer.elapsed();
    });
    QTRY_VERIFY(log.contains(0, QStringLiteral("VelmoraIPCServer::onNewConnection: %1").arg(name)));
    QTest::qWait(100); // give the message time to be on its way; the outcome is the same either way
    runIn(server.server, [&] { server.server->close(); });
    QVERIFY(waiting.wait_for(std::chrono::seconds(15)) == std::future_status::ready);
    QVERIFY2(waiting.get() < 10000, "the wait ended at the limit, not when the connection dropped");
    QVERIFY(response.isEmpty());
    QTRY_COMPARE(disconnected.size(), 1);
    QVERIFY(!client.isConnected());
}

void tst_Messaging::unansweredRequestEndsAtLimit()
{
    LogCapture log;
    const QString name = uniqueServerName("limit");
    ThreadedServer server(name);
    ThreadedClient client(name, false); // registers, but never answers
    client.registerAs(QStringLiteral("A"), QStringLiteral("U"));
    server.server->setResponseTimeout(300);

    QVariantMap message { { key("q"), 1 } };
    QVariantMap response { { key("untouched"), true } };
    onWorkerThread([&] { server.server->send(QStringLiteral("A:U"), message, response); });
    QVERIFY(client.handler.waitForCount(1));
    QVERIFY(log.contains(4, QStringLiteral("VelmoraIPCServer::onSend: failed to parse: ")));
    QCOMPARE(response, (QVariantMap { { key("untouched"), true } }));

    // The read path is attached again: the client's next request is served as usual.
    QCOMPARE(client.registerAs(QStringLiteral("A"), QStringLiteral("U")), QVariantMap());
    QCOMPARE(server.handler.count(), 2);
}

void tst_Messaging::largeMessages_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::newRow("plain") << false;
    QTest::newRow("enciphered") << true;
}

void tst_Messaging::largeMessages()
{
    QFETCH(bool, encrypt);
    // 16 MiB of JSON each way, far beyond one socket buffer: each arrives in many reads.
    const QString big = bigText(16 * 1024 * 1024 / 2);
    const QString name = uniqueServerName("large");
    ThreadedServer server(name, encrypt);
    server.handler.setReplyFunction([](const QVariantMap &m) {
        return QVariantMap { { key("echo"), m.value(key("blob")) } };
    });
    ThreadedClient client(name, true, encrypt);
    client.registerAs(QStringLiteral("A"), QStringLiteral("U"));
    client.handler.setReplyFunction([](const QVariantMap &m) {
        return QVariantMap { { key("_RESPONSE"), 1 }, { key("echo"), m.value(key("blob")) } };
    });

    QVariantMap request { { key("_REQUEST"), QStringLiteral("BIG") }, { key("blob"), big } },
        response;
    onWorkerThread([&] { client.client->send(QString(), request, response); });
    QCOMPARE(response.value(key("echo")).toString().size(), big.size());
    QVERIFY(response.value(key("echo")).toString() == big);

    QVariantMap toClient { { key("blob"), big } }, answer;
    onWorkerThread([&] { server.server->send(QStringLiteral("A:U"), toClient, answer); });
    QVERIFY(answer.value(key("echo")).toString() == big);
}

void tst_Messaging::messagePostedDuringSendIsTheAnswer()
{
    LogCapture log;
    const QString name = uniqueServerName("during");
    ThreadedServer server(name, false, true); // verbose: the trace tells when the message is in
    ThreadedClient client(name);
    client.registerAs(QStringLiteral("A"), QStringLiteral("U"));
    client.client->setResponseTimeout(20000);

    QVariantMap message { { key("payload"), QStringLiteral("no answer") } }, response;
    auto waiting =
        std::async(std::launch::async, [&] { client.client->send(QString(), message, response); });
    QTRY_VERIFY(
        log.containsPrefix(1, QStringLiteral("VelmoraIPCServer::onReadyRead: {\"_PROTOCOL\"")));

    QVariantMap first { { key("seq"), 1 } }, second { { key("seq"), 2 } };
    server.server->post(QStringLiteral("A:U"), first);
    server.server->post(QStringLiteral("A:U"), second);
    QVERIFY(waiting.wait_for(std::chrono::seconds(15)) == std::future_status::ready);
    // The first message to arrive is the answer; the one after it reaches the handler, and
    // the answer never does: a third message is the next one the handler sees.
    QCOMPARE(response.value(key("seq")).toInt(), 1);
    QVariantMap third { { key("seq"), 3 } };
    server.server->post(QStringLiteral("A:U"), third);
    QVERIFY(client.handler.waitForCount(2));
    QCOMPARE(client.handler.messages().at(0).value(key("seq")).toInt(), 2);
    QCOMPARE(client.handler.messages().at(1).value(key("seq")).toInt(), 3);
}

void tst_Messaging::threadRulesAreChecked()
{
    LogCapture log;
    const QString name = uniqueServerName("threads");
    ThreadedServer server(name);
    ThreadedClient client(name);
    client.registerAs(QStringLiteral("A"), QStringLiteral("U"));

    const QVariantMap original { { key("_REQUEST"), QStringLiteral("X") } };
    QVariantMap message = original, response;
    runIn(server.server, [&] { server.server->send(QStringLiteral("A:U"), message, response); });
    runIn(&server.handler, [&] { server.server->send(QStringLiteral("A:U"), message, response); });
    runIn(client.client, [&] { client.client->send(QString(), message, response); });
    runIn(&client.handler, [&] { client.client->send(QString(), message, response); });
    QCOMPARE(message, original);
    QVERIFY(response.isEmpty());
    QCOMPARE(log.texts(4),
        (QStringList {
            QStringLiteral("VelmoraIPCServer::send: called from the server's own thread"),
            QStringLiteral("VelmoraIPCServer::send: called from the handler's thread"),
            QStringLiteral("VelmoraIPCClient::send: called from the client's own thread"),
            QStringLiteral("VelmoraIPCClient::send: called from the handler's thread") }));
    // Nothing was sent: the server's handler saw only the registration.
    QCOMPARE(server.handler.count(), 1);
}

void tst_Messaging::postFromAnotherThreadUsesACopy()
{
    const QString name = uniqueServerName("copy");
    ThreadedServer server(name);
    ThreadedClient client(name);
    client.registerAs(QStringLiteral("A"), QStringLiteral("U"));

    const QVariantMap original { { key("n"), 1 } };
    QVariantMap posted = original, broadcasted = original;
    onWorkerThread([&] {
        server.server->post(QStringLiteral("A:U"), posted);
        server.server->broadcast(broadcasted);
    });
    QCOMPARE(posted, original);
    QCOMPARE(broadcasted, original);
    QVERIFY(client.handler.waitForCount(2));
    for (const QVariantMap &m : client.handler.messages())
        QCOMPARE(m.value(key("_PROTOCOL")).toString(), QStringLiteral("test-protocol"));
}

void tst_Messaging::nullHandlerAnswersEmpty()
{
    const QString name = uniqueServerName("null");
    EventThread serverThread("server");
    auto *server =
        new VelmoraIPCServer(name, QStringLiteral("p"), QStringLiteral("1"), nullptr, false, false);
    server->moveToThread(serverThread.get());
    runIn(server, [&] { server->start(); });
    {
        ThreadedClient client(name);
        const QVariantMap answer = client.registerAs(QStringLiteral("A"), QStringLiteral("U"));
        QVERIFY(answer.isEmpty());
        QVariantMap message { { key("x"), 1 } };
        server->post(QStringLiteral("A:U"), message); // reaches the client's handler
        QVERIFY(client.handler.waitForCount(1));
    }
    runIn(server, [&] { delete server; });
}

void tst_Messaging::destroyedHandlerReceivesNothing()
{
    LogCapture log;
    const QString name = uniqueServerName("gone");
    ThreadedServer server(name);
    server.handler.setReply({ { key("still"), QStringLiteral("served") } });

    EventThread clientThread("client"), handlerThread("client-handler");
    auto *handler = new RecordingHandler;
    handler->moveToThread(handlerThread.get());
    auto *client = new VelmoraIPCClient(
        name, QStringLiteral("p"), QStringLiteral("1"), handler, true, false, false);
    client->moveToThread(clientThread.get());
    runIn(client, [&] { client->connectToServer(); });
    runIn(handler, [&] { delete handler; });

    // The client keeps working without its handler: its requests are answered, and what the
    // server sends reaches nobody (and gets no answer, as only a handler could give one).
    QVariantMap request { { key("_REQUEST"), QStringLiteral("REGISTER") },
        { key("_APPID"), QStringLiteral("A") }, { key("_USERID"), QStringLiteral("U") } };
    QVariantMap response;
    onWorkerThread([&] { client->send(QString(), request, response); });
    QCOMPARE(response, (QVariantMap { { key("still"), QStringLiteral("served") } }));
    server.server->setResponseTimeout(300);
    QVariantMap question { { key("q"), 1 } }, answer;
    onWorkerThread([&] { server.server->send(QStringLiteral("A:U"), question, answer); });
    QVERIFY(answer.isEmpty());
    QVERIFY(log.containsPrefix(1, QStringLiteral("VelmoraIPCClient::onReadyRead: {\"_PROTOCOL\"")));

    runIn(client, [&] { delete client; });
}

QTEST_GUILESS_MAIN(tst_Messaging)
#include "tst_messaging.moc"
