// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The library's side of the bench: a server process and client processes that bench starts
// (hidden commands __bench-server and __bench-client of this program) and drives through their
// standard input, one command a line; each answers with one JSON line on standard output.
#include "benchcommon.h"
#include "common.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>

using namespace Qt::StringLiterals;

namespace Tool::Bench {

namespace {

    QString filler(qsizetype n)
    {
        static const QString pattern =
            u"abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"_s;
        QString text;
        text.reserve(n);
        while (text.size() < n)
            text += pattern.left(n - text.size());
        return text;
    }

    QVariantMap sized(QVariantMap message, int size)
    {
        QVariantMap stamped = message;
        stamped.insert(u"_PROTOCOL"_s, benchProtocol());
        stamped.insert(u"_VERSION"_s, benchVersion());
        stamped.insert(u"data"_s, QString());
        const qsizetype overhead = toJsonLine(stamped).toUtf8().size();
        message.insert(u"data"_s, filler(qMax<qsizetype>(0, size - overhead)));
        return message;
    }

    void reply(const QJsonObject &object)
    {
        printOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    }

    QStringList words(const QString &line) { return line.split(u' ', Qt::SkipEmptyParts); }

    // Runs the command loop on standard input until "quit" or the end of the input.
    int serveCommands(const std::function<void(const QStringList &)> &handle)
    {
        LineReader reader(
            [&handle](const QString &line) {
                const QStringList w = words(line);
                if (w.isEmpty())
                    return;
                if (w.first() == u"quit") {
                    QMetaObject::invokeMethod(
                        qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
                    return;
                }
                handle(w);
            },
            [] {
                QMetaObject::invokeMethod(
                    qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
            });
        reader.start();
        printOut(u"ready"_s);
        const int code = QCoreApplication::exec();
        reader.stop();
        return code;
    }

    EndpointOptions peerOptions(const QString &name, bool encrypt)
    {
        return EndpointOptions { name, benchProtocol(), benchVersion(), encrypt, false };
    }

} // namespace

QVariantMap echoRequest(int size) { return sized({ { u"_REQUEST"_s, u"ECHO"_s } }, size); }

QVariantMap oneWayMessage(int size)
{
    // "seq" grows to 6 digits in a long run; counted at 3.
    return sized({ { u"_NOTIFICATION"_s, u"BENCH"_s }, { u"seq"_s, 100 } }, size);
}

int payloadLength(const QVariantMap &message)
{
    return int(message.value(u"data"_s).toString().size());
}

} // namespace Tool::Bench

namespace Tool {

using namespace Bench;

// __bench-server NAME [--encrypt]
int runBenchServer(const QStringList &arguments)
{
    if (arguments.size() < 2) {
        diag(u"__bench-server"_s, u"usage: __bench-server NAME [--encrypt]"_s);
        return ExitUsage;
    }
    setLibraryLogLevels(false, false);
    const bool encrypt = arguments.contains(u"--encrypt"_s);
    std::atomic<std::int64_t> dispatched { 0 };
    ServerHost host(peerOptions(arguments.at(1), encrypt),
        [&dispatched](const QVariantMap &message, QVariantMap &result) {
            ++dispatched;
            const auto it = message.constFind(u"data"_s);
            if (it != message.cend())
                result.insert(u"data"_s, *it);
        });
    QString error;
    if (!host.start(&error)) {
        diag(u"__bench-server"_s, u"cannot listen: "_s + error);
        return ExitFailure;
    }
    VelmoraIPCServer *server = host.server();
    const int code = serveCommands([&](const QStringList &w) {
        // post ID SIZE COUNT | broadcast SIZE COUNT: a tight loop on the server's thread.
        if ((w.first() == u"post" && w.size() == 4)
            || (w.first() == u"broadcast" && w.size() == 3)) {
            const bool post = w.first() == u"post";
            const QString clientId = post ? w.at(1) : QString();
            const int size = w.at(post ? 2 : 1).toInt();
            const int count = w.at(post ? 3 : 2).toInt();
            QVariantMap message = oneWayMessage(size);
            std::int64_t t0 = 0, t1 = 0;
            runIn(server, [&] {
                t0 = nowNs();
                for (int i = 0; i < count; ++i) {
                    message.insert(u"seq"_s, i);
                    if (post)
                        server->post(clientId, message);
                    else
                        server->broadcast(message);
                }
                t1 = nowNs();
            });
            reply({ { u"t0"_s, double(t0) }, { u"t1"_s, double(t1) }, { u"sent"_s, count } });
        } else if (w.first() == u"stats") {
            reply({ { u"dispatched"_s, double(dispatched.load()) } });
        } else {
            reply({ { u"error"_s, QString(u"unknown command "_s + w.join(u' ')) } });
        }
    });
    host.close();
    return code;
}

namespace {

    // Counts the one-way messages that reach a client's handler.
    class Counter
    {
    public:
        void arrived(const QVariantMap &message)
        {
            const std::int64_t now = nowNs();
            const qint64 seq = message.value(u"seq"_s).toLongLong();
            QMutexLocker lock(&mutex);
            if (handled == 0)
                firstNs = now;
            lastNs = now;
            if (seq != nextSeq)
                ++disorder;
            nextSeq = seq + 1;
            ++handled;
            if (handled >= target)
                reached.wakeAll();
        }
        void reset()
        {
            QMutexLocker lock(&mutex);
            handled = 0;
            firstNs = lastNs = 0;
            nextSeq = 0;
            disorder = 0;
        }
        // Waits until \a count messages have arrived, or until none arrived for \a idleMsecs.
        QJsonObject wait(std::int64_t count, int idleMsecs)
        {
            QMutexLocker lock(&mutex);
            target = count;
            std::int64_t seen = handled;
            while (handled < count) {
                reached.wait(&mutex, QDeadlineTimer(idleMsecs));
                if (handled == seen)
                    break; // nothing arrived for idleMsecs: the rest is lost
                seen = handled;
            }
            target = INT64_MAX;
            return { { u"handled"_s, double(handled) }, { u"first_ns"_s, double(firstNs) },
                { u"last_ns"_s, double(lastNs) }, { u"disorder"_s, double(disorder) } };
        }

    private:
        QMutex mutex;
        QWaitCondition reached;
        std::int64_t handled = 0;
        std::int64_t firstNs = 0;
        std::int64_t lastNs = 0;
        std::int64_t nextSeq = 0;
        std::int64_t disorder = 0;
        std::int64_t target = INT64_MAX;
    };

} // namespace

// __bench-client NAME CLIENTID [--encrypt]
int runBenchClient(const QStringList &arguments)
{
    QString appId, userId;
    if (arguments.size() < 3 || !parseClientId(arguments.at(2), &appId, &userId)) {
        diag(u"__bench-client"_s, u"usage: __bench-client NAME APP:USER [--encrypt]"_s);
        return ExitUsage;
    }
    setLibraryLogLevels(false, false);
    const bool encrypt = arguments.contains(u"--encrypt"_s);
    Counter counter;
    ClientHost host(peerOptions(arguments.at(1), encrypt), false,
        [&counter](const QVariantMap &message, QVariantMap &) { counter.arrived(message); });
    if (!host.connect()) {
        diag(u"__bench-client"_s, u"cannot connect to "_s + arguments.at(1));
        return ExitNoConnection;
    }
    QVariantMap registration { { u"_REQUEST"_s, u"REGISTER"_s }, { u"_APPID"_s, appId },
        { u"_USERID"_s, userId } };
    QVariantMap answer;
    if (clientSend(host, registration, answer) != SendOutcome::Answered) {
        diag(u"__bench-client"_s, u"registration got no answer"_s);
        return ExitNoAnswer;
    }
    VelmoraIPCClient *client = host.client();
    return serveCommands([&](const QStringList &w) {
        if (w.first() == u"rtt" && w.size() == 4) {
            // rtt SIZE MAXCOUNT BUDGET_MS: blocking sends from this (third) thread.
            const int size = w.at(1).toInt();
            const int maxCount = w.at(2).toInt();
            const std::int64_t budgetNs = w.at(3).toLongLong() * 1000000;
            const QVariantMap request = echoRequest(size);
            const int expected = payloadLength(request);
            QVariantMap message = request;
            QVariantMap response;
            std::vector<std::int64_t> samples;
            samples.reserve(size_t(maxCount));
            std::int64_t lost = 0;
            std::int64_t sent = 0;
            // Warm up for a tenth of the budget (2 to 50 sends), then measure until the budget
            // is spent (at least 8 samples) or maxCount samples are taken.
            const std::int64_t start = nowNs();
            bool warming = true;
            while (samples.size() < size_t(maxCount)) {
                response.clear();
                const std::int64_t t0 = nowNs();
                client->send(QString(), message, response);
                const std::int64_t t1 = nowNs();
                ++sent;
                const auto it = response.constFind(u"data"_s);
                if (it == response.cend() || it->toString().size() != expected)
                    ++lost;
                if (warming) {
                    warming = sent < 2 || (sent < 50 && t1 - start < budgetNs / 10);
                    continue;
                }
                samples.push_back(t1 - t0);
                if (samples.size() >= 8 && t1 - start > budgetNs)
                    break;
            }
            const Summary s = summarize(samples);
            reply({ { u"samples"_s, double(s.samples) }, { u"sent"_s, double(sent) },
                { u"lost"_s, double(lost) }, { u"median_ns"_s, double(s.medianNs) },
                { u"p99_ns"_s, double(s.p99Ns) }, { u"mean_ns"_s, double(s.meanNs) },
                { u"min_ns"_s, double(s.minNs) }, { u"max_ns"_s, double(s.maxNs) } });
        } else if (w.first() == u"reset") {
            counter.reset();
            reply({ { u"ok"_s, true } });
        } else if (w.first() == u"wait" && w.size() == 3) {
            reply(counter.wait(w.at(1).toLongLong(), w.at(2).toInt()));
        } else {
            reply({ { u"error"_s, QString(u"unknown command "_s + w.join(u' ')) } });
        }
    });
}

} // namespace Tool
