// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "common.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Tool {

namespace {

    QMutex &outputMutex()
    {
        static QMutex mutex;
        return mutex;
    }

    void writeLine(FILE *stream, const QString &line)
    {
        const QByteArray bytes = line.toUtf8() + '\n';
        QMutexLocker lock(&outputMutex());
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
        std::fflush(stream);
    }

    // ----- log watch registry -----

    QMutex &watchMutex()
    {
        static QMutex mutex;
        return mutex;
    }

    QList<LogWatch *> &watches()
    {
        static QList<LogWatch *> list;
        return list;
    }

    int libraryLevel(QtMsgType type)
    {
        switch (type) {
        case QtInfoMsg:
            return 0;
        case QtDebugMsg:
            return 1;
        case QtWarningMsg:
            return 4;
        default:
            return 5;
        }
    }

    void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (context.category && qstrcmp(context.category, "velmora.ipc") == 0) {
            const int level = libraryLevel(type);
            QMutexLocker lock(&watchMutex());
            for (LogWatch *watch : std::as_const(watches()))
                watch->record(level, text);
        }
        writeLine(stderr, qFormatLogMessage(type, context, text));
        if (type == QtFatalMsg)
            std::abort();
    }

    // A key no peer sends: left in a response map before a blocking send, it is still the only key
    // afterwards exactly when no answer was parsed into the map.
    QString noAnswerMarker() { return u"\u0001velmora-ipc-no-answer"_s; }

    int signalPipe[2] = { -1, -1 };

    void onSignal(int signalNumber)
    {
        const int saved = errno;
        const char byte = char(signalNumber);
        [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
        errno = saved;
    }

} // namespace

// ----- output -----

void printOut(const QString &line) { writeLine(stdout, line); }

void printErr(const QString &line) { writeLine(stderr, line); }

void diag(const QString &command, const QString &text)
{
    printErr(u"velmora-ipc "_s + command + u": "_s + text);
}

// ----- JSON -----

QString toJsonLine(const QVariantMap &map)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact));
}

QString toJsonLine(const QVariant &value)
{
    const QJsonValue json = QJsonValue::fromVariant(value);
    if (json.isObject())
        return QString::fromUtf8(QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact));
    if (json.isArray())
        return QString::fromUtf8(QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact));
    const QByteArray wrapped = QJsonDocument(QJsonArray { json }).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

bool parseJsonObject(const QString &text, QVariantMap &map, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error) {
            *error = u"not valid JSON (%1 at offset %2)"_s.arg(parseError.errorString())
                         .arg(parseError.offset);
        }
        return false;
    }
    if (!doc.isObject()) {
        if (error)
            *error =
                u"valid JSON, but not an object: messages are JSON objects like {\"key\":\"value\"}"_s;
        return false;
    }
    map = doc.object().toVariantMap();
    return true;
}

// ----- logging -----

void installLogHandler() { qInstallMessageHandler(&messageHandler); }

void setLibraryLogLevels(bool info, bool trace)
{
    QLoggingCategory::setFilterRules(u"velmora.ipc.info=%1\nvelmora.ipc.debug=%2"_s.arg(
        info ? u"true"_s : u"false"_s, trace ? u"true"_s : u"false"_s));
}

LogWatch::LogWatch(bool all) : all(all)
{
    QMutexLocker lock(&watchMutex());
    watches().append(this);
}

LogWatch::~LogWatch()
{
    QMutexLocker lock(&watchMutex());
    watches().removeAll(this);
}

void LogWatch::record(int level, const QString &text)
{
    if (!all && level < 4)
        return;
    QMutexLocker lock(&mutex);
    recorded.append({ level, text });
}

QList<LibraryLine> LogWatch::lines() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}

bool LogWatch::containsPrefix(int minLevel, const QString &prefix) const
{
    return find(minLevel, prefix, nullptr);
}

bool LogWatch::find(int minLevel, const QString &prefix, QString *rest) const
{
    QMutexLocker lock(&mutex);
    for (const LibraryLine &line : recorded) {
        if (line.level >= minLevel && line.text.startsWith(prefix)) {
            if (rest)
                *rest = line.text.mid(prefix.size());
            return true;
        }
    }
    return false;
}

void LogWatch::clear()
{
    QMutexLocker lock(&mutex);
    recorded.clear();
}

// ----- threads -----

EventThread::EventThread(const QString &name)
{
    thread.setObjectName(name);
    thread.start();
}

EventThread::~EventThread()
{
    thread.quit();
    thread.wait();
}

void runIn(QObject *object, const std::function<void()> &fn)
{
    if (object->thread() == QThread::currentThread())
        fn();
    else
        QMetaObject::invokeMethod(object, fn, Qt::BlockingQueuedConnection);
}

ServerHost::ServerHost(const EndpointOptions &options, FunctionHandler::Function handle)
    : objectThread(u"server"_s), workerThread(u"server-handler"_s), handler(std::move(handle))
{
    handler.moveToThread(workerThread.get());
    object = new VelmoraIPCServer(options.name, options.protocol, options.version, &handler,
        options.encrypt, options.verbose);
    object->moveToThread(objectThread.get());
}

ServerHost::~ServerHost()
{
    VelmoraIPCServer *s = object;
    runIn(s, [s] { delete s; });
}

bool ServerHost::start(QString *error)
{
    LogWatch watch;
    runIn(object, [this] { object->start(); });
    QString rest;
    if (watch.find(5, u"VelmoraIPCServer::start: "_s, &rest)) {
        if (error)
            *error = rest;
        return false;
    }
    return true;
}

void ServerHost::close()
{
    runIn(object, [this] { object->close(); });
}

ClientHost::ClientHost(
    const EndpointOptions &options, bool respond, FunctionHandler::Function handle)
    : objectThread(u"client"_s), workerThread(u"client-handler"_s), handler(std::move(handle))
{
    handler.moveToThread(workerThread.get());
    object = new VelmoraIPCClient(options.name, options.protocol, options.version, &handler,
        respond, options.encrypt, options.verbose);
    object->moveToThread(objectThread.get());
}

ClientHost::~ClientHost()
{
    VelmoraIPCClient *c = object;
    runIn(c, [c] { delete c; });
}

bool ClientHost::connect()
{
    runIn(object, [this] { object->connectToServer(); });
    return isConnected();
}

bool ClientHost::isConnected()
{
    bool connected = false;
    runIn(object, [this, &connected] { connected = object->isConnected(); });
    return connected;
}

void ClientHost::disconnect()
{
    runIn(object, [this] { object->disconnectFromServer(); });
}

QString describe(SendOutcome outcome, int timeoutMsecs)
{
    switch (outcome) {
    case SendOutcome::Answered:
        return u"answered"_s;
    case SendOutcome::NoAnswer:
        return u"no answer within %1 ms"_s.arg(timeoutMsecs);
    case SendOutcome::ConnectionLost:
        return u"the connection was lost before an answer came"_s;
    case SendOutcome::BadAnswer:
        return u"the answer is not a JSON object"_s;
    case SendOutcome::UnknownClient:
        return u"no client is registered under that ID"_s;
    }
    return QString();
}

namespace {

    // What a blocking send left behind, read from the log line of \a prefix and the marker.
    SendOutcome outcomeOf(
        const LogWatch &watch, const QString &prefix, QVariantMap &response, QString *detail)
    {
        QString rest;
        const bool parseFailed = watch.find(4, prefix, &rest);
        const bool markerOnly = response.size() == 1 && response.contains(noAnswerMarker());
        response.remove(noAnswerMarker());
        if (parseFailed && !rest.isEmpty()) {
            if (detail)
                *detail = rest;
            return SendOutcome::BadAnswer;
        }
        if (parseFailed || markerOnly)
            return SendOutcome::NoAnswer;
        return SendOutcome::Answered;
    }

} // namespace

SendOutcome clientSend(
    ClientHost &host, QVariantMap &message, QVariantMap &response, QString *detail)
{
    if (!host.isConnected())
        return SendOutcome::ConnectionLost;
    LogWatch watch;
    response.insert(noAnswerMarker(), true);
    host.client()->send(QString(), message, response);
    SendOutcome outcome =
        outcomeOf(watch, u"VelmoraIPCClient::onSend: failed to parse: "_s, response, detail);
    if (outcome == SendOutcome::NoAnswer && !host.isConnected())
        outcome = SendOutcome::ConnectionLost;
    return outcome;
}

SendOutcome serverSend(VelmoraIPCServer *server, const QString &clientId, QVariantMap &message,
    QVariantMap &response, QString *detail)
{
    LogWatch watch;
    QElapsedTimer timer;
    timer.start();
    response.insert(noAnswerMarker(), true);
    server->send(clientId, message, response);
    const qint64 elapsed = timer.elapsed();
    if (watch.containsPrefix(
            4, u"VelmoraIPCServer::onSend: failed to send message due to unavailable socket"_s)) {
        response.remove(noAnswerMarker());
        return SendOutcome::UnknownClient;
    }
    SendOutcome outcome =
        outcomeOf(watch, u"VelmoraIPCServer::onSend: failed to parse: "_s, response, detail);
    // The server cannot see the client's socket from here: a wait that ended well before the
    // limit ended because the connection went.
    if (outcome == SendOutcome::NoAnswer && elapsed + 50 < server->responseTimeout())
        outcome = SendOutcome::ConnectionLost;
    return outcome;
}

bool parseClientId(const QString &text, QString *appId, QString *userId)
{
    const qsizetype colon = text.indexOf(u':');
    if (colon <= 0 || colon == text.size() - 1)
        return false;
    *appId = text.left(colon);
    *userId = text.mid(colon + 1);
    return true;
}

// ----- signals -----

TerminationWatcher::TerminationWatcher(QObject *parent) : QObject(parent)
{
    if (signalPipe[0] < 0) {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            qFatal("velmora-ipc: cannot create the signal pipe");
    }
    struct sigaction action = {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    QObject::connect(notifier, &QSocketNotifier::activated, this, &TerminationWatcher::readSignal);
}

TerminationWatcher::~TerminationWatcher()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void TerminationWatcher::readSignal()
{
    char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        Q_EMIT terminationRequested(int(byte));
}

// ----- standard input -----

LineReader::LineReader(std::function<void(const QString &)> onLine, std::function<void()> onEnd)
    : onLine(std::move(onLine)), onEnd(std::move(onEnd))
{
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("velmora-ipc: cannot create a pipe");
}

LineReader::~LineReader()
{
    stop();
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
}

void LineReader::start()
{
    thread.reset(QThread::create([this] { run(); }));
    thread->setObjectName(u"stdin"_s);
    thread->start();
}

void LineReader::stop()
{
    if (!thread)
        return;
    const char byte = 'q';
    [[maybe_unused]] const ssize_t n = ::write(wakeFds[1], &byte, 1);
    thread->wait();
    thread.reset();
}

void LineReader::run()
{
    QByteArray pending;
    char chunk[65536];
    for (;;) {
        pollfd fds[2] = { { STDIN_FILENO, POLLIN, 0 }, { wakeFds[0], POLLIN, 0 } };
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            return; // stopped: no end callback
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            break;
        }
        if (n == 0)
            break;
        pending.append(chunk, n);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            QByteArray line = pending.left(newline);
            pending.remove(0, newline + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            onLine(QString::fromUtf8(line));
        }
    }
    if (!pending.isEmpty())
        onLine(QString::fromUtf8(pending));
    if (onEnd)
        onEnd();
}

// ----- command line -----

int parseCommandLine(QCommandLineParser &parser, const QString &command, const QString &synopsis,
    const QStringList &arguments, int minPositional, int maxPositional)
{
    const QCommandLineOption help({ u"h"_s, u"help"_s }, u"Shows this help."_s);
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        diag(command, parser.errorText());
        printErr(u"Try 'velmora-ipc %1 --help'."_s.arg(command));
        return ExitUsage;
    }
    if (parser.isSet(help)) {
        // QCommandLineParser writes "<program> [options] <arguments>"; the command goes first.
        QString text = parser.helpText();
        const qsizetype end = text.indexOf(u'\n');
        text.replace(0, end,
            u"Usage: velmora-ipc "_s + command + u" [options]"_s
                + (synopsis.isEmpty() ? QString() : u" "_s + synopsis));
        std::fputs(text.toUtf8().constData(), stdout);
        std::fflush(stdout);
        return ExitOk;
    }
    const qsizetype n = parser.positionalArguments().size();
    if (n < minPositional || n > maxPositional) {
        diag(command,
            n < minPositional ? u"missing arguments"_s
                              : u"unexpected argument \"%1\""_s.arg(
                                  parser.positionalArguments().value(maxPositional)));
        printErr(u"Usage: velmora-ipc %1 [options] %2"_s.arg(command, synopsis));
        printErr(u"Try 'velmora-ipc %1 --help'."_s.arg(command));
        return ExitUsage;
    }
    return -1;
}

bool intOption(const QCommandLineParser &parser, const QString &command, const QString &name,
    int min, int max, int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const QString text = parser.value(name);
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max) {
        diag(command,
            u"--%1 wants a whole number from %2 to %3, not \"%4\""_s.arg(name)
                .arg(min)
                .arg(max)
                .arg(text));
        return false;
    }
    *value = v;
    return true;
}

QString defaultProtocol() { return u"velmora-ipc"_s; }

QString defaultVersion() { return u"1"_s; }

void addEndpointOptions(QCommandLineParser &parser)
{
    parser.addOption(
        { u"encrypt"_s, u"Frames and enciphers what this end writes (reading accepts both)."_s });
    parser.addOption({ u"protocol"_s,
        u"Protocol name stamped into sent messages as _PROTOCOL (default \"%1\")."_s.arg(
            defaultProtocol()),
        u"name"_s, defaultProtocol() });
    parser.addOption({ u"version"_s,
        u"Protocol version stamped into sent messages as _VERSION (default \"%1\")."_s.arg(
            defaultVersion()),
        u"text"_s, defaultVersion() });
    parser.addOption(
        { u"verbose"_s, u"Writes the library's message traces (level 1) to standard error."_s });
}

EndpointOptions endpointOptions(const QCommandLineParser &parser, const QString &name)
{
    EndpointOptions options;
    options.name = name;
    options.protocol = parser.value(u"protocol"_s);
    options.version = parser.value(u"version"_s);
    options.encrypt = parser.isSet(u"encrypt"_s);
    options.verbose = parser.isSet(u"verbose"_s);
    return options;
}

} // namespace Tool
