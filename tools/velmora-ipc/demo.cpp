// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// velmora-ipc demo: a server and three clients in one process, on a private endpoint, plain and
// then enciphered; prints what travelled and checks that all of it arrived.
#include "common.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QWaitCondition>

#include <atomic>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace Tool {

namespace {

    const QString command = u"demo"_s;
    constexpr int stepTimeoutMsecs = 5000;
    const QString demoProtocol = u"velmora-demo"_s;
    const QString demoVersion = u"1"_s;

    struct DemoFailure : std::runtime_error
    {
        explicit DemoFailure(const QString &reason) : std::runtime_error(reason.toStdString()) { }
    };

    void check(bool condition, const QString &reason)
    {
        if (!condition)
            throw DemoFailure(reason);
    }

    // What one handler received, for the transcript and the checks.
    class Inbox
    {
    public:
        void add(const QVariantMap &message)
        {
            QMutexLocker lock(&mutex);
            messages.append(message);
            arrived.wakeAll();
        }
        bool waitFor(qsizetype n)
        {
            QDeadlineTimer deadline(stepTimeoutMsecs);
            QMutexLocker lock(&mutex);
            while (messages.size() < n) {
                if (!arrived.wait(&mutex, deadline))
                    return messages.size() >= n;
            }
            return true;
        }
        QList<QVariantMap> all() const
        {
            QMutexLocker lock(&mutex);
            return messages;
        }
        qsizetype size() const
        {
            QMutexLocker lock(&mutex);
            return messages.size();
        }
        QVariantMap last() const
        {
            QMutexLocker lock(&mutex);
            return messages.isEmpty() ? QVariantMap() : messages.constLast();
        }

    private:
        mutable QMutex mutex;
        QWaitCondition arrived;
        QList<QVariantMap> messages;
    };

    void say(const QString &from, const QString &to, const QString &kind, const QString &what)
    {
        printOut(u"  %1 -> %2 %3 %4"_s.arg(from, -6).arg(to, -6).arg(kind, -9).arg(what));
    }

    void note(const QString &text) { printOut(u"  "_s + text); }

    struct DemoClient
    {
        QString user;
        bool respond;
        Inbox inbox;
        std::unique_ptr<ClientHost> host;
    };

    // Talks to the server through a bare local socket and returns the answer's bytes exactly as
    // they came over the wire.
    QByteArray peekAtWire(const QString &name)
    {
        QLocalSocket socket;
        socket.connectToServer(name);
        check(socket.waitForConnected(stepTimeoutMsecs),
            u"a bare local socket could not connect to \"%1\""_s.arg(name));
        socket.write(R"({"_REQUEST":"PEEK"})");
        socket.flush();
        QByteArray bytes;
        QDeadlineTimer deadline(stepTimeoutMsecs);
        while (!(bytes.endsWith('}') || bytes.endsWith("]]]]]"))) {
            check(!deadline.hasExpired() && socket.waitForReadyRead(int(deadline.remainingTime())),
                u"the bare socket got no answer to its PEEK request"_s);
            bytes += socket.readAll();
        }
        socket.disconnectFromServer();
        return bytes;
    }

    QString shorten(const QByteArray &bytes)
    {
        if (bytes.size() <= 72)
            return QString::fromUtf8(bytes);
        return QString::fromUtf8(bytes.left(44)) + u"..."_s + QString::fromUtf8(bytes.right(12));
    }

    void runOnce(const QString &name, bool encrypt, bool verbose)
    {
        printOut(QString());
        printOut(u"== %1, endpoint \"%2\" =="_s.arg(encrypt ? u"enciphered"_s : u"plain"_s, name));
        EndpointOptions options { name, demoProtocol, demoVersion, encrypt, verbose };

        Inbox serverInbox;
        std::atomic<int> dropped { 0 };
        ServerHost server(options, [&serverInbox](const QVariantMap &message, QVariantMap &result) {
            serverInbox.add(message);
            const QString request = message.value(u"_REQUEST"_s).toString();
            if (request == u"REGISTER") {
                result.insert(u"welcome"_s,
                    QString(message.value(u"_APPID"_s).toString() + u':'
                        + message.value(u"_USERID"_s).toString()));
            } else if (request == u"GREET") {
                result.insert(
                    u"greeting"_s, QString(u"hello, "_s + message.value(u"from"_s).toString()));
            } else if (request == u"PEEK") {
                result.insert(u"peek"_s, u"this is what the wire carries"_s);
            }
        });
        server.server()->setResponseTimeout(stepTimeoutMsecs);
        QObject::connect(
            server.server(), &VelmoraIPCServer::clientDisconnected, server.server(),
            [&dropped](const QString &) { ++dropped; }, Qt::DirectConnection);
        QString error;
        check(server.start(&error), u"the server could not listen: "_s + error);
        note(u"server listening"_s);

        DemoClient clients[3] = { { u"alice"_s, false, {}, nullptr },
            { u"bob"_s, true, {}, nullptr }, { u"carol"_s, false, {}, nullptr } };
        QSemaphore disconnections;
        for (DemoClient &c : clients) {
            Inbox *inbox = &c.inbox;
            const QString user = c.user;
            c.host = std::make_unique<ClientHost>(
                options, c.respond, [inbox, user](const QVariantMap &message, QVariantMap &result) {
                    inbox->add(message);
                    // bob answers requests; with respond set, a result holding _RESPONSE goes back.
                    if (user == u"bob" && message.contains(u"_REQUEST"_s)) {
                        result.insert(u"_RESPONSE"_s, true);
                        result.insert(u"status"_s, u"all good"_s);
                    }
                });
            c.host->client()->setResponseTimeout(stepTimeoutMsecs);
            QObject::connect(
                c.host->client(), &VelmoraIPCClient::disconnected, c.host->client(),
                [&disconnections] { disconnections.release(); }, Qt::DirectConnection);
            check(c.host->connect(), u"%1 could not connect"_s.arg(c.user));
        }
        note(u"alice, bob and carol connected (bob answers the server's requests)"_s);

        // 1. Registration: each client sends REGISTER with _APPID and _USERID.
        for (DemoClient &c : clients) {
            QVariantMap message { { u"_REQUEST"_s, u"REGISTER"_s }, { u"_APPID"_s, u"demo"_s },
                { u"_USERID"_s, c.user } };
            QVariantMap answer;
            const qsizetype before = serverInbox.size();
            const SendOutcome outcome = clientSend(*c.host, message, answer);
            check(outcome == SendOutcome::Answered,
                u"%1's REGISTER: %2"_s.arg(c.user, describe(outcome, stepTimeoutMsecs)));
            check(serverInbox.size() == before + 1,
                u"the server's handler did not see %1's REGISTER"_s.arg(c.user));
            const QVariantMap seen = serverInbox.last();
            check(seen.value(u"_PROTOCOL"_s).toString() == demoProtocol,
                u"%1's REGISTER arrived without the protocol stamp"_s.arg(c.user));
            say(c.user, u"server"_s, u"request"_s, toJsonLine(seen));
            check(answer.value(u"welcome"_s).toString() == u"demo:"_s + c.user,
                u"%1's REGISTER got the wrong answer %2"_s.arg(c.user, toJsonLine(answer)));
            say(u"server"_s, c.user, u"answer"_s, toJsonLine(answer));
        }

        // 2. A client's request, answered by the server's handler.
        {
            QVariantMap message { { u"_REQUEST"_s, u"GREET"_s }, { u"from"_s, u"alice"_s } };
            QVariantMap answer;
            const SendOutcome outcome = clientSend(*clients[0].host, message, answer);
            check(outcome == SendOutcome::Answered,
                u"alice's GREET: "_s + describe(outcome, stepTimeoutMsecs));
            say(u"alice"_s, u"server"_s, u"request"_s, toJsonLine(serverInbox.last()));
            check(answer.value(u"greeting"_s).toString() == u"hello, alice",
                u"alice's GREET got the wrong answer "_s + toJsonLine(answer));
            say(u"server"_s, u"alice"_s, u"answer"_s, toJsonLine(answer));
        }

        // 3. The server's blocking send, answered by bob (respond set, _RESPONSE in the result).
        {
            QVariantMap message { { u"_REQUEST"_s, u"STATUS"_s } };
            QVariantMap answer;
            const SendOutcome outcome = serverSend(server.server(), u"demo:bob"_s, message, answer);
            check(outcome == SendOutcome::Answered,
                u"the server's send to bob: "_s + describe(outcome, stepTimeoutMsecs));
            check(
                clients[1].inbox.size() == 1, u"bob's handler did not see the server's request"_s);
            say(u"server"_s, u"bob"_s, u"send"_s, toJsonLine(clients[1].inbox.last()));
            check(answer.value(u"status"_s).toString() == u"all good"
                    && answer.contains(u"_RESPONSE"_s),
                u"bob's answer is wrong: "_s + toJsonLine(answer));
            say(u"bob"_s, u"server"_s, u"answer"_s, toJsonLine(answer));
        }

        // 4. A post to carol only, then a broadcast to all three.
        {
            QVariantMap post { { u"_NOTIFICATION"_s, u"for carol only"_s } };
            server.server()->post(u"demo:carol"_s, post);
            check(clients[2].inbox.waitFor(1), u"carol's handler did not get the post"_s);
            say(u"server"_s, u"carol"_s, u"post"_s, toJsonLine(clients[2].inbox.last()));

            QVariantMap broadcast { { u"_NOTIFICATION"_s, u"for everyone"_s } };
            server.server()->broadcast(broadcast);
            const qsizetype expected[3] = { 1, 2,
                2 }; // alice: broadcast; bob: send + broadcast; carol: post + broadcast
            for (int i = 0; i < 3; ++i) {
                check(clients[i].inbox.waitFor(expected[i]),
                    u"%1's handler did not get the broadcast"_s.arg(clients[i].user));
                check(
                    clients[i].inbox.last().value(u"_NOTIFICATION"_s).toString() == u"for everyone",
                    u"%1's handler got something else than the broadcast"_s.arg(clients[i].user));
            }
            // The post travelled before the broadcast on each connection: had it reached alice or
            // bob, it would be there now.
            check(clients[0].inbox.size() == 1 && clients[1].inbox.size() == 2,
                u"the post to carol reached another client"_s);
            say(u"server"_s, u"all"_s, u"broadcast"_s,
                toJsonLine(clients[0].inbox.last()) + u"  (alice, bob, carol)"_s);
        }

        // 5. The bytes on the wire, as a bare local socket sees the server's answer.
        {
            const QByteArray wire = peekAtWire(name);
            check(encrypt ? wire.startsWith("[[[[[") : wire.startsWith("{"),
                u"the server's answer on the wire is not %1: "_s.arg(
                    encrypt ? u"a frame"_s : u"plain JSON"_s)
                    + shorten(wire));
            say(u"raw"_s, u"server"_s, u"request"_s,
                u"{\"_REQUEST\":\"PEEK\"}  (a bare local socket)"_s);
            say(u"server"_s, u"raw"_s, u"wire"_s,
                u"%1  (%2 bytes%3)"_s.arg(shorten(wire))
                    .arg(wire.size())
                    .arg(encrypt ? u", Blowfish-CBC, base64, framed"_s : u", plain JSON"_s));
        }

        // 6. A clean close: every client hears of it, every registration goes.
        server.close();
        check(disconnections.tryAcquire(3, stepTimeoutMsecs),
            u"not every client saw the server close"_s);
        check(dropped == 3,
            u"the server dropped %1 registrations instead of 3"_s.arg(dropped.load()));
        for (DemoClient &c : clients)
            check(!c.host->isConnected(), u"%1 still counts as connected"_s.arg(c.user));
        note(u"server closed; alice, bob and carol were disconnected, 3 registrations dropped"_s);
        for (DemoClient &c : clients)
            c.host.reset();
    }

} // namespace

int runDemo(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Runs a server and three clients (alice, bob, carol) in this process on a private "
        "endpoint name, plain and then enciphered: registration, a client's request, the "
        "server's blocking send, a post and a broadcast, then a clean close. Prints what "
        "travelled; exits 0 when everything arrived, 1 with the reason otherwise."_s);
    parser.addOption(
        { u"verbose"_s, u"Also writes the library's log lines and traces to standard error."_s });
    const int parsed = parseCommandLine(parser, command, QString(), arguments, 0, 0);
    if (parsed >= 0)
        return parsed;
    const bool verbose = parser.isSet(u"verbose"_s);
    setLibraryLogLevels(verbose, verbose);

    const QString base = u"velmora-ipc-demo-%1-%2"_s.arg(QCoreApplication::applicationPid())
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QChar(u'0'));
    printOut(u"VelmoraIPC %1 demo: a server and three clients in one process"_s.arg(
        QStringLiteral(VELMORAIPC_VERSION_STRING)));
    LogWatch warnings;
    for (const bool encrypt : { false, true }) {
        const QString name = base + (encrypt ? u"-enciphered"_s : u"-plain"_s);
        try {
            runOnce(name, encrypt, verbose);
            const QList<LibraryLine> lines = warnings.lines();
            check(lines.isEmpty(),
                u"the library logged a failure: "_s
                    + (lines.isEmpty() ? QString() : lines.first().text));
        } catch (const DemoFailure &failure) {
            printOut(QString());
            diag(command,
                u"FAILED (%1): %2"_s.arg(encrypt ? u"enciphered"_s : u"plain"_s,
                    QString::fromStdString(failure.what())));
            return ExitFailure;
        }
    }
    printOut(QString());
    printOut(u"demo passed: plain and enciphered, every message arrived"_s);
    return ExitOk;
}

} // namespace Tool
