// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// A minimal server host: the server in its own thread with an event loop, its handler in
// another, and the host's own code (here: main) calling broadcast and send from a third.
//
//   example-server [NAME]      then run example-client [NAME] in another terminal
#include <VelmoraIPC/VelmoraIPC.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>

class GreetingHandler : public IPCMessageHandler
{
public:
    // Runs in the handler's thread, one message at a time; the result goes back to the client.
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        std::printf(
            "server got: %s\n", qPrintable(message.value(QStringLiteral("_REQUEST")).toString()));
        result.insert(QStringLiteral("greeting"),
            QStringLiteral("hello, %1").arg(message.value(QStringLiteral("_USERID")).toString()));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QString name = app.arguments().value(1, QStringLiteral("velmora-example"));

    QThread handlerThread;
    GreetingHandler handler;
    handler.moveToThread(&handlerThread);
    handlerThread.start();

    QThread serverThread;
    VelmoraIPCServer server(name, QStringLiteral("example"), QStringLiteral("1.0"), &handler,
        /*encrypt=*/true, /*verbose=*/false);
    server.moveToThread(&serverThread);
    QObject::connect(&serverThread, &QThread::started, &server, &VelmoraIPCServer::start);
    QObject::connect(&server, &VelmoraIPCServer::clientDisconnected,
        [](const QString &id) { std::printf("client %s left\n", qPrintable(id)); });
    serverThread.start();
    std::printf("serving on \"%s\"; Ctrl+C to stop\n", qPrintable(name));

    // Every five seconds, tell every registered client the time. broadcast() may be called
    // from any thread: it is carried out on the server's thread.
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&server] {
        QVariantMap tick { { QStringLiteral("_NOTIFICATION"), QStringLiteral("TICK") } };
        server.broadcast(tick);
    });
    ticker.start(5000);

    const int rc = app.exec();
    // close() and the server's destruction run in the server's thread.
    QMetaObject::invokeMethod(
        &server, [&server] { server.close(); }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    handlerThread.quit();
    handlerThread.wait();
    return rc;
}
