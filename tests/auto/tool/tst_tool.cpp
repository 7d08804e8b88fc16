// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The velmora-ipc tool, run as real processes: demo, serve + request + listen, exit codes,
// signals, and the bench's quick run as a smoke test (no timing assertions).
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <memory>

#ifndef VELMORA_IPC_TOOL
#error "VELMORA_IPC_TOOL must name the velmora-ipc executable"
#endif

using namespace Qt::StringLiterals;

namespace {

constexpr int startMsecs = 30000; // generous: sanitizer builds start slowly
constexpr int exitMsecs = 60000;

QString toolPath() { return QStringLiteral(VELMORA_IPC_TOOL); }

QString uniqueName(const char *tag)
{
    static std::atomic<int> counter { 0 };
    return u"velmora-tool-test-%1-%2-%3"_s.arg(QCoreApplication::applicationPid())
        .arg(QLatin1StringView(tag))
        .arg(++counter);
}

// The socket file of a local endpoint on this platform (QLocalServer's default location).
QString endpointPath(const QString &name) { return QDir::tempPath() + u'/' + name; }

// One run of the tool. Output is collected as it comes; waits block on the process's pipes,
// never sleep. The destructor kills a process that is still running.
class Tool
{
public:
    explicit Tool(const QStringList &arguments)
    {
        process.setProgram(toolPath());
        process.setArguments(arguments);
        process.start();
    }
    ~Tool() { stop(); }
    // Ends a process that is still running: SIGTERM first, so that serve removes its endpoint,
    // then SIGKILL.
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    Tool(const Tool &) = delete;
    Tool &operator=(const Tool &) = delete;

    void drain()
    {
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
    }
    bool waitForErr(const QString &text, int msecs = startMsecs)
    {
        return waitFor(
            QProcess::StandardError, msecs, [this, &text] { return err.contains(text); });
    }
    // Waits for a line on standard output that contains \a text; returns it (empty: none).
    QString waitForOutLine(const QString &text, int msecs = startMsecs)
    {
        QString found;
        waitFor(QProcess::StandardOutput, msecs, [this, &text, &found] {
            const QStringList lines = out.split(u'\n');
            for (qsizetype i = 0; i + 1 < lines.size(); ++i) { // whole lines only
                if (lines.at(i).contains(text)) {
                    found = lines.at(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    void writeLine(const QString &line)
    {
        process.write(line.toUtf8() + '\n');
        process.waitForBytesWritten(startMsecs); // no event loop runs to pass it on later
    }
    // Waits for the end; -1 when it did not end in time or crashed.
    int finish(int msecs = exitMsecs)
    {
        const bool ended = process.waitForFinished(msecs);
        drain();
        if (!ended || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }
    // Blocks until \a done holds for what was read, reading \a channel as it comes (no sleeping).
    template <typename Done> bool waitFor(QProcess::ProcessChannel channel, int msecs, Done done)
    {
        QDeadlineTimer deadline(msecs);
        process.setReadChannel(channel);
        for (;;) {
            drain();
            if (done())
                return true;
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(int(deadline.remainingTime()));
        }
    }
    void signal(int signalNumber) { ::kill(pid_t(process.processId()), signalNumber); }
    QString diagnostics() const { return u"\n--- stdout:\n"_s + out + u"\n--- stderr:\n"_s + err; }

    QProcess process;
    QString out;
    QString err;
};

QJsonObject parseObject(const QString &line)
{
    return QJsonDocument::fromJson(line.trimmed().toUtf8()).object();
}

} // namespace

class tst_Tool : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void help();
    void badArguments_data();
    void badArguments();
    void demo();
    void serveRequestListen_data();
    void serveRequestListen();
    void requestExitCodes();
    void serveSignals_data();
    void serveSignals();
    void serveCommandsAndQuit();
    void benchQuick();
};

void tst_Tool::help()
{
    {
        Tool tool({ u"--help"_s });
        QCOMPARE(tool.finish(), 0);
        for (const char *command : { "demo", "serve", "request", "listen", "bench" })
            QVERIFY2(tool.out.contains(QLatin1StringView(command)), qPrintable(tool.diagnostics()));
        QVERIFY(!tool.out.contains(u"__bench"_s)); // internal commands stay hidden
    }
    for (const char *command : { "demo", "serve", "request", "listen", "bench" }) {
        Tool tool({ QLatin1StringView(command), u"--help"_s });
        QCOMPARE(tool.finish(), 0);
        QVERIFY2(tool.out.startsWith(u"Usage: velmora-ipc "_s + QLatin1StringView(command)),
            qPrintable(tool.diagnostics()));
    }
    Tool version({ u"--version"_s });
    QCOMPARE(version.finish(), 0);
    QVERIFY(version.out.startsWith(u"velmora-ipc "_s));
}

void tst_Tool::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no command") << QStringList() << 2;
    QTest::newRow("unknown command") << QStringList { u"frobnicate"_s } << 2;
    QTest::newRow("unknown option") << QStringList { u"serve"_s, u"x"_s, u"--bogus"_s } << 2;
    QTest::newRow("serve without name") << QStringList { u"serve"_s } << 2;
    QTest::newRow("request without json") << QStringList { u"request"_s, u"x"_s } << 2;
    QTest::newRow("request bad timeout")
        << QStringList { u"request"_s, u"x"_s, u"{}"_s, u"--timeout"_s, u"soon"_s } << 2;
    QTest::newRow("request bad register")
        << QStringList { u"request"_s, u"x"_s, u"{}"_s, u"--register"_s, u"nocolon"_s } << 2;
    QTest::newRow("listen without register") << QStringList { u"listen"_s, u"x"_s } << 2;
    QTest::newRow("demo with argument") << QStringList { u"demo"_s, u"extra"_s } << 2;
    QTest::newRow("bench bad clients") << QStringList { u"bench"_s, u"--clients"_s, u"0"_s } << 2;
    QTest::newRow("serve reply not an object")
        << QStringList { u"serve"_s, u"x"_s, u"--reply"_s, u"[1]"_s } << 5;
    QTest::newRow("listen respond not JSON") << QStringList { u"listen"_s, u"x"_s, u"--register"_s,
        u"a:b"_s, u"--respond"_s, u"{oops"_s }
                                             << 5;
}

void tst_Tool::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    Tool tool(arguments);
    QCOMPARE(tool.finish(), exitCode);
    QVERIFY2(!tool.err.isEmpty(), "a failure must say why on standard error");
    QVERIFY(tool.out.isEmpty());
}

void tst_Tool::demo()
{
    Tool tool({ u"demo"_s });
    QCOMPARE(tool.finish(), 0);
    QVERIFY2(tool.out.contains(u"== plain"_s) && tool.out.contains(u"== enciphered"_s),
        qPrintable(tool.diagnostics()));
    QVERIFY2(tool.out.contains(u"demo passed"_s), qPrintable(tool.diagnostics()));
    QVERIFY(tool.out.contains(u"[[[[["_s)); // the enciphered run shows a frame from the wire
}

void tst_Tool::serveRequestListen_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::newRow("plain") << false;
    QTest::newRow("enciphered") << true;
}

void tst_Tool::serveRequestListen()
{
    QFETCH(bool, encrypt);
    const QString name = uniqueName("srl");
    const QStringList mode = encrypt ? QStringList { u"--encrypt"_s } : QStringList();

    Tool serve(QStringList { u"serve"_s, name, u"--reply"_s, uR"({"pong":true})"_s } + mode);
    auto stopServe = qScopeGuard([&serve] { serve.stop(); });
    QVERIFY2(serve.waitForErr(u"velmora-ipc serve: ready"_s), qPrintable(serve.diagnostics()));
    QVERIFY(QFileInfo::exists(endpointPath(name)));

    Tool listen(QStringList { u"listen"_s, name, u"--register"_s, u"app:listener"_s, u"--respond"_s,
                    uR"({"status":"ok"})"_s }
        + mode);
    auto stopListen = qScopeGuard([&listen] { listen.stop(); });
    QVERIFY2(listen.waitForErr(u"velmora-ipc listen: ready"_s), qPrintable(listen.diagnostics()));
    // The registration reached the server's handler and was printed there.
    const QString registration = serve.waitForOutLine(u"\"_USERID\":\"listener\""_s);
    QVERIFY2(!registration.isEmpty(), qPrintable(serve.diagnostics()));
    QCOMPARE(parseObject(registration).value(u"_REQUEST"_s).toString(), u"REGISTER"_s);

    // An answered request, with its own registration first.
    {
        Tool request(QStringList { u"request"_s, name, uR"({"_REQUEST":"PING","n":7})"_s,
                         u"--register"_s, u"app:req"_s }
            + mode);
        QCOMPARE(request.finish(), 0);
        QCOMPARE(parseObject(request.out), QJsonObject({ { u"pong"_s, true } }));
        const QString ping = serve.waitForOutLine(u"\"PING\""_s);
        QVERIFY2(!ping.isEmpty(), qPrintable(serve.diagnostics()));
        const QJsonObject received = parseObject(ping);
        QCOMPARE(received.value(u"n"_s).toInt(), 7);
        QCOMPARE(
            received.value(u"_PROTOCOL"_s).toString(), u"velmora-ipc"_s); // stamped by the client
    }

    // The registry as the server sees it.
    serve.writeLine(u"clients"_s);
    const QString clients = serve.waitForOutLine(u"\"clients\""_s);
    QVERIFY2(parseObject(clients).value(u"clients"_s).toArray().contains(u"app:listener"_s),
        qPrintable(serve.diagnostics()));

    // A broadcast reaches the listener; a post too.
    serve.writeLine(uR"(broadcast {"news":"for all"})"_s);
    const QString news = listen.waitForOutLine(u"\"news\""_s);
    QVERIFY2(!news.isEmpty(), qPrintable(listen.diagnostics() + serve.diagnostics()));
    QCOMPARE(parseObject(news).value(u"news"_s).toString(), u"for all"_s);
    serve.writeLine(uR"(post app:listener {"only":"you"})"_s);
    QVERIFY2(!listen.waitForOutLine(u"\"only\""_s).isEmpty(), qPrintable(listen.diagnostics()));

    // The server's blocking send, answered by the listener's --respond.
    serve.writeLine(uR"(send app:listener {"_REQUEST":"STATUS"})"_s);
    const QString answer = serve.waitForOutLine(u"\"answer\""_s);
    QVERIFY2(!answer.isEmpty(), qPrintable(serve.diagnostics()));
    QCOMPARE(parseObject(answer).value(u"answer"_s).toObject(),
        QJsonObject({ { u"_RESPONSE"_s, true }, { u"status"_s, u"ok"_s } }));
    QVERIFY(!listen.waitForOutLine(u"\"STATUS\""_s).isEmpty());

    // SIGTERM closes the server cleanly and removes the endpoint; the listener learns of it.
    serve.signal(SIGTERM);
    QCOMPARE(serve.finish(), 0);
    QVERIFY2(!QFileInfo::exists(endpointPath(name)), qPrintable(serve.diagnostics()));
    QCOMPARE(listen.finish(), 3);
    QVERIFY(listen.err.contains(u"closed the connection"_s));
}

void tst_Tool::requestExitCodes()
{
    const QString name = uniqueName("codes");
    {
        Tool noServer({ u"request"_s, name, uR"({"_REQUEST":"PING"})"_s });
        QCOMPARE(noServer.finish(), 3);
        QVERIFY(noServer.out.isEmpty());
        QVERIFY(noServer.err.contains(u"cannot connect"_s));
    }
    for (const char *bad : { "[1,2]", "{\"unterminated\":", "\"text\"" }) {
        Tool badJson({ u"request"_s, name, QString::fromUtf8(bad) });
        QCOMPARE(badJson.finish(), 5);
        QVERIFY(badJson.out.isEmpty());
    }

    Tool serve({ u"serve"_s, name });
    auto stopServe = qScopeGuard([&serve] { serve.stop(); });
    QVERIFY2(serve.waitForErr(u"velmora-ipc serve: ready"_s), qPrintable(serve.diagnostics()));
    {
        // Neither _REQUEST nor _COMMAND: the server does not answer, the limit runs out.
        Tool timeout({ u"request"_s, name, uR"({"just":"payload"})"_s, u"--timeout"_s, u"300"_s });
        QCOMPARE(timeout.finish(), 4);
        QVERIFY(timeout.out.isEmpty());
        QVERIFY2(
            timeout.err.contains(u"no answer within 300 ms"_s), qPrintable(timeout.diagnostics()));
    }
    {
        // A command is answered, with the default reply: an empty map.
        Tool command({ u"request"_s, name, uR"({"_COMMAND":"NOOP"})"_s });
        QCOMPARE(command.finish(), 0);
        QCOMPARE(command.out.trimmed(), u"{}"_s);
    }
    serve.writeLine(u"quit"_s);
    QCOMPARE(serve.finish(), 0);
}

void tst_Tool::serveSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void tst_Tool::serveSignals()
{
    QFETCH(int, signalNumber);
    const QString name = uniqueName("sig");
    Tool serve({ u"serve"_s, name, u"--encrypt"_s });
    auto stopServe = qScopeGuard([&serve] { serve.stop(); });
    QVERIFY2(serve.waitForErr(u"velmora-ipc serve: ready"_s), qPrintable(serve.diagnostics()));
    QVERIFY(QFileInfo::exists(endpointPath(name)));
    serve.signal(signalNumber);
    QCOMPARE(serve.finish(), 0);
    QVERIFY(serve.err.contains(u"closed"_s));
    QVERIFY(!QFileInfo::exists(endpointPath(name)));
    // Nothing listens there any more.
    Tool request({ u"request"_s, name, uR"({"_REQUEST":"PING"})"_s });
    QCOMPARE(request.finish(), 3);
}

void tst_Tool::serveCommandsAndQuit()
{
    const QString name = uniqueName("cmd");
    Tool serve({ u"serve"_s, name, u"--timeout"_s, u"2000"_s });
    auto stopServe = qScopeGuard([&serve] { serve.stop(); });
    QVERIFY2(serve.waitForErr(u"velmora-ipc serve: ready"_s), qPrintable(serve.diagnostics()));
    // Bad commands are reported and the server goes on.
    serve.writeLine(u"bogus"_s);
    QVERIFY(serve.waitForErr(u"unknown command \"bogus\""_s));
    serve.writeLine(u"post"_s);
    QVERIFY(serve.waitForErr(u"usage: post ID JSON"_s));
    serve.writeLine(u"broadcast [1]"_s);
    QVERIFY(serve.waitForErr(u"broadcast: the message is valid JSON, but not an object"_s));
    // A send to nobody says so on standard output too, so a script reading answers is not stuck.
    serve.writeLine(uR"(send nobody:here {"_REQUEST":"X"})"_s);
    const QString answer = serve.waitForOutLine(u"\"answer\""_s);
    QVERIFY2(!answer.isEmpty(), qPrintable(serve.diagnostics()));
    QVERIFY(parseObject(answer).value(u"answer"_s).isNull());
    serve.writeLine(u"clients"_s);
    QCOMPARE(parseObject(serve.waitForOutLine(u"\"clients\""_s)).value(u"clients"_s).toArray(),
        QJsonArray());
    serve.writeLine(u"quit"_s);
    QCOMPARE(serve.finish(), 0);
    QVERIFY(!QFileInfo::exists(endpointPath(name)));
}

void tst_Tool::benchQuick()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString jsonFile = dir.filePath(u"bench.json"_s);
    Tool bench({ u"bench"_s, u"--quick"_s, u"--json"_s, jsonFile });
    QCOMPARE(bench.finish(180000), 0);
    QVERIFY2(bench.out.contains(u"round trip"_s) && bench.out.contains(u"goals"_s),
        qPrintable(bench.diagnostics()));
    QVERIFY(bench.err.contains(u"bench: "_s)); // progress on standard error

    QFile file(jsonFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(json.value(u"quick"_s).toBool(), true);
    QVERIFY(!json.value(u"raw"_s).toArray().isEmpty());
    const QJsonArray library = json.value(u"library"_s).toArray();
    QCOMPARE(library.size(), 2); // 1 KiB, plain and enciphered
    for (const QJsonValue &entry : library) {
        const QJsonObject o = entry.toObject();
        for (const char *test : { "round_trip", "post", "broadcast" }) {
            const QJsonObject figures = o.value(QLatin1StringView(test)).toObject();
            QCOMPARE(figures.value(u"lost"_s).toInteger(-1), 0);
        }
        QVERIFY(o.value(u"round_trip"_s).toObject().value(u"samples"_s).toInteger() > 0);
        QVERIFY(o.value(u"post"_s).toObject().value(u"handled"_s).toInteger() > 0);
    }
}

QTEST_GUILESS_MAIN(tst_Tool)
#include "tst_tool.moc"
