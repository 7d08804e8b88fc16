// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// velmora-ipc bench: starts its own processes (this program, with hidden commands), measures
// the library's round trip, post and broadcast, plain and enciphered, against a raw local-socket
// baseline in the same run, and prints one table.
#include "benchcommon.h"
#include "common.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>

#include <cmath>
#include <memory>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace Tool {

namespace {

    using Bench::nowNs;

    const QString command = u"bench"_s;
    constexpr int peerTimeoutMsecs = 90000;
    constexpr int idleMsecs = 5000; // a one-way run ends when nothing arrived for this long
    constexpr double busyWarning =
        0.2; // CPU share of other work above which the figures are skewed

    struct BenchFailure : std::runtime_error
    {
        explicit BenchFailure(const QString &reason) : std::runtime_error(reason.toStdString()) { }
    };

    void progress(const QString &text) { printErr(u"bench: "_s + text); }

    QString sizeLabel(int size)
    {
        if (size >= 1 << 20 && size % (1 << 20) == 0)
            return u"%1 MiB"_s.arg(size >> 20);
        if (size >= 1024 && size % 1024 == 0)
            return u"%1 KiB"_s.arg(size >> 10);
        return u"%1 B"_s.arg(size);
    }

    QString formatTime(double ns)
    {
        if (ns <= 0)
            return u"-"_s;
        if (ns < 1e4)
            return u"%1 µs"_s.arg(ns / 1e3, 0, 'f', 2);
        if (ns < 1e6)
            return u"%1 µs"_s.arg(ns / 1e3, 0, 'f', 1);
        if (ns < 1e8)
            return u"%1 ms"_s.arg(ns / 1e6, 0, 'f', 2);
        return u"%1 ms"_s.arg(ns / 1e6, 0, 'f', 0);
    }

    QString formatRate(double perSecond)
    {
        if (perSecond <= 0)
            return u"-"_s;
        if (perSecond >= 1e6)
            return u"%1 M"_s.arg(perSecond / 1e6, 0, 'f', 2);
        if (perSecond >= 1e4)
            return u"%1 k"_s.arg(perSecond / 1e3, 0, 'f', 1);
        if (perSecond >= 100)
            return u"%1"_s.arg(perSecond, 0, 'f', 0);
        return u"%1"_s.arg(perSecond, 0, 'f', 1);
    }

    QString formatRatio(double ratio)
    {
        if (ratio <= 0 || !std::isfinite(ratio))
            return u"-"_s;
        return u"%1"_s.arg(ratio, 0, 'f', ratio < 10 ? 2 : 1);
    }

    // One process of the bench, driven through its standard input and answering with JSON lines.
    class Peer
    {
    public:
        explicit Peer(const QString &label) : label(label) { }
        ~Peer()
        {
            if (process.state() != QProcess::NotRunning) {
                process.kill();
                process.waitForFinished(5000);
            }
        }

        void start(const QStringList &arguments)
        {
            process.setProgram(QCoreApplication::applicationFilePath());
            process.setArguments(arguments);
            // The peers' diagnostics (the library's warnings among them) reach our standard error.
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start();
            if (!process.waitForStarted(10000))
                throw BenchFailure(label + u" did not start: "_s + process.errorString());
        }
        void expectReady()
        {
            const QString line = readLine(peerTimeoutMsecs);
            if (line != u"ready")
                throw BenchFailure(label + u" did not get ready: "_s + line);
        }
        void write(const QString &line)
        {
            process.write(line.toUtf8() + '\n');
            process.waitForBytesWritten(1000);
        }
        QJsonObject read()
        {
            const QString line = readLine(peerTimeoutMsecs);
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            if (object.isEmpty() || object.contains(u"error"_s))
                throw BenchFailure(label + u" answered: "_s + line);
            return object;
        }
        QJsonObject call(const QString &line)
        {
            write(line);
            return read();
        }
        QString readLine(int timeoutMsecs)
        {
            QDeadlineTimer deadline(timeoutMsecs);
            while (!process.canReadLine()) {
                if (process.state() == QProcess::NotRunning) {
                    process.waitForReadyRead(0);
                    if (process.canReadLine())
                        break;
                    throw BenchFailure(
                        label + u" ended unexpectedly (exit code %1)"_s.arg(process.exitCode()));
                }
                if (deadline.hasExpired())
                    throw BenchFailure(
                        label + u" did not answer within %1 s"_s.arg(timeoutMsecs / 1000));
                process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 1000)));
            }
            return QString::fromUtf8(process.readLine()).trimmed();
        }
        void quit()
        {
            if (process.state() == QProcess::NotRunning)
                return;
            write(u"quit"_s);
            process.closeWriteChannel();
            if (!process.waitForFinished(10000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
        int exitCode() const { return process.exitCode(); }

    private:
        QString label;
        QProcess process;
    };

    struct Config
    {
        bool quick = false;
        QList<int> sizes;
        int clients = 10;
        int rttBudgetMs = 1500;
        int rttMaxCount = 20000;
        int oneWayTargetMs = 800;
        int rawBudgetMs = 400;
    };

    struct RawResult
    {
        int size = 0;
        double medianNs = 0, p99Ns = 0, meanNs = 0;
        qint64 samples = 0;
        double streamRate = 0; // messages per second
        qint64 streamCount = 0;
    };

    struct LibResult
    {
        int size = 0;
        bool encrypt = false;
        double medianNs = 0, p99Ns = 0, meanNs = 0;
        qint64 samples = 0, rttSent = 0, rttLost = 0;
        double postRate = 0;
        qint64 postCount = 0, postHandled = 0, postDisorder = 0;
        double broadcastRate = 0, deliveryRate = 0;
        qint64 broadcastCount = 0, deliveries = 0, broadcastDisorder = 0;
        qint64 postLost() const { return postCount - postHandled; }
        qint64 broadcastLost(int clients) const { return broadcastCount * clients - deliveries; }
    };

    struct Results
    {
        double loadBefore = -1;
        double loadAfter = -1;
        double busyBefore = -1;
        QList<RawResult> raw;
        QList<LibResult> lib;
        const RawResult *rawFor(int size) const
        {
            for (const RawResult &r : raw) {
                if (r.size == size)
                    return &r;
            }
            return nullptr;
        }
        const LibResult *libFor(int size, bool encrypt) const
        {
            for (const LibResult &r : lib) {
                if (r.size == size && r.encrypt == encrypt)
                    return &r;
            }
            return nullptr;
        }
    };

    // The 1-minute load average, or -1 where /proc/loadavg cannot be read.
    double loadAverage()
    {
        QFile file(u"/proc/loadavg"_s);
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        bool ok = false;
        const double load = file.readLine().split(' ').value(0).toDouble(&ok);
        return ok ? load : -1;
    }

    // How busy the machine's CPUs are over \a msecs, from 0 to 1 (-1: /proc/stat unreadable). Taken
    // before the run, it tells whether other work will skew the figures.
    double cpuBusy(int msecs)
    {
        auto sample = [](qint64 &busy, qint64 &total) {
            QFile file(u"/proc/stat"_s);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() < 5 || fields.first() != "cpu")
                return false;
            total = 0;
            for (qsizetype i = 1; i < fields.size(); ++i)
                total += fields.at(i).toLongLong();
            busy = total - fields.at(4).toLongLong()
                - (fields.size() > 5 ? fields.at(5).toLongLong() : 0); // idle, iowait
            return true;
        };
        qint64 busy0, total0, busy1, total1;
        if (!sample(busy0, total0))
            return -1;
        QThread::msleep(msecs);
        if (!sample(busy1, total1) || total1 <= total0)
            return -1;
        return double(busy1 - busy0) / double(total1 - total0);
    }

    double num(const QJsonObject &o, const char *key)
    {
        return o.value(QLatin1StringView(key)).toDouble();
    }

    // The raw baseline's two processes, alive for the whole run so that each size is measured
    // right before the library's figures of that size.
    class RawPair
    {
    public:
        RawPair(const Config &config, const QString &base)
            : config(config), path(QDir::tempPath() + u"/"_s + base + u"-raw.sock"_s),
              server(u"raw server"_s), client(u"raw client"_s)
        {
        }
        void start()
        {
            server.start({ u"__bench-raw-server"_s, path });
            server.expectReady();
            client.start({ u"__bench-raw-client"_s, path });
            client.expectReady();
        }
        RawResult measure(int size)
        {
            const QJsonObject o = client.call(u"%1 %2"_s.arg(size).arg(config.rawBudgetMs));
            RawResult r;
            r.size = int(num(o, "size"));
            r.medianNs = num(o, "median_ns");
            r.p99Ns = num(o, "p99_ns");
            r.meanNs = num(o, "mean_ns");
            r.samples = qint64(num(o, "rtt_samples"));
            r.streamCount = qint64(num(o, "stream_count"));
            r.streamRate = r.streamCount / (num(o, "stream_ns") / 1e9);
            progress(u"raw %1: round trip median %2 (%3 samples), one-way stream %4 msg/s"_s
                         .arg(sizeLabel(r.size), formatTime(r.medianNs))
                         .arg(r.samples)
                         .arg(formatRate(r.streamRate)));
            return r;
        }
        void quit()
        {
            client.quit();
            server.quit();
            if (client.exitCode() != 0 || server.exitCode() != 0)
                throw BenchFailure(u"the raw baseline's processes failed"_s);
        }

    private:
        const Config &config;
        QString path;
        Peer server;
        Peer client;
    };

    // One server process and its client processes, plain or enciphered.
    class LibrarySet
    {
    public:
        LibrarySet(const Config &config, bool encrypt, const QString &base)
            : config(config), encrypt(encrypt), mode(encrypt ? u"enciphered"_s : u"plain"_s),
              name(base + u"-"_s + mode), server(u"%1 server process"_s.arg(mode))
        {
        }
        void start()
        {
            QStringList extra;
            if (encrypt)
                extra.append(u"--encrypt"_s);
            progress(u"%1: starting a server process and %2 client processes"_s.arg(mode).arg(
                config.clients));
            server.start(QStringList { u"__bench-server"_s, name } + extra);
            server.expectReady();
            for (int k = 0; k < config.clients; ++k) {
                clients.push_back(
                    std::make_unique<Peer>(u"%1 client process %2"_s.arg(mode).arg(k)));
                clients.back()->start(
                    QStringList { u"__bench-client"_s, name, u"bench:c%1"_s.arg(k) } + extra);
            }
            for (auto &c : clients)
                c->expectReady(); // connected and registered
        }
        // Fresh processes run their first exchanges slowly (page faults, lazy binding, caches):
        // a short round-trip run whose figures are dropped, once every process has started.
        void warmUp()
        {
            clients.front()->call(u"rtt %1 %2 %3"_s.arg(config.sizes.value(0, 1024))
                                      .arg(config.rttMaxCount)
                                      .arg(config.quick ? 50 : 300));
        }
        LibResult measure(int size)
        {
            Peer &first = *clients.front();
            LibResult r;
            r.size = size;
            r.encrypt = encrypt;
            const QString what = u"%1 %2"_s.arg(mode, sizeLabel(size));

            // Round trip: blocking sends from client 0 through the server's handler and back.
            const QJsonObject rtt = first.call(
                u"rtt %1 %2 %3"_s.arg(size).arg(config.rttMaxCount).arg(config.rttBudgetMs));
            r.medianNs = num(rtt, "median_ns");
            r.p99Ns = num(rtt, "p99_ns");
            r.meanNs = num(rtt, "mean_ns");
            r.samples = qint64(num(rtt, "samples"));
            r.rttSent = qint64(num(rtt, "sent"));
            r.rttLost = qint64(num(rtt, "lost"));
            progress(u"%1: round trip median %2, p99 %3 (%4 samples, %5 lost)"_s
                         .arg(what, formatTime(r.medianNs), formatTime(r.p99Ns))
                         .arg(r.samples)
                         .arg(r.rttLost));

            // post to client 0: enough messages to last about the target time, judged by the round
            // trip.
            const double perMessageNs = qMax(1000.0, r.medianNs / 2);
            r.postCount = qBound(
                qint64(5), qint64(config.oneWayTargetMs * 1e6 / perMessageNs), qint64(200000));
            first.call(u"reset"_s);
            const QJsonObject posted =
                server.call(u"post bench:c0 %1 %2"_s.arg(size).arg(r.postCount));
            const QJsonObject received =
                first.call(u"wait %1 %2"_s.arg(r.postCount).arg(idleMsecs));
            r.postHandled = qint64(num(received, "handled"));
            r.postDisorder = qint64(num(received, "disorder"));
            const double postNs = num(received, "last_ns") - num(posted, "t0");
            r.postRate = r.postHandled > 0 && postNs > 0 ? r.postHandled / (postNs / 1e9) : 0;
            progress(u"%1: post %2 msg/s (%3 sent, %4 lost)"_s.arg(what, formatRate(r.postRate))
                         .arg(r.postCount)
                         .arg(r.postLost()));

            // broadcast to every client: as many as the post rate says fill the target time.
            const double deliveryRate = r.postRate > 0 ? r.postRate : 1e9 / perMessageNs;
            r.broadcastCount = qBound(qint64(3),
                qint64(config.oneWayTargetMs / 1e3 * deliveryRate / config.clients), qint64(50000));
            for (auto &c : clients)
                c->call(u"reset"_s);
            const QJsonObject sent =
                server.call(u"broadcast %1 %2"_s.arg(size).arg(r.broadcastCount));
            for (auto &c : clients)
                c->write(u"wait %1 %2"_s.arg(r.broadcastCount).arg(idleMsecs));
            double lastNs = 0;
            for (auto &c : clients) {
                const QJsonObject o = c->read();
                r.deliveries += qint64(num(o, "handled"));
                r.broadcastDisorder += qint64(num(o, "disorder"));
                lastNs = qMax(lastNs, num(o, "last_ns"));
            }
            const double broadcastNs = lastNs - num(sent, "t0");
            if (r.deliveries > 0 && broadcastNs > 0) {
                r.broadcastRate = r.broadcastCount / (broadcastNs / 1e9);
                r.deliveryRate = r.deliveries / (broadcastNs / 1e9);
            }
            progress(u"%1: broadcast %2 msg/s, %3 deliveries/s (%4 sent to %5 clients, %6 lost)"_s
                         .arg(what, formatRate(r.broadcastRate), formatRate(r.deliveryRate))
                         .arg(r.broadcastCount)
                         .arg(config.clients)
                         .arg(r.broadcastLost(config.clients)));
            return r;
        }
        void quit()
        {
            for (auto &c : clients)
                c->quit();
            server.quit();
        }

    private:
        const Config &config;
        bool encrypt;
        QString mode;
        QString name;
        Peer server;
        std::vector<std::unique_ptr<Peer>> clients;
    };

    // Raw, plain and enciphered of one size run one right after the other, so that the ratios
    // compare figures taken under the same conditions.
    void runAll(const Config &config, const QString &base, Results &results)
    {
        RawPair raw(config, base);
        raw.start();
        LibrarySet plain(config, false, base);
        plain.start();
        LibrarySet enciphered(config, true, base);
        enciphered.start();
        plain.warmUp();
        enciphered.warmUp();
        for (int size : config.sizes) {
            results.raw.append(raw.measure(size));
            results.lib.append(plain.measure(size));
            results.lib.append(enciphered.measure(size));
        }
        enciphered.quit();
        plain.quit();
        raw.quit();
    }

    struct Goal
    {
        QString text;
        QString limit;
        double measured = -1; // < 0: not measured in this run
        bool met = false;
        QString unit;
    };

    QList<Goal> evaluateGoals(const Results &results, int clients)
    {
        QList<Goal> goals;
        const RawResult *raw1k = results.rawFor(1024);
        const RawResult *raw64k = results.rawFor(65536);
        const LibResult *plain1k = results.libFor(1024, false);
        const LibResult *enc1k = results.libFor(1024, true);
        const LibResult *plain64k = results.libFor(65536, false);
        auto add = [&goals](const QString &text, const QString &limit, bool measured, double value,
                       bool met, const QString &unit) {
            goals.append({ text, limit, measured ? value : -1, measured && met, unit });
        };
        double v = raw1k && plain1k ? plain1k->medianNs / raw1k->medianNs : 0;
        add(u"1 KiB plain round trip, median"_s, u"<= 2.5 x raw"_s, raw1k && plain1k, v, v <= 2.5,
            u"x raw"_s);
        v = plain1k && enc1k ? enc1k->medianNs / plain1k->medianNs : 0;
        add(u"1 KiB enciphered round trip, median"_s, u"<= 1.5 x plain"_s, plain1k && enc1k, v,
            v <= 1.5, u"x plain"_s);
        v = raw64k && plain64k ? plain64k->medianNs / raw64k->medianNs : 0;
        add(u"64 KiB plain round trip, median"_s, u"<= 10 x raw"_s, raw64k && plain64k, v, v <= 10,
            u"x raw"_s);
        v = plain1k ? plain1k->postRate : 0;
        add(u"post of 1 KiB plain to one client's handler"_s, u">= 100000 msg/s"_s, plain1k, v,
            v >= 100000, u"msg/s"_s);
        v = plain1k ? plain1k->deliveryRate : 0;
        add(u"broadcast of 1 KiB plain to %1 clients"_s.arg(clients), u">= 100000 deliveries/s"_s,
            plain1k, v, v >= 100000, u"deliveries/s"_s);
        qint64 lost = 0;
        for (const LibResult &r : results.lib)
            lost += r.rttLost + r.postLost() + r.broadcastLost(clients);
        add(u"messages lost, every size and mode"_s, u"0"_s, !results.lib.isEmpty(), double(lost),
            lost == 0, QString());
        return goals;
    }

    void printTable(
        const Config &config, const Results &results, double seconds, const QString &commandLine)
    {
        const int clients = config.clients;
        QStringList out;
        out << QString();
        out << u"velmora-ipc bench%1: VelmoraIPC %2, Qt %3, %4 cores, %5 s"_s
                   .arg(config.quick ? u" --quick"_s : QString(),
                       QStringLiteral(VELMORAIPC_VERSION_STRING), QString::fromLatin1(qVersion()))
                   .arg(QThread::idealThreadCount())
                   .arg(seconds, 0, 'f', 1);
        out << u"command: "_s + commandLine;
        if (results.busyBefore >= 0) {
            out << u"before the run: CPU %1% busy, load average %2%3"_s
                       .arg(qRound(results.busyBefore * 100))
                       .arg(results.loadBefore, 0, 'f', 2)
                       .arg(results.busyBefore > busyWarning
                               ? u" -- other work is running here, the figures are skewed"_s
                               : QString());
        }
        out << QString();
        const QString header1 = u"%1 %2 | %3 | %4 | %5"_s.arg(QString(), -7)
                                    .arg(QString(), -10)
                                    .arg(u"round trip (client send)"_s, -28)
                                    .arg(u"post, 1 client"_s, -15)
                                    .arg(u"broadcast, %1 clients"_s.arg(clients), -28);
        const QString header2 = u"%1 %2 | %3 %4 %5 | %6 %7 | %8 %9 %10 | %11"_s.arg(u"size"_s, -7)
                                    .arg(u"path"_s, -10)
                                    .arg(u"median"_s, 10)
                                    .arg(u"p99"_s, 10)
                                    .arg(u"x raw"_s, 6)
                                    .arg(u"msg/s"_s, 8)
                                    .arg(u"x raw"_s, 6)
                                    .arg(u"msg/s"_s, 8)
                                    .arg(u"deliv/s"_s, 10)
                                    .arg(u"x raw"_s, 8)
                                    .arg(u"lost"_s);
        out << header1 << header2 << QString(header2.size(), u'-');
        for (int size : config.sizes) {
            const RawResult *raw = results.rawFor(size);
            if (raw) {
                out << u"%1 %2 | %3 %4 %5 | %6 %7 | %8 %9 %10 | %11"_s.arg(sizeLabel(size), -7)
                           .arg(u"raw"_s, -10)
                           .arg(formatTime(raw->medianNs), 10)
                           .arg(formatTime(raw->p99Ns), 10)
                           .arg(u"1.00"_s, 6)
                           .arg(formatRate(raw->streamRate), 8)
                           .arg(u"1.00"_s, 6)
                           .arg(u"-"_s, 8)
                           .arg(u"-"_s, 10)
                           .arg(u"-"_s, 8)
                           .arg(u"-"_s);
            }
            for (bool encrypt : { false, true }) {
                const LibResult *r = results.libFor(size, encrypt);
                if (!r)
                    continue;
                const double rttRatio = raw ? r->medianNs / raw->medianNs : 0;
                const double postRatio = raw && r->postRate > 0 ? raw->streamRate / r->postRate : 0;
                const double broadcastRatio =
                    raw && r->deliveryRate > 0 ? raw->streamRate / r->deliveryRate : 0;
                const qint64 lost = r->rttLost + r->postLost() + r->broadcastLost(clients);
                out << u"%1 %2 | %3 %4 %5 | %6 %7 | %8 %9 %10 | %11"_s
                           .arg(raw ? QString() : sizeLabel(size), -7)
                           .arg(encrypt ? u"enciphered"_s : u"plain"_s, -10)
                           .arg(formatTime(r->medianNs), 10)
                           .arg(formatTime(r->p99Ns), 10)
                           .arg(formatRatio(rttRatio), 6)
                           .arg(formatRate(r->postRate), 8)
                           .arg(formatRatio(postRatio), 6)
                           .arg(formatRate(r->broadcastRate), 8)
                           .arg(formatRate(r->deliveryRate), 10)
                           .arg(formatRatio(broadcastRatio), 8)
                           .arg(lost);
            }
        }
        out << QString();
        out << u"size: the message's JSON text, stamp included; enciphered, the wire carries about 2.7 times as many bytes."_s;
        out << u"raw: plain bytes over an AF_UNIX stream socket between two processes (no Qt, no JSON, no threads),"_s;
        out << u"     measured right before the library at each size; its post column is a one-way stream of messages."_s;
        out << u"x raw: time per message relative to raw, lower is better: round trip median / raw median; post: raw"_s;
        out << u"     stream rate / rate; broadcast: raw stream rate / deliveries per second."_s;
        out << u"lost: sent minus handled over the three tests. p99 of fewer than 100 samples is the maximum."_s;
        out << QString();
        out << u"goals:"_s;
        for (const Goal &g : evaluateGoals(results, clients)) {
            QString measured = u"not measured"_s;
            if (g.measured >= 0) {
                measured = g.unit.startsWith(u'x') ? u"%1 %2"_s.arg(formatRatio(g.measured), g.unit)
                    : g.unit.isEmpty()             ? QString::number(qint64(g.measured))
                                                   : u"%1 %2"_s.arg(formatRate(g.measured), g.unit);
            }
            out << u"  %1 %2 %3 %4"_s.arg(g.text, -46)
                       .arg(g.limit, -24)
                       .arg(measured, -20)
                       .arg(g.measured < 0 ? u"-"_s
                               : g.met     ? u"met"_s
                                           : u"MISSED"_s);
        }
        for (const QString &line : std::as_const(out))
            printOut(line);
    }

    QJsonObject toJson(
        const Config &config, const Results &results, double seconds, const QString &commandLine)
    {
        QJsonArray raw;
        for (const RawResult &r : results.raw) {
            raw.append(QJsonObject { { u"size"_s, r.size },
                { u"round_trip"_s,
                    QJsonObject { { u"median_us"_s, r.medianNs / 1e3 },
                        { u"p99_us"_s, r.p99Ns / 1e3 }, { u"mean_us"_s, r.meanNs / 1e3 },
                        { u"samples"_s, r.samples } } },
                { u"stream"_s,
                    QJsonObject {
                        { u"msgs_per_s"_s, r.streamRate }, { u"count"_s, r.streamCount } } } });
        }
        QJsonArray lib;
        for (const LibResult &r : results.lib) {
            const RawResult *base = results.rawFor(r.size);
            lib.append(QJsonObject {
                { u"size"_s, r.size },
                { u"mode"_s, r.encrypt ? u"enciphered"_s : u"plain"_s },
                { u"round_trip"_s,
                    QJsonObject { { u"median_us"_s, r.medianNs / 1e3 },
                        { u"p99_us"_s, r.p99Ns / 1e3 }, { u"mean_us"_s, r.meanNs / 1e3 },
                        { u"samples"_s, r.samples }, { u"sent"_s, r.rttSent },
                        { u"lost"_s, r.rttLost },
                        { u"x_raw"_s, base ? r.medianNs / base->medianNs : QJsonValue() } } },
                { u"post"_s,
                    QJsonObject { { u"msgs_per_s"_s, r.postRate }, { u"sent"_s, r.postCount },
                        { u"handled"_s, r.postHandled }, { u"lost"_s, r.postLost() },
                        { u"out_of_order"_s, r.postDisorder },
                        { u"x_raw"_s,
                            base && r.postRate > 0 ? base->streamRate / r.postRate
                                                   : QJsonValue() } } },
                { u"broadcast"_s,
                    QJsonObject { { u"clients"_s, config.clients },
                        { u"msgs_per_s"_s, r.broadcastRate },
                        { u"deliveries_per_s"_s, r.deliveryRate }, { u"sent"_s, r.broadcastCount },
                        { u"handled"_s, r.deliveries },
                        { u"lost"_s, r.broadcastLost(config.clients) },
                        { u"out_of_order"_s, r.broadcastDisorder },
                        { u"x_raw"_s,
                            base && r.deliveryRate > 0 ? base->streamRate / r.deliveryRate
                                                       : QJsonValue() } } },
            });
        }
        QJsonArray goals;
        for (const Goal &g : evaluateGoals(results, config.clients)) {
            goals.append(QJsonObject { { u"goal"_s, g.text }, { u"limit"_s, g.limit },
                { u"measured"_s, g.measured >= 0 ? QJsonValue(g.measured) : QJsonValue() },
                { u"unit"_s, g.unit },
                { u"met"_s, g.measured >= 0 ? QJsonValue(g.met) : QJsonValue() } });
        }
        return QJsonObject {
            { u"tool"_s, u"velmora-ipc bench"_s },
            { u"version"_s, QStringLiteral(VELMORAIPC_VERSION_STRING) },
            { u"command"_s, commandLine },
            { u"quick"_s, config.quick },
            { u"date"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODate) },
            { u"machine"_s,
                QJsonObject { { u"cores"_s, QThread::idealThreadCount() },
                    { u"qt"_s, QString::fromLatin1(qVersion()) },
                    { u"kernel"_s, QSysInfo::kernelVersion() },
                    { u"cpu"_s, QSysInfo::currentCpuArchitecture() },
                    { u"cpu_busy_before"_s, results.busyBefore },
                    { u"load_average_before"_s, results.loadBefore },
                    { u"load_average_after"_s, results.loadAfter } } },
            { u"seconds"_s, seconds },
            { u"raw"_s, raw },
            { u"library"_s, lib },
            { u"goals"_s, goals },
        };
    }

    qint64 totalLost(const Results &results, int clients)
    {
        qint64 lost = 0;
        for (const LibResult &r : results.lib)
            lost += r.rttLost + r.postLost() + r.broadcastLost(clients);
        return lost;
    }

} // namespace

int runBench(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Measures the library between processes that it starts itself (this program): the "
        "round trip of a client's blocking send through the server's handler (median, 99th "
        "percentile), the throughput of post to one client and of broadcast to several, and "
        "the messages lost, plain and enciphered, for messages of about 100 B, 1 KiB, 64 KiB "
        "and 1 MiB; beside a raw local-socket baseline of the same sizes. Progress goes to "
        "standard error, one table to standard output. Exit code 1 when a message was lost "
        "or a process failed."_s);
    parser.addOption(
        { u"quick"_s, u"A small subset in a few seconds (1 KiB only, short runs)."_s });
    parser.addOption({ u"json"_s, u"Also writes the figures to FILE as JSON."_s, u"file"_s });
    parser.addOption(
        { u"clients"_s, u"Client processes, all reached by broadcast (default 10)."_s, u"n"_s });
    parser.addOption({ u"sizes"_s,
        u"Message sizes in bytes, comma-separated (default 100,1024,65536,1048576)."_s,
        u"list"_s });
    const int parsed = parseCommandLine(parser, command, QString(), arguments, 0, 0);
    if (parsed >= 0)
        return parsed;

    Config config;
    config.quick = parser.isSet(u"quick"_s);
    config.sizes = config.quick ? QList<int> { 1024 } : QList<int> { 100, 1024, 65536, 1048576 };
    if (config.quick) {
        config.rttBudgetMs = 200;
        config.rttMaxCount = 2000;
        config.oneWayTargetMs = 150;
        config.rawBudgetMs = 100;
    }
    if (!intOption(parser, command, u"clients"_s, 1, 64, &config.clients))
        return ExitUsage;
    if (parser.isSet(u"sizes"_s)) {
        config.sizes.clear();
        for (const QString &s : parser.value(u"sizes"_s).split(u',')) {
            bool ok = false;
            const int size = s.trimmed().toInt(&ok);
            if (!ok || size < 1 || size > 64 * 1024 * 1024) {
                diag(command, u"--sizes wants sizes from 1 to 67108864 bytes, not \"%1\""_s.arg(s));
                return ExitUsage;
            }
            config.sizes.append(size);
        }
    }
    const QString jsonFile = parser.value(u"json"_s);
    setLibraryLogLevels(false, false);

    QStringList shown = arguments;
    shown[0] = u"velmora-ipc bench"_s;
    const QString commandLine = shown.join(u' ');
    const QString base = u"velmora-ipc-bench-%1-%2"_s.arg(QCoreApplication::applicationPid())
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QChar(u'0'));
    QStringList sizeLabels;
    for (int size : config.sizes)
        sizeLabels.append(sizeLabel(size));
    progress(u"%1 run: sizes %2; %3 client processes; %4 cores"_s
                 .arg(config.quick ? u"quick"_s : u"full"_s, sizeLabels.join(u", "_s))
                 .arg(config.clients)
                 .arg(QThread::idealThreadCount()));

    QElapsedTimer timer;
    timer.start();
    Results results;
    results.loadBefore = loadAverage();
    results.busyBefore = cpuBusy(500);
    if (results.busyBefore > busyWarning)
        progress(u"the CPUs are %1% busy with other work: the figures will be skewed"_s.arg(
            qRound(results.busyBefore * 100)));
    try {
        runAll(config, base, results);
    } catch (const BenchFailure &failure) {
        diag(command, u"FAILED: "_s + QString::fromStdString(failure.what()));
        return ExitFailure;
    }
    const double seconds = timer.elapsed() / 1000.0;
    results.loadAfter = loadAverage();
    printTable(config, results, seconds, commandLine);

    if (!jsonFile.isEmpty()) {
        QFile file(jsonFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            diag(command, u"cannot write %1: %2"_s.arg(jsonFile, file.errorString()));
            return ExitFailure;
        }
        file.write(QJsonDocument(toJson(config, results, seconds, commandLine))
                       .toJson(QJsonDocument::Indented));
    }
    const qint64 lost = totalLost(results, config.clients);
    if (lost > 0) {
        diag(command, u"%1 messages lost"_s.arg(lost));
        return ExitFailure;
    }
    return ExitOk;
}

} // namespace Tool
