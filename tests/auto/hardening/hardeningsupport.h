// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Fixtures of the hardening tests: peer processes the test can kill, calls that block in a
// thread of their own, raw connections that write whatever the test likes, and readings of
// the resources a process holds.
#pragma once

#include "testsupport.h"
#include "wire/messagedecoder_p.h"
#include "hostservices/velmorautil_p.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <thread>

namespace Hardening {

// A line of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when it cannot be read.
inline qint64 statusKb(const QString &field, qint64 pid = 0)
{
    QFile file(
        pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = field.toLatin1() + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts the peak-RSS reading (VmHWM) afresh from the current RSS.
inline bool resetPeakRss()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

inline int openFdCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

// Raises the soft limit of open files towards \a wanted (never above the hard limit).
inline rlim_t raiseFdLimit(rlim_t wanted)
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = qMin(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

inline bool builtWithAsan()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// A hardening_peer process. Its stdout is read line by line; its stderr goes to a file that
// output() shows when a test fails. Killed on destruction.
class Peer
{
public:
    explicit Peer(const QStringList &arguments)
    {
        process.setStandardErrorFile(dir.filePath(QStringLiteral("stderr.txt")));
        process.start(QStringLiteral(HARDENING_PEER), arguments);
    }
    // Asks the peer to quit, so that it ends the way a host does (and a leak checker sees a
    // whole run); kills it if it does not.
    ~Peer()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        command(QStringLiteral("quit"));
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Waits for a line that starts with \a prefix; returns it, or an empty text on time-out.
    QString waitForLine(const QString &prefix, int timeoutMsecs = 20000)
    {
        QDeadlineTimer deadline(timeoutMsecs);
        for (;;) {
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                seen += line + QLatin1Char('\n');
                if (line.startsWith(prefix))
                    return line;
            }
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return QString();
            process.waitForReadyRead(
                int(qMax<qint64>(1, qMin<qint64>(deadline.remainingTime(), 200))));
        }
    }
    void command(const QString &line)
    {
        process.write((line + QLatin1Char('\n')).toUtf8());
        process.waitForBytesWritten(5000);
    }
    void kill()
    {
        process.kill(); // SIGKILL
        process.waitForFinished(10000);
    }
    qint64 pid() const { return process.processId(); }
    QString output() const
    {
        QFile err(dir.filePath(QStringLiteral("stderr.txt")));
        err.open(QIODevice::ReadOnly);
        return QStringLiteral("stdout:\n") + seen + QStringLiteral("stderr:\n")
            + QString::fromUtf8(err.readAll());
    }

    QProcess process;

private:
    QTemporaryDir dir;
    QString seen;
};

// Runs \a fn in a thread of its own; done() tells whether it has returned. Joins on
// destruction (the calls it runs are bounded by their own time limits).
class AsyncCall
{
public:
    template <typename Fn>
    explicit AsyncCall(Fn fn)
        : worker([this, fn] {
              fn();
              finished = true;
          })
    {
    }
    ~AsyncCall() { worker.join(); }
    bool done() const { return finished; }

private:
    std::atomic<bool> finished { false };
    std::thread worker;
};

// A connection driven from the test thread with blocking calls, for bytes no client would send.
class RawConnection
{
public:
    explicit RawConnection(const QString &name)
    {
        socket.connectToServer(name);
        socket.waitForConnected(10000);
    }
    bool isConnected() const { return socket.state() == QLocalSocket::ConnectedState; }
    bool write(const QByteArray &bytes)
    {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0) {
            if (!socket.waitForBytesWritten(60000))
                return false;
        }
        return true;
    }
    // The next whole message from the server, parsed; empty on time-out.
    QVariantMap readMessage(int timeoutMsecs = 20000)
    {
        QDeadlineTimer deadline(timeoutMsecs);
        for (;;) {
            QByteArray bytes;
            MessageDecoder::Kind kind;
            if (decoder.next(bytes, kind)) {
                QVariantMap map;
                VelmoraUtil::JsonToQVariantMap(QString::fromUtf8(bytes), map);
                return map;
            }
            if (deadline.hasExpired())
                return {};
            if (socket.bytesAvailable() <= 0
                && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                return {};
            decoder.append(socket.readAll());
        }
    }
    QLocalSocket socket;

private:
    MessageDecoder decoder;
};

// A request as plain JSON bytes: {"_REQUEST":<request>,"n":<n>}.
inline QByteArray plainRequest(const QString &request, int n)
{
    return QStringLiteral("{\"_REQUEST\":\"%1\",\"n\":%2}").arg(request).arg(n).toUtf8();
}

// Replies {"echo": n} to every message: an answer shows which request it belongs to.
inline QVariantMap echoReply(const QVariantMap &message)
{
    return { { QStringLiteral("echo"), message.value(QStringLiteral("n")) },
        { QStringLiteral("_RESPONSE"), true } };
}

} // namespace Hardening
