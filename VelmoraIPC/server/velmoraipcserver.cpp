// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include <VelmoraIPC/VelmoraIPC.h>

#include "hostservices/logging_p.h"
#include "hostservices/velmorautil_p.h"
#include "messaging/exchange_p.h"
#include "messaging/protocol_p.h"
#include "server/localendpoint_p.h"
#include "wire/framestream_p.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QMetaMethod>
#include <QThread>

namespace {
// D-Bus's default reply timeout: long enough for a slow handler, short enough that a peer that
// never answers does not hold the caller for good.
constexpr int defaultResponseTimeoutMsecs = 25000;
} // namespace

VelmoraIPCServer::VelmoraIPCServer(const QString &serverName, const QString &protocol,
    const QString &version, IPCMessageHandler *handler, bool encrypt, bool verbose)
    : QObject(nullptr), serverName(serverName), protocol(protocol), version(version),
      handler(handler), encrypt(encrypt), verbose(verbose), localServer(nullptr),
      responseTimeoutMsecs(defaultResponseTimeoutMsecs)
{
    // Without a handler there is nothing to connect to; messages then reach nobody and are
    // answered with an empty result.
    if (handler) {
        connect(this, SIGNAL(ipcMessage(QVariantMap, QVariantMap &)), handler,
            SLOT(processIPCMessage(QVariantMap, QVariantMap &)), Qt::BlockingQueuedConnection);
    }
    connect(this, SIGNAL(data(QString, QVariantMap &, QVariantMap &)), this,
        SLOT(onSend(QString, QVariantMap &, QVariantMap &)), Qt::BlockingQueuedConnection);
}

VelmoraIPCServer::~VelmoraIPCServer() { close(); }

void VelmoraIPCServer::setResponseTimeout(int msecs) { responseTimeoutMsecs = qMax(0, msecs); }

int VelmoraIPCServer::responseTimeout() const { return responseTimeoutMsecs; }

void VelmoraIPCServer::start()
{
    VIPC_LOG(
        LOG_TRACE, QStringLiteral("VelmoraIPCServer::start: create named pipe %1").arg(serverName));

    if (localServer) {
        // The connections of the old endpoint die with it: let each leave the records through
        // the disconnect handling first, so nothing keeps pointing at a deleted connection.
        const QList<QLocalSocket *> old = sockets;
        for (QLocalSocket *socket : old) {
            if (socket && socket->parent() == localServer) {
                socket->disconnect(this);
                forgetConnection(socket, false);
            }
        }
        delete localServer;
        localServer = nullptr;
    }

    // A child of the server, so that it goes with the server even when the thread's event loop
    // no longer runs to carry out a deferred deletion.
    localServer = new QLocalServer(this);
    if (!listenForAllUsers(localServer, serverName)) {
        VIPC_LOG(LOG_CRITICAL,
            QStringLiteral("VelmoraIPCServer::start: failed to listen tp named pipe %1")
                .arg(serverName));
        return;
    }
    VIPC_LOG(LOG_TRACE,
        QStringLiteral("VelmoraIPCServer::start: listen to named pipe %1").arg(serverName));
    connect(
        localServer, SIGNAL(newConnection()), this, SLOT(onNewConnection()), Qt::AutoConnection);
}

void VelmoraIPCServer::close()
{
    VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::closing %1").arg(serverName));

    const QList<QLocalSocket *> open = sockets;
    for (QLocalSocket *socket : open) {
        VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::close: delete QLocalSocket instance"));
        if (!socket) {
            VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::close: null socket"));
        } else if (!socket->isValid()) {
            VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::close: invalid socket"));
        } else if (socket->state() == QLocalSocket::UnconnectedState) {
            VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::close: socket unconnected"));
        } else {
            // May report the disconnection at once, which runs onDisconnected() right here.
            socket->disconnectFromServer();
            socket->deleteLater();
        }
    }
    // A connection that is still flushing, or that is already unconnected, may be deleted with
    // the endpoint before it reports its disconnection; it leaves the registry now.
    for (QLocalSocket *socket : open) {
        if (socket) {
            socket->disconnect(this);
            forgetConnection(socket, false);
        }
    }
    sockets.clear();

    if (localServer) {
        VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::close: delete QLocalServer instance"));
        // Stop listening at once so the name is free for the next start; the object itself goes
        // with the event loop, as it may be in use further up the stack.
        localServer->close();
        localServer->deleteLater();
        localServer = nullptr;
    }
    Q_EMIT finished();
}

int VelmoraIPCServer::connections() { return int(sockets.size()); }

void VelmoraIPCServer::onNewConnection()
{
    if (!localServer)
        return;
    QLocalSocket *socket = localServer->nextPendingConnection();
    if (!socket)
        return;
    connect(socket, SIGNAL(disconnected()), this, SLOT(onDisconnected()), Qt::AutoConnection);
    connect(socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()), Qt::UniqueConnection);
    sockets.append(socket);
    VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCServer::onNewConnection: %1").arg(serverName));
    // Bytes that came with the connection were read before readyRead() was connected.
    if (socket->bytesAvailable() > 0)
        readAvailableLater(socket);
}

void VelmoraIPCServer::onDisconnected()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (!socket)
        return;
    forgetConnection(socket, true);
}

void VelmoraIPCServer::forgetConnection(QLocalSocket *socket, bool scheduleDeletion)
{
    sockets.removeAll(socket);
    if (scheduleDeletion)
        socket->deleteLater();
    // Every client ID the connection holds goes, in ascending order, so the registry never
    // hands out a connection that is being deleted.
    const QMap<QString, QLocalSocket *> snapshot = clients;
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it) {
        if (it.value() != socket)
            continue;
        clients.remove(it.key());
        VIPC_LOG(LOG_INFO,
            QStringLiteral("VelmoraIPCServer::onDisconnected: ClientId=%1, serverName=%2, "
                           "RemainingConnections=%3")
                .arg(it.key(), serverName, QString::number(sockets.size())));
        Q_EMIT clientDisconnected(it.key());
    }
}

QLocalSocket *VelmoraIPCServer::getSocket(const QString &clientId)
{
    if (!clientId.isEmpty()) {
        const auto it = clients.constFind(clientId);
        if (it != clients.cend() && it.value())
            return it.value();
    }
    VIPC_LOG(LOG_WARNING,
        QStringLiteral("VelmoraIPCServer::getSocket: client ID (%1), socket is not available")
            .arg(clientId));
    return nullptr;
}

void VelmoraIPCServer::onReadyRead()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    if (socket)
        readAvailable(socket);
}

void VelmoraIPCServer::readAvailable(QLocalSocket *socket)
{
    QList<ReceivedMessage> messages;
    if (!readMessages(socket, messages)) {
        VIPC_LOG(
            LOG_WARNING, QStringLiteral("VelmoraIPCServer::onReadyRead: failed to read message"));
        return;
    }
    for (const ReceivedMessage &message : messages)
        dispatch(socket, message.text, message.decoded);
}

void VelmoraIPCServer::readAvailableLater(QLocalSocket *socket)
{
    // Queued, with a guard: the connection may be gone by the time the event loop gets to it.
    QPointer<QLocalSocket> guard(socket);
    QMetaObject::invokeMethod(
        this,
        [this, guard] {
            if (guard)
                readAvailable(guard);
        },
        Qt::QueuedConnection);
}

void VelmoraIPCServer::dispatch(QLocalSocket *socket, const QString &text, bool decoded)
{
    QVariantMap message;
    if (!decoded || !VelmoraUtil::JsonToQVariantMap(text, message)) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::onReadyRead: failed to parse: ")
                + VelmoraUtil::logExcerpt(text));
        return;
    }
    if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCServer::onReadyRead: ")
                + VelmoraUtil::toLoggingString(message, 1));
    }

    if (isRegistration(message)) {
        // Reads through operator[] on purpose: the handler then sees both keys, a missing one
        // holding an invalid value.
        const QString appId = message[ProtocolKeys::appId()].toString();
        const QString userId = message[ProtocolKeys::userId()].toString();
        if (appId.isEmpty() || userId.isEmpty()) {
            VIPC_LOG(LOG_WARNING,
                QStringLiteral("VelmoraIPCServer::onReadyRead: _APPID and _USERID are missing"));
        } else if (sockets.contains(socket)) {
            // A connection that has already gone must not enter the registry.
            clients.insert(makeClientId(appId, userId), socket);
            VIPC_LOG(LOG_INFO,
                QStringLiteral("VelmoraIPCServer::onReadyRead: AppID=%1, UserID=%2, serverName=%3")
                    .arg(appId, userId, serverName));
        }
    }

    if (!isDispatched(message))
        return;

    QVariantMap result;
    Q_EMIT ipcMessage(message, result);

    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(result), json)) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::onReadyRead(result): ")
                + VelmoraUtil::logExcerpt(json));
    } else if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCServer::onReadyRead(result): ")
                + VelmoraUtil::toLoggingString(result, 1));
    }
    sendMessage(socket, json, encrypt);
}

void VelmoraIPCServer::send(const QString &clientId, QVariantMap &message, QVariantMap &response)
{
    // A blocking delivery to our own thread, or from the thread that our deliveries to the
    // handler wait on, would wait for itself.
    if (QThread::currentThread() == thread()) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::send: called from the server's own thread"));
        return;
    }
    // A destroyed handler takes its connection with it; only a live one's thread is asked for.
    static const QMetaMethod delivery = QMetaMethod::fromSignal(&VelmoraIPCServer::ipcMessage);
    if (handler && isSignalConnected(delivery) && QThread::currentThread() == handler->thread()) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::send: called from the handler's thread"));
        return;
    }
    Q_EMIT data(clientId, message, response);
}

void VelmoraIPCServer::onSend(const QString &clientId, QVariantMap &message, QVariantMap &response)
{
    QLocalSocket *socket = getSocket(clientId);
    if (!socket) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::onSend: failed to send message due to "
                           "unavailable socket: ")
                + VelmoraUtil::toLogText(QVariant(message)));
        return;
    }
    applyProtocolStamp(message, protocol, version);
    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(message), json)) {
        VIPC_LOG(LOG_WARNING, QStringLiteral("VelmoraIPCServer::onSend: failed to parse message"));
        return;
    }
    if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCServer::onSend(%1): ").arg(clientId)
                + VelmoraUtil::logExcerpt(json));
    }

    bool leftovers = false;
    const ReceivedMessage answer =
        exchangeMessage(this, socket, json, encrypt, responseTimeoutMsecs, leftovers);
    if (leftovers)
        readAvailableLater(socket);
    if (!answer.decoded || !VelmoraUtil::JsonToQVariantMap(answer.text, response)) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::onSend: failed to parse: ")
                + VelmoraUtil::logExcerpt(answer.text));
    } else if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCServer::onSend(response): ")
                + VelmoraUtil::toLoggingString(response, 1));
    }
}

void VelmoraIPCServer::post(const QString &clientId, QVariantMap &message)
{
    if (QThread::currentThread() != thread()) {
        // The registry and the sockets belong to the server's thread: carry the call over
        // there with a copy, so the caller's map is never touched from two threads.
        QMetaObject::invokeMethod(
            this, [this, clientId, copy = message]() mutable { post(clientId, copy); },
            Qt::QueuedConnection);
        return;
    }
    QLocalSocket *socket = getSocket(clientId);
    if (!socket) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCServer::post: failed to send message due to "
                           "unavailable socket: ")
                + VelmoraUtil::toLogText(QVariant(message)));
        return;
    }
    applyProtocolStamp(message, protocol, version);
    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(message), json)) {
        VIPC_LOG(LOG_WARNING, QStringLiteral("VelmoraIPCServer::post: failed to parse message"));
        return;
    }
    if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCServer::post(%1): ").arg(clientId)
                + VelmoraUtil::logExcerpt(json));
    }
    sendMessage(socket, json, encrypt);
}

void VelmoraIPCServer::broadcast(QVariantMap &message)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, copy = message]() mutable { broadcast(copy); }, Qt::QueuedConnection);
        return;
    }
    applyProtocolStamp(message, protocol, version);
    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(message), json)) {
        VIPC_LOG(
            LOG_WARNING, QStringLiteral("VelmoraIPCServer::broadcast: failed to parse message"));
        return;
    }
    if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCServer::broadcast: ") + VelmoraUtil::logExcerpt(json));
    }
    writeToAll(json);
}

void VelmoraIPCServer::writeToAll(const QString &json)
{
    // The same text gives the same bytes for every recipient, so it is encoded once. A
    // connection registered under two IDs gets the message twice, once per ID.
    const QByteArray bytes = encodeMessage(json, encrypt);
    const QMap<QString, QLocalSocket *> snapshot = clients;
    for (QLocalSocket *socket : snapshot)
        writeEncoded(socket, bytes);
}
