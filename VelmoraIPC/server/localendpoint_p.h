// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QString>

class QLocalServer;

// Opens \a server to every local user and listens on \a name. When the name is taken by an
// endpoint that no live server answers on (a server that crashed left it behind), the stale
// entry is removed and listening is tried once more. A live server's endpoint is never taken
// over. Returns whether the server listens.
bool listenForAllUsers(QLocalServer *server, const QString &name);
