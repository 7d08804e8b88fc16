// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "localendpoint_p.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <chrono>

namespace {

// Up to how many connections wait for the server to take them; also the kernel's listen
// backlog, so a burst of clients is queued rather than refused.
constexpr int pendingConnectionLimit = 512;

// How long a live server may take to accept the probe. A server that is blocked in a handler
// still accepts at the kernel level, so this only has to cover scheduling delays.
constexpr std::chrono::milliseconds liveServerProbeTimeout { 1000 };

bool liveServerAnswers(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    const bool connected = probe.waitForConnected(int(liveServerProbeTimeout.count()));
    if (connected)
        probe.abort();
    return connected;
}

} // namespace

bool listenForAllUsers(QLocalServer *server, const QString &name)
{
    // The socket file is made readable and writable by everyone: every local user may connect.
    server->setSocketOptions(QLocalServer::WorldAccessOption);
    server->setMaxPendingConnections(pendingConnectionLimit);
    server->setListenBacklogSize(pendingConnectionLimit);
    if (server->listen(name))
        return true;
    if (server->serverError() != QAbstractSocket::AddressInUseError || liveServerAnswers(name))
        return false;
    QLocalServer::removeServer(name);
    return server->listen(name);
}
