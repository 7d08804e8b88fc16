// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include <VelmoraIPC/VelmoraIPC.h>

#include <QCoreApplication>

class EchoHandler : public IPCMessageHandler
{
public:
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        result = message;
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    EchoHandler handler;
    VelmoraIPCServer server(
        QStringLiteral("velmora-package-%1").arg(QCoreApplication::applicationPid()),
        QStringLiteral("package"), QStringLiteral(VELMORAIPC_VERSION_STRING), &handler, false,
        false);
    int finished = 0;
    QObject::connect(&server, &VelmoraIPCServer::finished, [&finished] { ++finished; });
    server.start();
    server.close();
    return finished == 1 && server.connections() == 0 ? 0 : 1;
}
