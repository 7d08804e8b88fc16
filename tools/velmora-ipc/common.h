// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Shared pieces of the velmora-ipc tool: exit codes, output, JSON, the library's log lines,
// threads for the IPC objects, signals and standard input.
#pragma once

#include <VelmoraIPC/VelmoraIPC.h>

#include <QCommandLineParser>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <functional>
#include <memory>

namespace Tool {

// Exit codes; README.md lists them. Distinct so that scripts can tell the cases apart.
enum ExitCode : int {
    ExitOk = 0,
    ExitFailure = 1, // something did not work (a demo step, a bench peer, a listen failure)
    ExitUsage = 2, // bad command line: unknown command or option, missing or bad value
    ExitNoConnection = 3, // cannot connect to the endpoint, or the connection was lost
    ExitNoAnswer = 4, // no answer within the time limit
    ExitNotJsonObject = 5, // a JSON argument or input is not a JSON object
};

// ----- output ---------------------------------------------------------------------------------

// One line to standard output or standard error, written whole and flushed. Lines from several
// threads never mix.
void printOut(const QString &line);
void printErr(const QString &line);

// "velmora-ipc <command>: <text>" on standard error.
void diag(const QString &command, const QString &text);

// ----- JSON -----------------------------------------------------------------------------------

QString toJsonLine(const QVariantMap &map);
QString toJsonLine(const QVariant &value);

// Parses \a text as one JSON object. On failure \a error says why.
bool parseJsonObject(const QString &text, QVariantMap &map, QString *error = nullptr);

// ----- the library's log lines ----------------------------------------------------------------

// Routes every Qt message (the library's log lines among them) to standard error, formatted as
// Qt does (QT_MESSAGE_PATTERN is honoured), and lets LogWatch objects see the library's lines.
void installLogHandler();

// Library log levels as the library passes them: 0 connection life, 1 traces, 4 failures with
// one message, 5 the endpoint cannot be created.
void setLibraryLogLevels(bool info, bool trace);

struct LibraryLine
{
    int level;
    QString text;
};

// Records the library's lines of level 4 and 5 (and the others when \a all is set) written
// while it exists, from every thread.
class LogWatch
{
public:
    explicit LogWatch(bool all = false);
    ~LogWatch();
    LogWatch(const LogWatch &) = delete;
    LogWatch &operator=(const LogWatch &) = delete;

    QList<LibraryLine> lines() const;
    bool containsPrefix(int minLevel, const QString &prefix) const;
    // The first line of at least \a minLevel that starts with \a prefix, without the prefix.
    bool find(int minLevel, const QString &prefix, QString *rest) const;
    void clear();

    void record(int level, const QString &text); // called by the log handler

private:
    bool all;
    mutable QMutex mutex;
    QList<LibraryLine> recorded;
};

// ----- threads --------------------------------------------------------------------------------

// A thread with an event loop; quits and joins on destruction.
class EventThread
{
public:
    explicit EventThread(const QString &name);
    ~EventThread();
    QThread *get() { return &thread; }

private:
    QThread thread;
};

// Runs \a fn in \a object's thread and waits for it to finish.
void runIn(QObject *object, const std::function<void()> &fn);

// A handler whose work is a function; lives in a thread of its own.
class FunctionHandler : public IPCMessageHandler
{
public:
    using Function = std::function<void(const QVariantMap &, QVariantMap &)>;
    explicit FunctionHandler(Function fn) : fn(std::move(fn)) { }
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        if (fn)
            fn(message, result);
    }

private:
    Function fn;
};

struct EndpointOptions
{
    QString name;
    QString protocol;
    QString version;
    bool encrypt = false;
    bool verbose = false;
};

// A server and its handler, each in a thread of its own, as the library wants them.
class ServerHost
{
public:
    ServerHost(const EndpointOptions &options, FunctionHandler::Function handle);
    ~ServerHost(); // closes and deletes the server in its thread

    // Runs start() in the server's thread; false (with the library's reason) when the endpoint
    // could not be made or listened on.
    bool start(QString *error);
    void close();

    VelmoraIPCServer *server() const { return object; }
    QThread *serverThread() { return objectThread.get(); }
    QThread *handlerThread() { return workerThread.get(); }

private:
    EventThread objectThread;
    EventThread workerThread;
    FunctionHandler handler;
    VelmoraIPCServer *object = nullptr;
};

// A client and its handler, each in a thread of its own.
class ClientHost
{
public:
    ClientHost(const EndpointOptions &options, bool respond, FunctionHandler::Function handle);
    ~ClientHost(); // deletes the client in its thread

    // Runs connectToServer() in the client's thread; true when connected.
    bool connect();
    bool isConnected();
    void disconnect();

    VelmoraIPCClient *client() const { return object; }

private:
    EventThread objectThread;
    EventThread workerThread;
    FunctionHandler handler;
    VelmoraIPCClient *object = nullptr;
};

enum class SendOutcome {
    Answered,
    NoAnswer, // the time limit ran out
    ConnectionLost, // the connection went during the wait (or was never there)
    BadAnswer, // what came back is not one JSON object
    UnknownClient, // server send: the client ID is not registered
};

QString describe(SendOutcome outcome, int timeoutMsecs);

// A blocking send through a client, told apart: the library reports only through its log, so
// the outcome is read from its level-4 line (and from a marker left in \a response when the
// warning lines are switched off).
SendOutcome clientSend(
    ClientHost &host, QVariantMap &message, QVariantMap &response, QString *detail = nullptr);
SendOutcome serverSend(VelmoraIPCServer *server, const QString &clientId, QVariantMap &message,
    QVariantMap &response, QString *detail = nullptr);

// Splits "APP:USER" at the first colon; both halves non-empty.
bool parseClientId(const QString &text, QString *appId, QString *userId);

// ----- signals and standard input -------------------------------------------------------------

// Turns SIGINT and SIGTERM into a Qt signal in the thread that created it.
class TerminationWatcher : public QObject
{
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void readSignal();
};

// Reads standard input line by line in a thread of its own and hands each line (without its
// end) to \a onLine in that thread; \a onEnd runs once at the end of the input. stop() ends it
// even while it waits for input.
class LineReader
{
public:
    LineReader(std::function<void(const QString &)> onLine, std::function<void()> onEnd);
    ~LineReader();
    void start();
    void stop();

private:
    void run();
    std::function<void(const QString &)> onLine;
    std::function<void()> onEnd;
    std::unique_ptr<QThread> thread;
    int wakeFds[2] = { -1, -1 };
};

// ----- command line ---------------------------------------------------------------------------

// Parses the arguments of one subcommand. Returns -1 to go on, or the exit code to end with
// (help printed: 0; bad arguments: 2, with the reason on standard error).
int parseCommandLine(QCommandLineParser &parser, const QString &command, const QString &synopsis,
    const QStringList &arguments, int minPositional, int maxPositional);

// Reads an integer option; false (with a message) when it is not a number in [min, max].
bool intOption(const QCommandLineParser &parser, const QString &command, const QString &name,
    int min, int max, int *value);

// Options that serve, request and listen share.
void addEndpointOptions(QCommandLineParser &parser);
EndpointOptions endpointOptions(const QCommandLineParser &parser, const QString &name);

QString defaultProtocol();
QString defaultVersion();

// The subcommands; \a arguments holds the program name and then what follows the subcommand.
int runDemo(const QStringList &arguments);
int runServe(const QStringList &arguments);
int runRequest(const QStringList &arguments);
int runListen(const QStringList &arguments);
int runBench(const QStringList &arguments);
int runBenchServer(const QStringList &arguments);
int runBenchClient(const QStringList &arguments);
int runBenchRawServer(const QStringList &arguments);
int runBenchRawClient(const QStringList &arguments);

} // namespace Tool
