// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#pragma once

#include <VelmoraIPC/velmoraipc_export.h>
#include <VelmoraIPC/velmoraipc_version.h>

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class QLocalServer;
class QLocalSocket;

/*!
    Receives the messages that a VelmoraIPCServer or VelmoraIPCClient hands to the host.

    Derive from it and override processIPCMessage(); no Q_OBJECT of your own is needed, because
    the slot is registered by the base class and reached through it.

    The handler must live in a thread of its own that runs an event loop, never the thread of
    the IPC object that delivers to it. Each delivery blocks the IPC object's thread until
    processIPCMessage() returns, so messages reach one handler one at a time. The host owns the
    handler and must keep it alive while the IPC object may still deliver to it.

    \code
    class EchoHandler : public IPCMessageHandler
    {
    public:
        void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
        {
            result = message;
            result.insert(QStringLiteral("_RESPONSE"), true);
        }
    };
    \endcode
*/
class VELMORAIPC_EXPORT IPCMessageHandler : public QObject
{
    Q_OBJECT
public:
    IPCMessageHandler();
    ~IPCMessageHandler() override;

public Q_SLOTS:
    /*!
        Handles one received message. \a message is lent for the call only; whatever the
        handler leaves in \a result (empty on entry) is its answer. Runs in the handler's
        thread. Must not call send() on the IPC object that is delivering to it.
    */
    virtual void processIPCMessage(const QVariantMap &message, QVariantMap &result) = 0;
};

/*!
    Hosts the local message channel: listens on a named local endpoint that every local user
    may connect to, hands requests and commands from clients to the handler and sends the
    handler's answers back, and lets the host send to registered clients.

    The server lives in one thread that runs an event loop; start() and close() must run there
    (queue them, or connect a signal to them). The handler lives in another thread. Clients
    become addressable by sending a "REGISTER" or "SUBSCRIBE" request with _APPID and _USERID;
    the client ID is "<_APPID>:<_USERID>".

    \code
    auto *server = new VelmoraIPCServer(QStringLiteral("suite"), QStringLiteral("proto"),
                                        QStringLiteral("1"), handler, false, false);
    server->moveToThread(&serverThread);
    QObject::connect(&serverThread, &QThread::started, server, &VelmoraIPCServer::start);
    QObject::connect(server, &VelmoraIPCServer::finished, &serverThread, &QThread::quit);
    serverThread.start();
    \endcode

    The server does not own the handler. Accepted connections belong to the listening endpoint
    and are released by deferred deletion.
*/
class VELMORAIPC_EXPORT VelmoraIPCServer : public QObject
{
    Q_OBJECT
public:
    VelmoraIPCServer(const QString &serverName, const QString &protocol, const QString &version,
        IPCMessageHandler *handler, bool encrypt, bool verbose);
    /*! Runs close() once more; must run in the server's thread. */
    ~VelmoraIPCServer() override;

    /*! Number of accepted connections that have not gone yet. Call it on the server's thread. */
    int connections();

    /*!
        Blocking request to the registered client \a clientId: stamps \a message with
        _PROTOCOL and _VERSION, sends it and waits for the first message that arrives from that
        client, which is parsed into \a response. Returns when the answer is whole, when the
        connection drops, or when the response time limit runs out.

        Call it from any thread but the server's own and the handler's; from those it writes a
        level-4 line and returns at once with both maps untouched. An unknown client ID is
        logged and leaves both maps untouched.
    */
    void send(const QString &clientId, QVariantMap &message, QVariantMap &response);

    /*!
        One-way message to the registered client \a clientId; waits for nothing.

        On the server's thread, \a message comes back stamped with _PROTOCOL and _VERSION. From
        any other thread the call is carried out on the server's thread with a copy of
        \a message, and the caller's map is left as it was.
    */
    void post(const QString &clientId, QVariantMap &message);

    /*!
        One-way message to every registered client, once per client ID; waits for nothing.

        Stamping and threads as for post().
    */
    void broadcast(QVariantMap &message);

    /*!
        Sets how long send() waits for the whole answer, over the whole wait (default 25000 ms).
        Takes effect for the next send().
    */
    void setResponseTimeout(int msecs);
    int responseTimeout() const;

Q_SIGNALS:
    void clientDisconnected(const QString &clientId);
    void ipcMessage(const QVariantMap &message, QVariantMap &result);
    void data(const QString &clientId, QVariantMap &message, QVariantMap &response);
    void finished();

public Q_SLOTS:
    /*!
        Makes the endpoint reachable by every local user and listens on it. A socket file left
        behind by a server that died is removed; a live server's endpoint is never taken over.
        Failures are logged at level 5.
    */
    void start();
    void onNewConnection();
    void onDisconnected();
    /*! Drops every connection and the endpoint, then emits finished(). */
    void close();

private Q_SLOTS:
    void onReadyRead();
    void onSend(const QString &clientId, QVariantMap &message, QVariantMap &response);

private:
    QLocalSocket *getSocket(const QString &clientId);
    void readAvailable(QLocalSocket *socket);
    void readAvailableLater(QLocalSocket *socket);
    void dispatch(QLocalSocket *socket, const QString &text, bool decoded);
    void forgetConnection(QLocalSocket *socket, bool scheduleDeletion);
    void writeToAll(const QString &json);

    QString serverName;
    QString protocol;
    QString version;
    IPCMessageHandler *handler;
    bool encrypt;
    bool verbose;
    QLocalServer *localServer;
    QList<QLocalSocket *> sockets;
    QMap<QString, QLocalSocket *> clients;
    int responseTimeoutMsecs;
};

/*!
    Connects a process to a VelmoraIPCServer. Every message that arrives from the server is
    handed to the handler; with \c respond set, a handler result that holds _RESPONSE is sent
    back as the answer.

    The client lives in one thread that runs an event loop; connectToServer() must run there.
    It makes up to five attempts of 5000 ms and does not reconnect on its own.

    \code
    auto *client = new VelmoraIPCClient(QStringLiteral("suite"), QStringLiteral("proto"),
                                        QStringLiteral("1"), handler, true, false, false);
    client->moveToThread(&clientThread);
    QObject::connect(&clientThread, &QThread::started, client,
                     &VelmoraIPCClient::connectToServer);
    clientThread.start();
    // from a third thread:
    QVariantMap request{{QStringLiteral("_REQUEST"), QStringLiteral("PING")}}, answer;
    client->send(QString(), request, answer);
    \endcode

    The client owns its socket and deletes it with itself; it does not own the handler.
*/
class VELMORAIPC_EXPORT VelmoraIPCClient : public QObject
{
    Q_OBJECT
public:
    VelmoraIPCClient(const QString &serverName, const QString &protocol, const QString &version,
        IPCMessageHandler *handler, bool respond, bool encrypt, bool verbose);
    /*! Deletes the socket without disconnecting first; must run in the client's thread. */
    ~VelmoraIPCClient() override;

    /*! Whether the client holds a connected socket. */
    bool isConnected();

    /*!
        Blocking request to the server: stamps \a message with _PROTOCOL and _VERSION, sends it
        and parses the first message that comes back into \a response. The server answers
        messages that hold _REQUEST or _COMMAND. Returns when the answer is whole, when the
        connection drops, or when the response time limit runs out. \a clientId only names the
        exchange in the verbose trace.

        Call it from any thread but the client's own and the handler's; from those it writes a
        level-4 line and returns at once with both maps untouched.
    */
    void send(const QString &clientId, QVariantMap &message, QVariantMap &response);

    /*! As VelmoraIPCServer::setResponseTimeout(). */
    void setResponseTimeout(int msecs);
    int responseTimeout() const;

Q_SIGNALS:
    void connected();
    void disconnected();
    void ipcMessage(const QVariantMap &message, QVariantMap &result);
    void data(const QString &clientId, QVariantMap &message, QVariantMap &response);

public Q_SLOTS:
    /*! Connects, with up to five attempts of 5000 ms; the outcome is logged at level 0. */
    void connectToServer();
    void disconnectFromServer();

private Q_SLOTS:
    void onConnected();
    void onDisconnected();
    void onReadyRead();
    void onSend(const QString &clientId, QVariantMap &message, QVariantMap &response);

private:
    void readAvailable();
    void handleMessage(const QString &text, bool decoded);

    QString serverName;
    QString protocol;
    QString version;
    IPCMessageHandler *handler;
    bool respond;
    bool encrypt;
    bool verbose;
    std::unique_ptr<QLocalSocket> socket;
    int responseTimeoutMsecs;
};
