// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include "wire/framestream_p.h"

#include <functional>

class QObject;
class QLocalSocket;

// The blocking exchange of both IPC classes: writes \a json on \a socket and waits for the first
// whole message that comes back, at most \a timeoutMsecs, returning early when the connection
// drops. Meanwhile the socket's readyRead() reaches nobody, so the read path of \a owner cannot
// take the answer; afterwards it goes to \a owner's onReadyRead() again. Whatever arrived after
// the answer is handed to \a readLeftovers, queued on \a owner's thread, since its readyRead()
// has already been spent.
ReceivedMessage exchangeMessage(QObject *owner, QLocalSocket *socket, const QString &json,
    bool encrypt, int timeoutMsecs, std::function<void()> readLeftovers);
