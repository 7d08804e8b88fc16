// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The method tables of the three exported classes as the meta-object system gives them to
// hosts that connect by signature text: order, kind, access, normalised signature and
// parameter names.
#include <VelmoraIPC/VelmoraIPC.h>

#include <QMetaMethod>
#include <QTest>

namespace {

const QMetaObject *metaObjectOf(const QByteArray &className)
{
    if (className == "IPCMessageHandler")
        return &IPCMessageHandler::staticMetaObject;
    if (className == "VelmoraIPCServer")
        return &VelmoraIPCServer::staticMetaObject;
    if (className == "VelmoraIPCClient")
        return &VelmoraIPCClient::staticMetaObject;
    return nullptr;
}

// One method as "<kind> <access> <signature> <parameter names>". Qt's moc records every signal
// as public whatever section declares it, so signals are written with the access Qt gives.
QString describe(const QMetaMethod &method)
{
    QString kind;
    switch (method.methodType()) {
    case QMetaMethod::Signal:
        kind = QStringLiteral("signal");
        break;
    case QMetaMethod::Slot:
        kind = QStringLiteral("slot");
        break;
    case QMetaMethod::Method:
        kind = QStringLiteral("method");
        break;
    case QMetaMethod::Constructor:
        kind = QStringLiteral("constructor");
        break;
    }
    QString access;
    switch (method.access()) {
    case QMetaMethod::Private:
        access = QStringLiteral("private");
        break;
    case QMetaMethod::Protected:
        access = QStringLiteral("protected");
        break;
    case QMetaMethod::Public:
        access = QStringLiteral("public");
        break;
    }
    QStringList names;
    for (const QByteArray &name : method.parameterNames())
        names.append(QString::fromLatin1(name));
    return QStringList { kind, access, QString::fromLatin1(method.methodSignature()),
        QString::fromLatin1(method.typeName()), names.join(QLatin1Char(',')) }
        .join(QLatin1Char(' '))
        .trimmed();
}

QString m(const char *description) { return QString::fromLatin1(description); }

} // namespace

class tst_MetaObjectTables : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void methodTable_data();
    void methodTable();
};

void tst_MetaObjectTables::methodTable_data()
{
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QStringList>("methods");

    QTest::newRow("IPCMessageHandler")
        << QByteArray("IPCMessageHandler")
        << QStringList { m(
               "slot public processIPCMessage(QVariantMap,QVariantMap&) void message,result") };

    QTest::newRow("VelmoraIPCServer")
        << QByteArray("VelmoraIPCServer")
        << QStringList {
               m("signal public clientDisconnected(QString) void clientId"),
               m("signal public ipcMessage(QVariantMap,QVariantMap&) void message,result"),
               m("signal public data(QString,QVariantMap&,QVariantMap&) void "
                 "clientId,message,response"),
               m("signal public finished() void"),
               m("slot public start() void"),
               m("slot public onNewConnection() void"),
               m("slot public onDisconnected() void"),
               m("slot public close() void"),
               m("slot private onReadyRead() void"),
               m("slot private onSend(QString,QVariantMap&,QVariantMap&) void "
                 "clientId,message,response"),
           };

    QTest::newRow("VelmoraIPCClient")
        << QByteArray("VelmoraIPCClient")
        << QStringList {
               m("signal public connected() void"),
               m("signal public disconnected() void"),
               m("signal public ipcMessage(QVariantMap,QVariantMap&) void message,result"),
               m("signal public data(QString,QVariantMap&,QVariantMap&) void "
                 "clientId,message,response"),
               m("slot public connectToServer() void"),
               m("slot public disconnectFromServer() void"),
               m("slot private onConnected() void"),
               m("slot private onDisconnected() void"),
               m("slot private onReadyRead() void"),
               m("slot private onSend(QString,QVariantMap&,QVariantMap&) void "
                 "clientId,message,response"),
           };
}

void tst_MetaObjectTables::methodTable()
{
    QFETCH(QByteArray, className);
    QFETCH(QStringList, methods);

    const QMetaObject *meta = metaObjectOf(className);
    QVERIFY(meta);
    QCOMPARE(QByteArray(meta->className()), className);
    QCOMPARE(meta->superClass(), &QObject::staticMetaObject);

    QStringList actual;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        actual.append(describe(meta->method(i)));
    QCOMPARE(actual, methods);

    // Nothing else is declared to the meta-object system.
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    QCOMPARE(meta->constructorCount(), 0);

    // Hosts connect by signature text: every entry is found under its own signature.
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QByteArray signature = meta->method(i).methodSignature();
        QCOMPARE(meta->indexOfMethod(QMetaObject::normalizedSignature(signature.constData())), i);
    }
}

QTEST_GUILESS_MAIN(tst_MetaObjectTables)
#include "tst_metaobjecttables.moc"
