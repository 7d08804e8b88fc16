// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "framestream_p.h"

#include "framecipher_p.h"
#include "messagedecoder_p.h"
#include "hostservices/logging_p.h"
#include "hostservices/velmorautil_p.h"

#include <QLocalSocket>
#include <QObject>
#include <QDeadlineTimer>
#include <QStringDecoder>

#include <climits>

#include <cstring>

namespace {

// Read in pieces so that one connection's burst never sits in memory twice over: each piece
// goes through the decoder before the next is read.
constexpr qint64 readChunkBytes = 1024 * 1024;

// The bytes of one connection that do not make a whole message yet. A child of the socket, so
// it goes when the socket goes; only the socket's thread touches it.
class ConnectionBuffer : public QObject
{
public:
    explicit ConnectionBuffer(QObject *parent) : QObject(parent)
    {
        setObjectName(QStringLiteral("velmoraipc-connection-buffer"));
    }
    MessageDecoder decoder;
    QList<ReceivedMessage> ready; // whole messages read but not yet taken
};

ConnectionBuffer *findBuffer(QLocalSocket *socket)
{
    for (QObject *child : socket->children()) {
        if (child->objectName() == u"velmoraipc-connection-buffer")
            return static_cast<ConnectionBuffer *>(child);
    }
    return nullptr;
}

ConnectionBuffer *bufferOf(QLocalSocket *socket)
{
    ConnectionBuffer *buffer = findBuffer(socket);
    return buffer ? buffer : new ConnectionBuffer(socket);
}

ReceivedMessage decodeMessage(const QByteArray &bytes, MessageDecoder::Kind kind)
{
    ReceivedMessage message;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    message.text = utf8.decode(bytes);
    message.decoded =
        !utf8.hasError() && std::memchr(bytes.constData(), 0, size_t(bytes.size())) == nullptr;
    message.framed = kind == MessageDecoder::Kind::Frame;
    if (message.decoded && message.framed) {
        QString text;
        unpackMessage(message.text, text);
        message.text = std::move(text);
    }
    return message;
}

// Moves what the socket holds through the decoder; stops early once \a wanted whole messages
// are waiting (0: read everything).
void fill(QLocalSocket *socket, ConnectionBuffer *buffer, qsizetype wanted)
{
    for (;;) {
        QByteArray bytes;
        MessageDecoder::Kind kind;
        while (buffer->decoder.next(bytes, kind))
            buffer->ready.append(decodeMessage(bytes, kind));
        if (buffer->decoder.takeDroppedFlag()) {
            VIPC_LOG(LOG_WARNING,
                QStringLiteral(
                    "VelmoraIPCServer::readMessage: message larger than %1 bytes dropped")
                    .arg(buffer->decoder.maxMessageBytes()));
        }
        if (wanted > 0 && buffer->ready.size() >= wanted)
            return;
        const qint64 available = socket->bytesAvailable();
        if (available <= 0)
            return;
        buffer->decoder.append(socket->read(qMin(available, readChunkBytes)));
    }
}

} // namespace

const QString &frameStartMarker()
{
    static const QString marker = QStringLiteral("[[[[[");
    return marker;
}

const QString &frameEndMarker()
{
    static const QString marker = QStringLiteral("]]]]]");
    return marker;
}

bool packMessage(const QString &json, QString &frame)
{
    QString cipher;
    encryptText(json, cipher);
    frame = frameStartMarker() + cipher + frameEndMarker();
    return true;
}

bool unpackMessage(const QString &received, QString &text)
{
    text.clear();
    const QList<QStringView> pieces =
        QStringView(received).split(frameEndMarker(), Qt::SkipEmptyParts, Qt::CaseSensitive);
    for (QStringView piece : pieces) {
        QString plain;
        decryptText(
            piece.mid(qMin<qsizetype>(piece.size(), frameStartMarker().size())).toString(), plain);
        text += plain;
    }
    return true;
}

QByteArray encodeMessage(const QString &json, bool encrypt)
{
    if (!encrypt)
        return json.toUtf8();
    QString framed;
    packMessage(json, framed);
    return framed.toLatin1(); // a frame is all ASCII
}

void writeEncoded(QLocalSocket *socket, const QByteArray &bytes)
{
    // A socket that is closing or gone is left alone: writing to it only fills a buffer that
    // nobody drains.
    if (!socket || socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(bytes);
    socket->flush();
}

bool sendMessage(QLocalSocket *socket, const QString &json, bool encrypt)
{
    QString framed;
    if (encrypt && !packMessage(json, framed)) {
        VIPC_LOG(LOG_WARNING, QStringLiteral("sendMessage: problem during message packing"));
        return false;
    }
    if (!socket) {
        if (Logging::isEnabled(LOG_WARNING)) {
            QString text;
            VelmoraUtil::QVariantToJson(QVariant(json), text);
            VIPC_LOG(LOG_WARNING,
                QStringLiteral("VelmoraIPCServer::sendMessage: failed to send message due to "
                               "unavailable socket: ")
                    + VelmoraUtil::logExcerpt(text));
        }
        return true;
    }
    writeEncoded(socket, encrypt ? framed.toLatin1() : json.toUtf8());
    return true;
}

bool readMessages(QLocalSocket *socket, QList<ReceivedMessage> &messages)
{
    messages.clear();
    if (!socket)
        return true;
    ConnectionBuffer *buffer = bufferOf(socket);
    fill(socket, buffer, 0);
    messages = std::exchange(buffer->ready, {});
    return true;
}

bool readMessage(QLocalSocket *socket, ReceivedMessage &message, bool &complete)
{
    complete = false;
    message = ReceivedMessage();
    if (!socket)
        return true;
    ConnectionBuffer *buffer = bufferOf(socket);
    fill(socket, buffer, 1);
    if (!buffer->ready.isEmpty()) {
        message = buffer->ready.takeFirst();
        complete = true;
    }
    return true;
}

bool readMessage(QLocalSocket *socket, QString &text)
{
    ReceivedMessage message;
    bool complete = false;
    const bool ok = readMessage(socket, message, complete);
    text = message.text;
    return ok;
}

bool waitForMessage(QLocalSocket *socket, ReceivedMessage &message, int timeoutMsecs)
{
    if (!socket)
        return false;
    QDeadlineTimer deadline(timeoutMsecs);
    for (;;) {
        bool complete = false;
        readMessage(socket, message, complete);
        if (complete)
            return true;
        if (socket->state() != QLocalSocket::ConnectedState || deadline.hasExpired())
            return false;
        // Returns true only when new bytes were read; false means the time is up or the
        // connection is gone, and then the bytes read so far are looked at once more.
        if (!socket->waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), INT_MAX)))) {
            readMessage(socket, message, complete);
            return complete;
        }
    }
}

void setMaxMessageBytes(QLocalSocket *socket, qsizetype maxBytes)
{
    if (socket)
        bufferOf(socket)->decoder.setMaxMessageBytes(maxBytes);
}

bool hasPendingInput(QLocalSocket *socket)
{
    if (!socket)
        return false;
    if (socket->bytesAvailable() > 0)
        return true;
    const ConnectionBuffer *buffer = findBuffer(socket);
    return buffer && !buffer->ready.isEmpty();
}
