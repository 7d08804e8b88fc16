// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QString>
#include <QVariantMap>

// Reserved keys of the message envelope and the request values the server acts on.
namespace ProtocolKeys {
inline QString protocol() { return QStringLiteral("_PROTOCOL"); }
inline QString version() { return QStringLiteral("_VERSION"); }
inline QString request() { return QStringLiteral("_REQUEST"); }
inline QString command() { return QStringLiteral("_COMMAND"); }
inline QString appId() { return QStringLiteral("_APPID"); }
inline QString userId() { return QStringLiteral("_USERID"); }
inline QString notification() { return QStringLiteral("_NOTIFICATION"); }
inline QString response() { return QStringLiteral("_RESPONSE"); }

inline QString subscribe() { return QStringLiteral("SUBSCRIBE"); }
inline QString registerRequest() { return QStringLiteral("REGISTER"); }
inline QString unsubscribe() { return QStringLiteral("UNSUBSCRIBE"); }
} // namespace ProtocolKeys

// Sets _PROTOCOL and then _VERSION in the caller's map, replacing what was there.
void applyProtocolStamp(QVariantMap &message, const QString &protocol, const QString &version);

// Whether the server hands \a message to its handler and answers it.
bool isDispatched(const QVariantMap &message);

// Whether \a message asks to register its sender ("REGISTER" or "SUBSCRIBE", case-sensitive).
bool isRegistration(const QVariantMap &message);

// "<appId>:<userId>", nothing escaped.
QString makeClientId(const QString &appId, const QString &userId);
