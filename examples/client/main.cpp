// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// A minimal client host: the client in its own thread with an event loop, its handler in
// another, and a blocking request made from a third (main).
//
//   example-client [NAME] [USER]
#include <VelmoraIPC/VelmoraIPC.h>

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

class PrintingHandler : public IPCMessageHandler
{
public:
    // Every message the server posts or broadcasts arrives here, in the handler's thread.
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        std::printf("client got: %s\n",
            qPrintable(message.value(QStringLiteral("_NOTIFICATION")).toString()));
        // With respond set, a result holding _RESPONSE is the answer to the server's send().
        result.insert(QStringLiteral("_RESPONSE"), true);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QString name = app.arguments().value(1, QStringLiteral("velmora-example"));
    const QString user = app.arguments().value(2, QStringLiteral("alice"));

    QThread handlerThread;
    PrintingHandler handler;
    handler.moveToThread(&handlerThread);
    handlerThread.start();

    QThread clientThread;
    auto *client = new VelmoraIPCClient(name, QStringLiteral("example"), QStringLiteral("1.0"),
        &handler, /*respond=*/true, /*encrypt=*/true,
        /*verbose=*/false);
    client->moveToThread(&clientThread);
    clientThread.start();
    // connectToServer() must run in the client's thread; it blocks there while it tries.
    bool connected = false;
    QMetaObject::invokeMethod(
        client,
        [&] {
            client->connectToServer();
            connected = client->isConnected();
        },
        Qt::BlockingQueuedConnection);

    int rc = 1;
    if (connected) {
        // send() blocks this thread until the server's handler has answered.
        QVariantMap request { { QStringLiteral("_REQUEST"), QStringLiteral("REGISTER") },
            { QStringLiteral("_APPID"), QStringLiteral("example-client") },
            { QStringLiteral("_USERID"), user } };
        QVariantMap answer;
        client->send(QString(), request, answer);
        std::printf("server answered: %s\n",
            qPrintable(answer.value(QStringLiteral("greeting")).toString()));
        rc = answer.isEmpty() ? 1 : 0;
    } else {
        std::printf("no server on \"%s\"\n", qPrintable(name));
    }

    QMetaObject::invokeMethod(
        client, [client] { delete client; }, Qt::BlockingQueuedConnection);
    clientThread.quit();
    clientThread.wait();
    handlerThread.quit();
    handlerThread.wait();
    return rc;
}
