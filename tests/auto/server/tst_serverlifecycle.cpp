// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Start, close and destruction of a server: the exact log lines and finished(), the endpoint
// that every local user may reach, a name held by a live server, and a socket file left behind
// by a server that died.
#include "serverfixture.h"

#include <QTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ServerTests;

namespace {

enum class Step { Start, Close, Destroy };
enum class StaleKind { BoundWithoutListener, ListenerKilled };

sockaddr_un unixAddress(const QByteArray &path)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    ::memcpy(addr.sun_path, path.constData(), size_t(path.size()) + 1);
    return addr;
}

// Leaves a socket file at \a path that no process listens on, the way a server that crashed
// leaves its endpoint behind.
bool makeStaleSocketFile(const QString &path, StaleKind kind)
{
    const QByteArray encoded = QFile::encodeName(path);
    const sockaddr_un addr = unixAddress(encoded);
    if (kind == StaleKind::BoundWithoutListener) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
        ::close(fd);
        return bound;
    }

    // A child listens and is killed: nothing of it runs when the file stays behind. Only
    // async-signal-safe calls between fork() and _exit().
    int ready[2];
    if (::pipe(ready) != 0)
        return false;
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::close(ready[0]);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const char ok =
            (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0
                && ::listen(fd, 8) == 0)
            ? 'y'
            : 'n';
        if (::write(ready[1], &ok, 1) != 1 || ok != 'y')
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char ok = 'n';
    const bool listening = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
    ::close(ready[0]);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return listening;
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(QList<LogLine>)

class tst_ServerLifecycle : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void linesAndFinished_data();
    void linesAndFinished();
    void restartedServerListensAgain();
    void openToEveryUser();
    void liveNameIsNotTakenOver();
    void staleSocketFileRecovered_data();
    void staleSocketFileRecovered();
};

void tst_ServerLifecycle::linesAndFinished_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QList<LogLine>>("expected"); // %1: the server name
    QTest::addColumn<int>("finished");

    const auto start = std::initializer_list<std::pair<int, const char *>> {
        { 1, "VelmoraIPCServer::start: create named pipe %1" },
        { 1, "VelmoraIPCServer::start: listen to named pipe %1" }
    };
    const auto closeIdle = std::initializer_list<std::pair<int, const char *>> { { 0,
        "VelmoraIPCServer::closing %1" } };
    const auto closeListening =
        std::initializer_list<std::pair<int, const char *>> { { 0, "VelmoraIPCServer::closing %1" },
            { 0, "VelmoraIPCServer::close: delete QLocalServer instance" } };
    const QString n = QStringLiteral("%1");

    QTest::newRow("never started, closed")
        << QList<Step> { Step::Close } << lines(n, closeIdle) << 1;
    QTest::newRow("never started, closed twice")
        << QList<Step> { Step::Close, Step::Close } << (lines(n, closeIdle) + lines(n, closeIdle))
        << 2;
    QTest::newRow("never started, destroyed")
        << QList<Step> { Step::Destroy } << lines(n, closeIdle) << 1;
    QTest::newRow("started, closed") << QList<Step> { Step::Start, Step::Close }
                                     << (lines(n, start) + lines(n, closeListening)) << 1;
    QTest::newRow("started, closed twice")
        << QList<Step> { Step::Start, Step::Close, Step::Close }
        << (lines(n, start) + lines(n, closeListening) + lines(n, closeIdle)) << 2;
    QTest::newRow("started, destroyed") << QList<Step> { Step::Start, Step::Destroy }
                                        << (lines(n, start) + lines(n, closeListening)) << 1;
    QTest::newRow("started, closed, destroyed")
        << QList<Step> { Step::Start, Step::Close, Step::Destroy }
        << (lines(n, start) + lines(n, closeListening) + lines(n, closeIdle)) << 2;
    QTest::newRow("started twice, closed")
        << QList<Step> { Step::Start, Step::Start, Step::Close }
        << (lines(n, start) + lines(n, start) + lines(n, closeListening)) << 1;
    QTest::newRow("restarted after close")
        << QList<Step> { Step::Start, Step::Close, Step::Start, Step::Close }
        << (lines(n, start) + lines(n, closeListening) + lines(n, start) + lines(n, closeListening))
        << 2;
}

void tst_ServerLifecycle::linesAndFinished()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QList<LogLine>, expected);
    QFETCH(int, finished);

    const QString name = uniqueServerName("life");
    for (LogLine &line : expected)
        line.text = line.text.contains(QLatin1String("%1")) ? line.text.arg(name) : line.text;

    LogCapture log;
    ServerInThread server(name, false);
    for (Step step : steps) {
        switch (step) {
        case Step::Start:
            server.start();
            break;
        case Step::Close:
            server.close();
            break;
        case Step::Destroy:
            server.destroy();
            break;
        }
    }

    QCOMPARE(rendered(log.lines()), rendered(expected));
    QCOMPARE(server.finished(), finished);
    // Closing frees the name at once: no socket file stays behind.
    QVERIFY2(!QFile::exists(socketPath(name)), qPrintable(socketPath(name)));
}

void tst_ServerLifecycle::restartedServerListensAgain()
{
    const QString name = uniqueServerName("restart");
    LogCapture log;
    ServerInThread server(name);
    server.close();
    server.start();

    RawClient client;
    QVERIFY(client.connectTo(name));
    QTRY_COMPARE(server.connections(), 1);
    QVERIFY(client.registerAs(QStringLiteral("A"), QStringLiteral("U")));
    QTRY_COMPARE(server.handler.count(), 1);

    // A second start() drops the endpoint and its connection, and listens anew.
    server.start();
    QVERIFY(client.waitUntilDropped());
    QCOMPARE(server.connections(), 0);
    RawClient next;
    QVERIFY(next.connectTo(name));
    QTRY_COMPARE(server.connections(), 1);
    QVERIFY2(
        log.count(5,
            QStringLiteral("VelmoraIPCServer::start: failed to listen tp named pipe %1").arg(name))
            == 0,
        qPrintable(log.dump()));
}

void tst_ServerLifecycle::openToEveryUser()
{
    const QString name = uniqueServerName("mode");
    LogCapture log;
    ServerInThread server(name, false);
    // Even with a umask that shuts everybody else out.
    const mode_t previous = ::umask(077);
    server.start();
    ::umask(previous);

    QString why;
    QVERIFY2(
        ServerTests::openToEveryUser(name, &why), qPrintable(why + QLatin1Char('\n') + log.dump()));
    RawClient client;
    QVERIFY(client.connectTo(name));
    QTRY_COMPARE(server.connections(), 1);
}

void tst_ServerLifecycle::liveNameIsNotTakenOver()
{
    const QString name = uniqueServerName("live");
    LogCapture log;
    ServerInThread first(name);
    QString why;
    QVERIFY2(ServerTests::openToEveryUser(name, &why), qPrintable(why));

    log.clear();
    {
        ServerInThread second(name);
        const QList<LogLine> expected = lines(name,
            { { 1, "VelmoraIPCServer::start: create named pipe %1" },
                { 5, "VelmoraIPCServer::start: failed to listen tp named pipe %1" } });
        // The first server may see whoever checked that it is alive; it writes only level 0.
        QList<LogLine> written;
        for (const LogLine &line : log.lines()) {
            if (line.level != 0)
                written.append(line);
        }
        QCOMPARE(rendered(written), rendered(expected));

        // Closing the server that failed leaves the first one's endpoint alone.
        second.close();
        QVERIFY2(
            log.count(0, QStringLiteral("VelmoraIPCServer::close: delete QLocalServer instance"))
                == 1,
            qPrintable(log.dump()));
    }

    // The first server keeps serving: a client connects, registers and is answered.
    QVERIFY(QFile::exists(socketPath(name)));
    RawClient client;
    QVERIFY(client.connectTo(name));
    QVERIFY(client.registerAs(QStringLiteral("A"), QStringLiteral("U")));
    QTRY_COMPARE(first.handler.count(), 1);
    QTRY_COMPARE(first.connections(), 1);
    QVERIFY2(log.contains(0,
                 QStringLiteral("VelmoraIPCServer::onReadyRead: AppID=A, UserID=U, serverName=%1")
                     .arg(name)),
        qPrintable(log.dump()));
}

void tst_ServerLifecycle::staleSocketFileRecovered_data()
{
    QTest::addColumn<int>("kind");

    QTest::newRow("bound, never listened") << int(StaleKind::BoundWithoutListener);
    QTest::newRow("listener killed") << int(StaleKind::ListenerKilled);
}

void tst_ServerLifecycle::staleSocketFileRecovered()
{
    QFETCH(int, kind);

    const QString name = uniqueServerName("stale");
    QVERIFY(makeStaleSocketFile(socketPath(name), StaleKind(kind)));
    QVERIFY(QFile::exists(socketPath(name)));
    {
        QLocalSocket probe;
        probe.connectToServer(name);
        QVERIFY(!probe.waitForConnected(1000));
    }

    LogCapture log;
    ServerInThread server(name);
    const QList<LogLine> expected = lines(name,
        { { 1, "VelmoraIPCServer::start: create named pipe %1" },
            { 1, "VelmoraIPCServer::start: listen to named pipe %1" } });
    QCOMPARE(rendered(log.lines()), rendered(expected));
    QString why;
    QVERIFY2(ServerTests::openToEveryUser(name, &why), qPrintable(why));

    RawClient client;
    QVERIFY(client.connectTo(name));
    QTRY_COMPARE(server.connections(), 1);
    QVERIFY(client.registerAs(QStringLiteral("A"), QStringLiteral("U")));
    QTRY_COMPARE(server.handler.count(), 1);
}

QTEST_GUILESS_MAIN(tst_ServerLifecycle)
#include "tst_serverlifecycle.moc"
