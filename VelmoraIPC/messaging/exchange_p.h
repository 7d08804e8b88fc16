// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include "wire/framestream_p.h"

class QObject;
class QLocalSocket;

// The blocking exchange of both IPC classes: writes \a json on \a socket and waits for the first
// whole message that comes back, at most \a timeoutMsecs, returning early when the connection
// drops. Meanwhile the socket's readyRead() reaches nobody, so the read path of \a owner cannot
// take the answer; afterwards it goes to \a owner's onReadyRead() again. \a leftovers tells
// whether more arrived after the answer: its readyRead() has been spent, so the caller must
// hand it to the read path itself.
ReceivedMessage exchangeMessage(QObject *owner, QLocalSocket *socket, const QString &json,
    bool encrypt, int timeoutMsecs, bool &leftovers);
