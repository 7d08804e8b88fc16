// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "exchange_p.h"

#include <QLocalSocket>
#include <QObject>

ReceivedMessage exchangeMessage(QObject *owner, QLocalSocket *socket, const QString &json,
    bool encrypt, int timeoutMsecs, bool &leftovers)
{
    QObject::disconnect(socket, SIGNAL(readyRead()), nullptr, nullptr);
    sendMessage(socket, json, encrypt);
    ReceivedMessage answer;
    waitForMessage(socket, answer, timeoutMsecs);
    QObject::connect(socket, SIGNAL(readyRead()), owner, SLOT(onReadyRead()), Qt::UniqueConnection);
    leftovers = hasPendingInput(socket);
    return answer;
}
