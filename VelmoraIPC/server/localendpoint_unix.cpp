// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "localendpoint_p.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>

#include <chrono>

namespace {

// Up to how many connections wait for the server to take them; also the kernel's listen
// backlog, so a burst of clients is queued rather than refused.
constexpr int pendingConnectionLimit = 512;

// How long a live server may take to accept the probe. A server that is blocked in a handler
// still accepts at the kernel level, so this only has to cover scheduling delays.
constexpr std::chrono::milliseconds liveServerProbeTimeout { 1000 };

// What QLocalServer::WorldAccessOption sets: connecting takes write permission on the file.
constexpr mode_t everyUserMode = S_IRWXU | S_IRWXG | S_IRWXO;

bool liveServerAnswers(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    const bool connected = probe.waitForConnected(int(liveServerProbeTimeout.count()));
    if (connected)
        probe.abort();
    return connected;
}

// Qt's WorldAccessOption binds in a temporary directory and renames the socket file onto the
// name, which silently replaces whatever is there, a live server's endpoint included. Binding
// at the name itself fails while the name is taken, so the file is opened to every user after
// listening instead. Until the chmod only our own user could connect, which loses nothing.
bool listenOpenToEveryUser(QLocalServer *server, const QString &name)
{
    if (!server->listen(name))
        return false;
    if (::chmod(QFile::encodeName(server->fullServerName()).constData(), everyUserMode) == 0)
        return true;
    server->close();
    return false;
}

} // namespace

bool listenForAllUsers(QLocalServer *server, const QString &name)
{
    server->setSocketOptions(QLocalServer::NoOptions);
    server->setMaxPendingConnections(pendingConnectionLimit);
    server->setListenBacklogSize(pendingConnectionLimit);
    if (listenOpenToEveryUser(server, name))
        return true;
    if (server->serverError() != QAbstractSocket::AddressInUseError || liveServerAnswers(name))
        return false;
    // No one answers: a server that died left the file behind. There is an inherent race here
    // with another server that recovers the same name at the same moment; the later removal
    // wins, as it would for two servers started by hand.
    QLocalServer::removeServer(name);
    return listenOpenToEveryUser(server, name);
}
