// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QList>
#include <QString>

class QLocalSocket;

// One message taken off a connection. \c decoded is false when its bytes were not valid UTF-8
// or held a zero byte: the text is then only good for the log line, and the message must be
// treated as unparseable.
struct ReceivedMessage
{
    QString text;
    bool decoded = true;
    // Deciphered from a frame, which may hold several JSON texts back to back; a plain message
    // is exactly one JSON value (or one run of bytes that is none).
    bool framed = false;
};

// Writes one JSON text to \a socket, framed and enciphered when \a encrypt is set. A null
// socket is logged and nothing is written.
bool sendMessage(QLocalSocket *socket, const QString &json, bool encrypt);

// Reads what \a socket holds into the connection's own buffer and hands over every message
// that is now whole, in order of arrival. The bytes of a message that is not whole yet stay in
// the buffer, which lives and dies with the socket. Must run in the socket's thread.
bool readMessages(QLocalSocket *socket, QList<ReceivedMessage> &messages);

// As readMessages(), but takes at most one whole message and leaves the rest buffered for the
// next call. \a complete tells whether a message was taken.
bool readMessage(QLocalSocket *socket, ReceivedMessage &message, bool &complete);

// Takes one whole message if there is one; \a text is empty otherwise.
bool readMessage(QLocalSocket *socket, QString &text);

// Waits until a whole message has arrived on \a socket and takes it, leaving whatever came
// after it buffered. Ends early when the connection is lost; \a timeoutMsecs bounds the whole
// wait. Returns whether a message was taken.
bool waitForMessage(QLocalSocket *socket, ReceivedMessage &message, int timeoutMsecs);

// The bytes sendMessage() writes for \a json; lets a caller that writes one message to many
// connections encode it once.
QByteArray encodeMessage(const QString &json, bool encrypt);
void writeEncoded(QLocalSocket *socket, const QByteArray &bytes);

// Sets the longest message the connection of \a socket accepts; a longer one is dropped with a
// level-4 line. The default is MessageDecoder::defaultMaxMessageBytes (128 MiB). Must run in
// the socket's thread.
void setMaxMessageBytes(QLocalSocket *socket, qsizetype maxBytes);

// Whether a whole message is already buffered for \a socket, or the socket holds unread bytes.
bool hasPendingInput(QLocalSocket *socket);

bool packMessage(const QString &json, QString &frame);
bool unpackMessage(const QString &received, QString &text);

const QString &frameStartMarker();
const QString &frameEndMarker();
