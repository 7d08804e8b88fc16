// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Shared fixtures of the test programs: a capturing log sink, a recording handler, and IPC
// objects that live in threads of their own, as hosts run them.
#pragma once

#include <VelmoraIPC/VelmoraIPC.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QTest>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

namespace TestSupport {

// The four combinations of which end enciphers what it writes, as rows of a data table with
// the columns "serverEncrypts" and "clientEncrypts".
inline void addCipherModeRows()
{
    QTest::addColumn<bool>("serverEncrypts");
    QTest::addColumn<bool>("clientEncrypts");
    QTest::newRow("plain both") << false << false;
    QTest::newRow("server enciphers") << true << false;
    QTest::newRow("client enciphers") << false << true;
    QTest::newRow("both encipher") << true << true;
}

// A unique endpoint name per call, so tests and test programs can run side by side.
inline QString uniqueServerName(const char *tag = "t")
{
    static std::atomic<int> counter { 0 };
    return QStringLiteral("velmora-test-%1-%2-%3")
        .arg(QCoreApplication::applicationPid())
        .arg(QLatin1String(tag))
        .arg(++counter);
}

struct LogLine
{
    int level; // 0, 1, 4 or 5, as the library passes them
    QString text;
};

// Captures the library's log lines (category "velmora.ipc") through a Qt message handler, from
// every thread. Level 1 is switched on while a capture exists. Lines of other categories pass
// on to the previous handler.
class LogCapture
{
public:
    LogCapture()
    {
        current() = this;
        QLoggingCategory::setFilterRules(QStringLiteral("velmora.ipc.debug=true"));
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        current() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<LogLine> lines() const
    {
        QMutexLocker lock(&mutex);
        return captured;
    }
    QStringList texts(int level) const
    {
        QStringList out;
        for (const LogLine &line : lines()) {
            if (line.level == level)
                out.append(line.text);
        }
        return out;
    }
    int count(int level, const QString &text) const { return int(texts(level).count(text)); }
    bool contains(int level, const QString &text) const { return count(level, text) > 0; }
    bool containsPrefix(int level, const QString &prefix) const
    {
        for (const QString &t : texts(level)) {
            if (t.startsWith(prefix))
                return true;
        }
        return false;
    }
    void clear()
    {
        QMutexLocker lock(&mutex);
        captured.clear();
    }
    QString dump() const
    {
        QString out;
        for (const LogLine &line : lines())
            out += QStringLiteral("[%1] %2\n").arg(line.level).arg(line.text);
        return out;
    }

private:
    static LogCapture *&current()
    {
        static LogCapture *instance = nullptr;
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogCapture *self = current();
        if (self && context.category && qstrcmp(context.category, "velmora.ipc") == 0) {
            int level = 4;
            switch (type) {
            case QtInfoMsg:
                level = 0;
                break;
            case QtDebugMsg:
                level = 1;
                break;
            case QtWarningMsg:
                level = 4;
                break;
            default:
                level = 5;
                break;
            }
            QMutexLocker lock(&self->mutex);
            self->captured.append({ level, text });
            return;
        }
        if (self && self->previous)
            self->previous(type, context, text);
    }

    mutable QMutex mutex;
    QList<LogLine> captured;
    QtMessageHandler previous = nullptr;
};

// Records every delivery and answers with a fixed reply (or a function of the message).
class RecordingHandler : public IPCMessageHandler
{
public:
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        std::function<QVariantMap(const QVariantMap &)> fn;
        {
            QMutexLocker lock(&mutex);
            received.append(message);
            threads.append(QThread::currentThread());
            fn = replyFunction;
        }
        if (fn)
            result = fn(message);
        else
            result = reply();
        QMutexLocker lock(&mutex);
        arrived.wakeAll();
    }

    void setReply(const QVariantMap &map)
    {
        QMutexLocker lock(&mutex);
        fixedReply = map;
    }
    void setReplyFunction(std::function<QVariantMap(const QVariantMap &)> fn)
    {
        QMutexLocker lock(&mutex);
        replyFunction = std::move(fn);
    }
    QVariantMap reply() const
    {
        QMutexLocker lock(&mutex);
        return fixedReply;
    }
    QList<QVariantMap> messages() const
    {
        QMutexLocker lock(&mutex);
        return received;
    }
    QList<QThread *> deliveryThreads() const
    {
        QMutexLocker lock(&mutex);
        return threads;
    }
    int count() const
    {
        QMutexLocker lock(&mutex);
        return int(received.size());
    }
    // Waits until at least \a n messages have arrived; false when the time runs out.
    bool waitForCount(int n, int timeoutMsecs = 10000) const
    {
        QDeadlineTimer deadline(timeoutMsecs);
        QMutexLocker lock(&mutex);
        while (received.size() < n) {
            if (!arrived.wait(&mutex, deadline))
                return received.size() >= n;
        }
        return true;
    }

private:
    mutable QMutex mutex;
    mutable QWaitCondition arrived;
    QList<QVariantMap> received;
    QList<QThread *> threads;
    QVariantMap fixedReply;
    std::function<QVariantMap(const QVariantMap &)> replyFunction;
};

// Runs \a fn in \a object's thread and waits for it.
template <typename Fn> void runIn(QObject *object, Fn fn)
{
    if (object->thread() == QThread::currentThread())
        fn();
    else
        QMetaObject::invokeMethod(object, fn, Qt::BlockingQueuedConnection);
}

// A thread with an event loop that quits and is joined on destruction.
class EventThread
{
public:
    explicit EventThread(const char *name = "worker")
    {
        thread.setObjectName(QLatin1String(name));
        thread.start();
    }
    ~EventThread()
    {
        thread.quit();
        thread.wait(30000);
    }
    QThread *get() { return &thread; }

private:
    QThread thread;
};

// A server with its handler, each in a thread of its own; start() runs in the server's thread
// before the constructor returns, and the server is closed and deleted in its thread.
template <typename Handler> class BasicThreadedServer
{
public:
    BasicThreadedServer(const QString &name, bool encrypt = false, bool verbose = false,
        const QString &protocol = QStringLiteral("test-protocol"),
        const QString &version = QStringLiteral("1.0"))
        : serverThread("server"), handlerThread("server-handler")
    {
        handler.moveToThread(handlerThread.get());
        server = new VelmoraIPCServer(name, protocol, version, &handler, encrypt, verbose);
        server->moveToThread(serverThread.get());
        runIn(server, [this] { server->start(); });
    }
    ~BasicThreadedServer()
    {
        VelmoraIPCServer *s = server;
        runIn(s, [s] { delete s; });
    }
    int connections()
    {
        int n = 0;
        runIn(server, [this, &n] { n = server->connections(); });
        return n;
    }

    Handler handler;
    VelmoraIPCServer *server = nullptr;

private:
    EventThread serverThread;
    EventThread handlerThread;
};

using ThreadedServer = BasicThreadedServer<RecordingHandler>;

// A client with its handler, each in a thread of its own; connectToServer() runs in the
// client's thread before the constructor returns.
class ThreadedClient
{
public:
    ThreadedClient(const QString &name, bool respond = false, bool encrypt = false,
        bool verbose = false, const QString &protocol = QStringLiteral("test-protocol"),
        const QString &version = QStringLiteral("1.0"))
        : clientThread("client"), handlerThread("client-handler")
    {
        handler.moveToThread(handlerThread.get());
        client = new VelmoraIPCClient(name, protocol, version, &handler, respond, encrypt, verbose);
        client->moveToThread(clientThread.get());
        runIn(client, [this] { client->connectToServer(); });
    }
    ~ThreadedClient()
    {
        VelmoraIPCClient *c = client;
        runIn(c, [c] { delete c; });
    }
    bool isConnected()
    {
        bool connected = false;
        runIn(client, [this, &connected] { connected = client->isConnected(); });
        return connected;
    }
    // Registers as appId:userId with a blocking request; returns the server's answer.
    QVariantMap registerAs(const QString &appId, const QString &userId,
        const QString &request = QStringLiteral("REGISTER"))
    {
        QVariantMap message { { QStringLiteral("_REQUEST"), request },
            { QStringLiteral("_APPID"), appId }, { QStringLiteral("_USERID"), userId } };
        QVariantMap response;
        client->send(QString(), message, response);
        return response;
    }

    RecordingHandler handler;
    VelmoraIPCClient *client = nullptr;

private:
    EventThread clientThread;
    EventThread handlerThread;
};

} // namespace TestSupport
