// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "testsupport.h"

#include <QTest>

using namespace TestSupport;

class tst_Messaging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void smoke();
};

void tst_Messaging::smoke()
{
    LogCapture log;
    const QString name = uniqueServerName();
    ThreadedServer server(name);
    server.handler.setReply({ { QStringLiteral("answer"), 42 } });
    ThreadedClient client(name, true);
    QVERIFY(client.isConnected());
    const QVariantMap answer = client.registerAs(QStringLiteral("A"), QStringLiteral("U"));
    QCOMPARE(answer.value(QStringLiteral("answer")).toInt(), 42);
    QVERIFY2(server.handler.waitForCount(1), qPrintable(log.dump()));
    qDebug().noquote() << log.dump();
}

QTEST_GUILESS_MAIN(tst_Messaging)
#include "tst_messaging.moc"
