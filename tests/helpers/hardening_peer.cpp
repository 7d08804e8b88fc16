// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Peer process for the hardening tests: plays a server or a client that the test can kill.
//
//   hardening_peer server <name>
//       Answers every request with {"_RESPONSE":true,"echo":<n>,"pid":<pid>}; a request "HANG"
//       prints "hang-received" and keeps the handler busy for two minutes. Prints "ready" once
//       it listens, or "listen-failed" and exits with 3 when the name is taken. Reads commands
//       from stdin: "connections" prints "connections <n>"; "broadcast <tag>" broadcasts
//       {"_NOTIFICATION":"broadcast","tag":<tag>} and prints "broadcast-done"; "quit" exits.
//   hardening_peer client <name> <appId> <userId> [--silent]
//       Connects and registers, then prints "registered". Prints "got <_REQUEST>" for each
//       message from the server; answers it unless --silent. "quit" on stdin exits.
#include "testsupport.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

using namespace TestSupport;

namespace {

std::atomic<bool> listenFailed { false };

// Only warnings and worse reach stderr: a test that does not drain the pipe must not stall us.
void logToStderr(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains(QStringLiteral("failed to listen")))
        listenFailed = true;
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "[%s] %s\n", context.category ? context.category : "", qPrintable(text));
}

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

class PeerHandler : public IPCMessageHandler
{
public:
    explicit PeerHandler(bool answer) : answer(answer) { }
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        const QString request = message.value(QStringLiteral("_REQUEST")).toString();
        say(QStringLiteral("got ") + request);
        if (request == u"HANG") {
            say(QStringLiteral("hang-received"));
            QThread::sleep(120);
        }
        if (!answer)
            return;
        result.insert(QStringLiteral("_RESPONSE"), true);
        result.insert(QStringLiteral("echo"), message.value(QStringLiteral("n")));
        result.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    }

private:
    bool answer;
};

// Reads stdin lines in a thread of their own and hands each to \a fn in the main thread.
template <typename Fn> void readCommands(Fn fn)
{
    std::thread([fn] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString command = QString::fromStdString(line).trimmed();
            QMetaObject::invokeMethod(
                qApp, [fn, command] { fn(command); }, Qt::QueuedConnection);
        }
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }).detach();
}

int runServer(const QString &name)
{
    EventThread serverThread("server");
    EventThread handlerThread("handler");
    PeerHandler handler(true);
    handler.moveToThread(handlerThread.get());
    auto *server = new VelmoraIPCServer(
        name, QStringLiteral("hardening"), QStringLiteral("1"), &handler, false, false);
    server->moveToThread(serverThread.get());
    runIn(server, [server] { server->start(); });
    if (listenFailed) {
        say(QStringLiteral("listen-failed"));
        runIn(server, [server] { delete server; });
        return 3;
    }
    readCommands([server](const QString &command) {
        if (command == u"connections") {
            int n = 0;
            runIn(server, [server, &n] { n = server->connections(); });
            say(QStringLiteral("connections %1").arg(n));
        } else if (command.startsWith(u"broadcast ")) {
            QVariantMap message { { QStringLiteral("_NOTIFICATION"), QStringLiteral("broadcast") },
                { QStringLiteral("tag"), command.mid(10) } };
            runIn(server, [server, &message] { server->broadcast(message); });
            say(QStringLiteral("broadcast-done"));
        } else if (command == u"quit") {
            QCoreApplication::exit(0);
        }
    });
    say(QStringLiteral("ready"));
    const int rc = QCoreApplication::exec();
    runIn(server, [server] { delete server; });
    return rc;
}

int runClient(const QString &name, const QString &appId, const QString &userId, bool silent)
{
    EventThread clientThread("client");
    EventThread handlerThread("handler");
    PeerHandler handler(!silent);
    handler.moveToThread(handlerThread.get());
    auto *client = new VelmoraIPCClient(
        name, QStringLiteral("hardening"), QStringLiteral("1"), &handler, true, false, false);
    client->moveToThread(clientThread.get());
    runIn(client, [client] { client->connectToServer(); });
    QVariantMap message { { QStringLiteral("_REQUEST"), QStringLiteral("REGISTER") },
        { QStringLiteral("_APPID"), appId }, { QStringLiteral("_USERID"), userId } };
    QVariantMap response;
    client->send(QString(), message, response);
    if (response.isEmpty()) {
        say(QStringLiteral("register-failed"));
        runIn(client, [client] { delete client; });
        return 4;
    }
    readCommands([](const QString &command) {
        if (command == u"quit")
            QCoreApplication::exit(0);
    });
    say(QStringLiteral("registered"));
    const int rc = QCoreApplication::exec();
    runIn(client, [client] { delete client; });
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(logToStderr);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == u"server")
        return runServer(args.at(2));
    if (args.size() >= 5 && args.at(1) == u"client")
        return runClient(
            args.at(2), args.at(3), args.at(4), args.contains(QStringLiteral("--silent")));
    std::fprintf(stderr,
        "usage: hardening_peer server <name> | client <name> <appId> <userId> [--silent]\n");
    return 2;
}
