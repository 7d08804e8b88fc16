// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include <VelmoraIPC/VelmoraIPC.h>

#include "hostservices/logging_p.h"
#include "hostservices/velmorautil_p.h"
#include "messaging/exchange_p.h"
#include "messaging/protocol_p.h"
#include "wire/framestream_p.h"

#include <QLocalSocket>
#include <QMetaMethod>
#include <QThread>

#include <chrono>

namespace {
constexpr int maxConnectAttempts = 5;
constexpr std::chrono::milliseconds connectAttemptTimeout { 5000 };
// D-Bus's default reply timeout.
constexpr int defaultResponseTimeoutMsecs = 25000;
} // namespace

VelmoraIPCClient::VelmoraIPCClient(const QString &serverName, const QString &protocol,
    const QString &version, IPCMessageHandler *handler, bool respond, bool encrypt, bool verbose)
    : QObject(nullptr), serverName(serverName), protocol(protocol), version(version),
      handler(handler), respond(respond), encrypt(encrypt), verbose(verbose),
      responseTimeoutMsecs(defaultResponseTimeoutMsecs)
{
    if (handler) {
        connect(this, SIGNAL(ipcMessage(QVariantMap, QVariantMap &)), handler,
            SLOT(processIPCMessage(QVariantMap, QVariantMap &)), Qt::BlockingQueuedConnection);
    }
    connect(this, SIGNAL(data(QString, QVariantMap &, QVariantMap &)), this,
        SLOT(onSend(QString, QVariantMap &, QVariantMap &)), Qt::BlockingQueuedConnection);
}

VelmoraIPCClient::~VelmoraIPCClient()
{
    // Deleting the socket may report the disconnection; nobody is left to hear it.
    if (socket)
        socket->disconnect(this);
    socket.reset();
}

void VelmoraIPCClient::setResponseTimeout(int msecs) { responseTimeoutMsecs = qMax(0, msecs); }

int VelmoraIPCClient::responseTimeout() const { return responseTimeoutMsecs; }

bool VelmoraIPCClient::isConnected()
{
    return socket && socket->state() == QLocalSocket::ConnectedState;
}

void VelmoraIPCClient::connectToServer()
{
    if (socket)
        socket->disconnect(this); // the old socket's last signals are of no interest
    socket.reset(new QLocalSocket());
    connect(socket.get(), SIGNAL(connected()), this, SLOT(onConnected()), Qt::UniqueConnection);
    connect(
        socket.get(), SIGNAL(disconnected()), this, SLOT(onDisconnected()), Qt::UniqueConnection);
    connect(socket.get(), SIGNAL(readyRead()), this, SLOT(onReadyRead()), Qt::UniqueConnection);

    for (int attempt = 0; attempt < maxConnectAttempts; ++attempt) {
        socket->connectToServer(serverName, QIODevice::ReadWrite);
        if (socket->waitForConnected(int(connectAttemptTimeout.count()))) {
            VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCClient::connectToServer: succeeded"));
            return;
        }
    }
    VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCClient::connectToServer: failed"));
}

void VelmoraIPCClient::disconnectFromServer()
{
    if (!socket) {
        VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCClient::disconnectFromServer: null socket"));
    } else if (!socket->isValid()) {
        VIPC_LOG(
            LOG_INFO, QStringLiteral("VelmoraIPCClient::disconnectFromServer: invalid socket"));
    } else if (socket->state() == QLocalSocket::UnconnectedState) {
        VIPC_LOG(
            LOG_INFO, QStringLiteral("VelmoraIPCClient::disconnectFromServer: socket unconnected"));
    } else {
        socket->disconnectFromServer();
    }
}

void VelmoraIPCClient::onConnected()
{
    VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCClient::onConnected: %1").arg(serverName));
    Q_EMIT connected();
}

void VelmoraIPCClient::onDisconnected()
{
    VIPC_LOG(LOG_INFO, QStringLiteral("VelmoraIPCClient::onDisconnected: %1").arg(serverName));
    Q_EMIT disconnected();
}

void VelmoraIPCClient::onReadyRead() { readAvailable(); }

void VelmoraIPCClient::readAvailable()
{
    QList<ReceivedMessage> messages;
    if (!readMessages(socket.get(), messages)) {
        VIPC_LOG(
            LOG_WARNING, QStringLiteral("VelmoraIPCClient::onReadyRead: failed to read message"));
        return;
    }
    for (const ReceivedMessage &received : messages) {
        if (!received.decoded || (!received.framed && !received.text.startsWith(u'['))) {
            handleMessage(received.text, received.decoded);
            continue;
        }
        // A frame may carry several objects, and a peer may send a JSON array of them.
        const QList<QString> texts = VelmoraUtil::splitJsonArray(received.text);
        for (const QString &text : texts)
            handleMessage(text, true);
    }
}

void VelmoraIPCClient::handleMessage(const QString &text, bool decoded)
{
    QVariantMap message;
    if (!decoded || !VelmoraUtil::JsonToQVariantMap(text, message)) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCClient::onReadyRead: failed to parse: ")
                + VelmoraUtil::logExcerpt(text));
        return;
    }
    VIPC_LOG(LOG_TRACE,
        QStringLiteral("VelmoraIPCClient::onReadyRead: ") + VelmoraUtil::logExcerpt(text));

    QVariantMap result;
    Q_EMIT ipcMessage(message, result);
    if (!respond || !result.contains(ProtocolKeys::response()))
        return;

    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(result), json)) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCClient::onReadyRead(result): ")
                + VelmoraUtil::logExcerpt(json));
    } else if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCClient::onReadyRead(result): ")
                + VelmoraUtil::toLoggingString(result, 1));
    }
    sendMessage(socket.get(), json, encrypt);
}

void VelmoraIPCClient::send(const QString &clientId, QVariantMap &message, QVariantMap &response)
{
    // A blocking delivery to our own thread, or from the thread that our deliveries to the
    // handler wait on, would wait for itself.
    if (QThread::currentThread() == thread()) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCClient::send: called from the client's own thread"));
        return;
    }
    // A destroyed handler takes its connection with it; only a live one's thread is asked for.
    static const QMetaMethod delivery = QMetaMethod::fromSignal(&VelmoraIPCClient::ipcMessage);
    if (handler && isSignalConnected(delivery) && QThread::currentThread() == handler->thread()) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCClient::send: called from the handler's thread"));
        return;
    }
    Q_EMIT data(clientId, message, response);
}

void VelmoraIPCClient::onSend(const QString &clientId, QVariantMap &message, QVariantMap &response)
{
    applyProtocolStamp(message, protocol, version);
    QString json;
    if (!VelmoraUtil::QVariantToJson(QVariant(message), json)) {
        VIPC_LOG(LOG_WARNING, QStringLiteral("VelmoraIPCClient::onSend: failed to parse message"));
        return;
    }
    if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCClient::onSend(%1): ").arg(clientId)
                + VelmoraUtil::logExcerpt(json));
    }
    if (!socket) {
        sendMessage(nullptr, json, encrypt); // logs the unavailable socket
        return;
    }

    bool leftovers = false;
    const ReceivedMessage answer =
        exchangeMessage(this, socket.get(), json, encrypt, responseTimeoutMsecs, leftovers);
    if (leftovers)
        QMetaObject::invokeMethod(
            this, [this] { readAvailable(); }, Qt::QueuedConnection);
    if (!answer.decoded || !VelmoraUtil::JsonToQVariantMap(answer.text, response)) {
        VIPC_LOG(LOG_WARNING,
            QStringLiteral("VelmoraIPCClient::onSend: failed to parse: ")
                + VelmoraUtil::logExcerpt(answer.text));
    } else if (verbose) {
        VIPC_LOG(LOG_TRACE,
            QStringLiteral("VelmoraIPCClient::onSend(response): ")
                + VelmoraUtil::toLoggingString(response, 1));
    }
}
