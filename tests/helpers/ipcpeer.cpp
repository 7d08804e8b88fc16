// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Peer process for the cross-process tests. Plays a server or a client:
//
//   ipcpeer server NAME [--encrypt] [--reply JSON] [--timeout MS]
//   ipcpeer client NAME [--encrypt] [--respond] [--reply JSON] [--timeout MS]
//
// --quiet leaves out the MSG lines (for measurements, where nobody reads them).
//
// Prints "READY" once listening or connected, then one line per event on stdout:
//   MSG <json>        a message reached the handler
//   ANSWER <json>     the answer of a "send" command
//   GONE <clientId>   the server reported clientDisconnected
//   DISCONNECTED      the client lost its connection
//   COUNT <n>         answer to "count" (server connections)
// Commands on stdin, one per line:
//   send ID JSON | post ID JSON | broadcast JSON | count | quit     (server)
//   send JSON | quit                                              (client)
// The handler answers with the --reply map (default empty); as a client with --respond, the
// reply gets _RESPONSE added.
#include <VelmoraIPC/VelmoraIPC.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QThread>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

QMutex outputMutex;

void emitLine(const QString &line)
{
    QMutexLocker lock(&outputMutex);
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString toJson(const QVariantMap &map)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact));
}

QVariantMap fromJson(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object().toVariantMap();
}

class PeerHandler : public IPCMessageHandler
{
public:
    PeerHandler(const QVariantMap &reply, bool addResponse, bool quiet)
        : reply(reply), addResponse(addResponse), quiet(quiet)
    {
    }
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        if (!quiet)
            emitLine(QStringLiteral("MSG ") + toJson(message));
        result = reply;
        if (addResponse)
            result.insert(QStringLiteral("_RESPONSE"), true);
    }

private:
    QVariantMap reply;
    bool addResponse;
    bool quiet;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: ipcpeer server|client NAME [options]\n");
        return 2;
    }
    const bool isServer = args.at(1) == u"server";
    const QString name = args.at(2);
    const bool encrypt = args.contains(QStringLiteral("--encrypt"));
    const bool respond = args.contains(QStringLiteral("--respond"));
    QVariantMap reply;
    int timeout = -1;
    for (int i = 3; i + 1 < args.size(); ++i) {
        if (args.at(i) == u"--reply")
            reply = fromJson(args.at(i + 1));
        else if (args.at(i) == u"--timeout")
            timeout = args.at(i + 1).toInt();
    }

    QThread handlerThread;
    PeerHandler handler(reply, !isServer && respond, args.contains(QStringLiteral("--quiet")));
    handler.moveToThread(&handlerThread);
    handlerThread.start();

    const QString protocol = QStringLiteral("peer-protocol");
    const QString version = QStringLiteral("2.1");
    VelmoraIPCServer *server = nullptr;
    VelmoraIPCClient *client = nullptr;
    if (isServer) {
        server = new VelmoraIPCServer(name, protocol, version, &handler, encrypt, false);
        if (timeout >= 0)
            server->setResponseTimeout(timeout);
        QObject::connect(server, &VelmoraIPCServer::clientDisconnected,
            [](const QString &id) { emitLine(QStringLiteral("GONE ") + id); });
        server->start();
        if (server->connections() != 0)
            return 3;
    } else {
        client = new VelmoraIPCClient(name, protocol, version, &handler, respond, encrypt, false);
        if (timeout >= 0)
            client->setResponseTimeout(timeout);
        QObject::connect(client, &VelmoraIPCClient::disconnected,
            [] { emitLine(QStringLiteral("DISCONNECTED")); });
        client->connectToServer();
        if (!client->isConnected()) {
            std::fprintf(stderr, "ipcpeer: cannot connect to %s\n", qPrintable(name));
            return 4;
        }
    }
    emitLine(QStringLiteral("READY"));

    // Commands come from stdin on a thread of their own: send() blocks, and must not run on the
    // IPC object's thread (the main thread here) nor on the handler's.
    std::thread reader([&] {
        std::string raw;
        while (std::getline(std::cin, raw)) {
            const QString line = QString::fromStdString(raw).trimmed();
            const QString command = line.section(u' ', 0, 0);
            if (command == u"quit")
                break;
            if (command == u"count" && server) {
                int n = 0;
                QMetaObject::invokeMethod(
                    server, [&] { n = server->connections(); }, Qt::BlockingQueuedConnection);
                emitLine(QStringLiteral("COUNT %1").arg(n));
            } else if (command == u"send" && server) {
                QVariantMap message = fromJson(line.section(u' ', 2)), response;
                server->send(line.section(u' ', 1, 1), message, response);
                emitLine(QStringLiteral("ANSWER ") + toJson(response));
            } else if (command == u"send" && client) {
                QVariantMap message = fromJson(line.section(u' ', 1)), response;
                client->send(QString(), message, response);
                emitLine(QStringLiteral("ANSWER ") + toJson(response));
            } else if (command == u"post" && server) {
                QVariantMap message = fromJson(line.section(u' ', 2));
                server->post(line.section(u' ', 1, 1), message);
            } else if (command == u"broadcast" && server) {
                QVariantMap message = fromJson(line.section(u' ', 1));
                server->broadcast(message);
            }
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });

    const int rc = app.exec();
    reader.join();
    delete server;
    delete client;
    handlerThread.quit();
    handlerThread.wait();
    return rc;
}
