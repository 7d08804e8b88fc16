// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Fixtures of the server tests: a server with its handler, each in a thread of its own, whose
// signals are recorded from any thread; and a raw local socket in a thread of its own that
// speaks plain JSON, as a peer written without the library would.
#pragma once

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <sys/stat.h>

#include <memory>

namespace ServerTests {

using namespace TestSupport;

inline QString text(const char *s) { return QString::fromUtf8(s); }

// Where the endpoint of a relative name lives.
inline QString socketPath(const QString &name)
{
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

// Log lines as (level, text), with %1 replaced by \a name where it stands.
inline QList<LogLine> lines(
    const QString &name, std::initializer_list<std::pair<int, const char *>> list)
{
    QList<LogLine> out;
    for (const auto &[level, line] : list) {
        const QString t = text(line);
        out.append({ level, t.contains(QLatin1String("%1")) ? t.arg(name) : t });
    }
    return out;
}

// Lines as "[level] text", for comparisons that show where they differ.
inline QStringList rendered(const QList<LogLine> &lines)
{
    QStringList out;
    for (const LogLine &line : lines)
        out.append(QStringLiteral("[%1] %2").arg(line.level).arg(line.text));
    return out;
}

// What the server's signals carried, written in the emitting thread.
struct SignalRecord
{
    mutable QMutex mutex;
    QStringList disconnectedIds;
    int finished = 0;
};

class ServerInThread
{
public:
    explicit ServerInThread(const QString &name, bool startNow = true)
        : serverName(name), record(std::make_shared<SignalRecord>()), serverThread("server"),
          handlerThread("server-handler")
    {
        handler.moveToThread(handlerThread.get());
        server = new VelmoraIPCServer(
            name, QStringLiteral("test-protocol"), QStringLiteral("1.0"), &handler, false, false);
        // Functor connections without a context are direct: they run in the emitting thread,
        // and the record outlives the server.
        std::shared_ptr<SignalRecord> r = record;
        QObject::connect(server, &VelmoraIPCServer::clientDisconnected, [r](const QString &id) {
            QMutexLocker lock(&r->mutex);
            r->disconnectedIds.append(id);
        });
        QObject::connect(server, &VelmoraIPCServer::finished, [r] {
            QMutexLocker lock(&r->mutex);
            ++r->finished;
        });
        server->moveToThread(serverThread.get());
        if (startNow)
            start();
    }
    ~ServerInThread()
    {
        if (server)
            destroy();
    }
    ServerInThread(const ServerInThread &) = delete;
    ServerInThread &operator=(const ServerInThread &) = delete;

    // Runs \a fn in the server's thread and waits for it.
    template <typename Fn> void call(Fn fn) { runIn(server, fn); }
    void start()
    {
        call([this] { server->start(); });
    }
    void close()
    {
        call([this] { server->close(); });
    }
    void destroy()
    {
        VelmoraIPCServer *s = server;
        server = nullptr;
        runIn(s, [s] { delete s; });
    }
    int connections()
    {
        int n = -1;
        call([this, &n] { n = server->connections(); });
        return n;
    }
    QStringList disconnectedIds() const
    {
        QMutexLocker lock(&record->mutex);
        return record->disconnectedIds;
    }
    int finished() const
    {
        QMutexLocker lock(&record->mutex);
        return record->finished;
    }

    const QString serverName;
    RecordingHandler handler;
    VelmoraIPCServer *server = nullptr;

private:
    std::shared_ptr<SignalRecord> record;
    EventThread serverThread;
    EventThread handlerThread;
};

// A QLocalSocket that lives in a thread of its own; every operation runs there and blocks the
// caller until it is done.
class RawClient
{
public:
    RawClient() : context(std::make_unique<QObject>()), thread("raw-client")
    {
        context->moveToThread(thread.get());
    }
    ~RawClient()
    {
        runIn(context.get(), [this] {
            delete socket;
            socket = nullptr;
        });
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connectTo(const QString &name)
    {
        bool ok = false;
        runIn(context.get(), [&] {
            delete socket;
            socket = new QLocalSocket;
            socket->connectToServer(name);
            ok = socket->waitForConnected(5000);
        });
        return ok;
    }

    // Writes \a message as plain JSON and waits for the one JSON object that answers it.
    bool request(const QVariantMap &message, QVariantMap &answer)
    {
        bool ok = false;
        runIn(context.get(), [&] {
            socket->write(
                QJsonDocument(QJsonObject::fromVariantMap(message)).toJson(QJsonDocument::Compact));
            if (!socket->waitForBytesWritten(5000))
                return;
            QByteArray received;
            QDeadlineTimer deadline(10000);
            while (!deadline.hasExpired()) {
                QJsonParseError error;
                const QJsonDocument doc = QJsonDocument::fromJson(received, &error);
                if (error.error == QJsonParseError::NoError && doc.isObject()) {
                    answer = doc.object().toVariantMap();
                    ok = true;
                    return;
                }
                if (!socket->waitForReadyRead(int(deadline.remainingTime())))
                    return;
                received += socket->readAll();
            }
        });
        return ok;
    }

    // Registers as \a appId : \a userId and waits for the server's answer.
    bool registerAs(const QString &appId, const QString &userId)
    {
        QVariantMap answer;
        return request(
            { { QStringLiteral("_REQUEST"), QStringLiteral("REGISTER") },
                { QStringLiteral("_APPID"), appId }, { QStringLiteral("_USERID"), userId } },
            answer);
    }

    void disconnectFromServer()
    {
        runIn(context.get(), [this] {
            socket->disconnectFromServer();
            if (socket->state() != QLocalSocket::UnconnectedState)
                socket->waitForDisconnected(5000);
        });
    }

    // Waits until the server has dropped the connection.
    bool waitUntilDropped()
    {
        bool dropped = false;
        runIn(context.get(), [&] {
            QDeadlineTimer deadline(5000);
            while (socket->state() != QLocalSocket::UnconnectedState && !deadline.hasExpired()) {
                socket->waitForReadyRead(int(deadline.remainingTime()));
                socket->readAll();
            }
            dropped = socket->state() == QLocalSocket::UnconnectedState;
        });
        return dropped;
    }

private:
    std::unique_ptr<QObject> context; // destroyed after the thread has ended
    EventThread thread;
    QLocalSocket *socket = nullptr;
};

// Whether the socket file of \a name lets every local user connect: a socket, readable and
// writable by owner, group and others (connecting takes write permission).
inline bool openToEveryUser(const QString &name, QString *why)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(socketPath(name)).constData(), &st) != 0) {
        *why = QStringLiteral("no socket file at %1").arg(socketPath(name));
        return false;
    }
    const mode_t all = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
    *why = QStringLiteral("mode %1").arg(st.st_mode, 0, 8);
    return S_ISSOCK(st.st_mode) && (st.st_mode & all) == all;
}

} // namespace ServerTests
