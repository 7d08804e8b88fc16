// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "protocol_p.h"

void applyProtocolStamp(QVariantMap &message, const QString &protocol, const QString &version)
{
    message.insert(ProtocolKeys::protocol(), QVariant(protocol));
    message.insert(ProtocolKeys::version(), QVariant(version));
}

bool isDispatched(const QVariantMap &message)
{
    return message.contains(ProtocolKeys::request()) || message.contains(ProtocolKeys::command());
}

bool isRegistration(const QVariantMap &message)
{
    const auto it = message.constFind(ProtocolKeys::request());
    if (it == message.cend())
        return false;
    const QString value = it->toString();
    return value == ProtocolKeys::registerRequest() || value == ProtocolKeys::subscribe();
}

QString makeClientId(const QString &appId, const QString &userId) { return appId + u':' + userId; }
