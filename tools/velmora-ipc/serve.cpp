// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// velmora-ipc serve NAME: hosts a server. Dispatched messages go to standard output, one JSON
// line each; commands on standard input drive the outbound side.
#include "common.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

using namespace Qt::StringLiterals;

namespace Tool {

namespace {

    const QString command = u"serve"_s;

    // The server keeps its registry to itself; this copy follows it from what the handler sees
    // (every registration reaches the handler) and from clientDisconnected().
    class RegistryMirror
    {
    public:
        void add(const QString &id)
        {
            QMutexLocker lock(&mutex);
            ids.insert(id);
        }
        void remove(const QString &id)
        {
            QMutexLocker lock(&mutex);
            ids.remove(id);
        }
        QStringList list() const
        {
            QMutexLocker lock(&mutex);
            QStringList out(ids.cbegin(), ids.cend());
            out.sort();
            return out;
        }

    private:
        mutable QMutex mutex;
        QSet<QString> ids;
    };

    // Splits "WORD REST" at the first run of white space.
    QPair<QString, QString> splitFirst(const QString &text)
    {
        const QString trimmed = text.trimmed();
        const qsizetype space = trimmed.indexOf(QRegularExpression(u"\\s"_s));
        if (space < 0)
            return { trimmed, QString() };
        return { trimmed.left(space), trimmed.mid(space + 1).trimmed() };
    }

    const char commandHelp[] =
        "commands: send ID JSON | post ID JSON | broadcast JSON | clients | quit | help";

} // namespace

int runServe(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Hosts a server on the endpoint NAME until SIGINT, SIGTERM or 'quit'.\n"
        "Each message dispatched to the handler (one that holds _REQUEST or _COMMAND) is "
        "printed to standard output as one JSON line, and answered with --reply.\n"
        "Commands on standard input, one a line:\n"
        "  send ID JSON    blocking request to client ID; prints {\"answer\":...}\n"
        "  post ID JSON    one-way message to client ID\n"
        "  broadcast JSON  one-way message to every registered client\n"
        "  clients         prints {\"clients\":[...]}, the registered IDs\n"
        "  quit            closes the server and exits\n"
        "When ready, writes \"velmora-ipc serve: ready ...\" to standard error."_s);
    parser.addPositionalArgument(u"name"_s, u"Endpoint name to listen on."_s);
    parser.addOption({ u"reply"_s,
        u"The handler's answer to every dispatched message, a JSON object (default {})."_s,
        u"json"_s, u"{}"_s });
    parser.addOption({ u"timeout"_s,
        u"How long 'send' waits for an answer, in milliseconds (default 25000)."_s, u"ms"_s });
    addEndpointOptions(parser);
    const int parsed = parseCommandLine(parser, command, u"<name>"_s, arguments, 1, 1);
    if (parsed >= 0)
        return parsed;

    int timeout = 25000;
    if (!intOption(parser, command, u"timeout"_s, 0, 24 * 3600 * 1000, &timeout))
        return ExitUsage;
    QVariantMap reply;
    QString error;
    if (!parseJsonObject(parser.value(u"reply"_s), reply, &error)) {
        diag(command, u"--reply is %1"_s.arg(error));
        return ExitNotJsonObject;
    }
    const EndpointOptions options = endpointOptions(parser, parser.positionalArguments().at(0));
    if (options.name.isEmpty()) {
        diag(command, u"the endpoint name is empty"_s);
        return ExitUsage;
    }
    setLibraryLogLevels(true, options.verbose);

    RegistryMirror registry;
    ServerHost host(options, [&registry, reply](const QVariantMap &message, QVariantMap &result) {
        const QString request = message.value(u"_REQUEST"_s).toString();
        if (request == u"REGISTER" || request == u"SUBSCRIBE") {
            const QString appId = message.value(u"_APPID"_s).toString();
            const QString userId = message.value(u"_USERID"_s).toString();
            if (!appId.isEmpty() && !userId.isEmpty())
                registry.add(appId + u':' + userId);
        }
        printOut(toJsonLine(message));
        result = reply;
    });
    VelmoraIPCServer *server = host.server();
    server->setResponseTimeout(timeout);
    QObject::connect(
        server, &VelmoraIPCServer::clientDisconnected, server,
        [&registry](const QString &id) { registry.remove(id); }, Qt::DirectConnection);

    if (!host.start(&error)) {
        diag(command, u"cannot listen on \"%1\": %2"_s.arg(options.name, error));
        return ExitFailure;
    }

    int exitCode = ExitOk;
    TerminationWatcher termination;
    QObject::connect(
        &termination, &TerminationWatcher::terminationRequested, qApp, [](int signalNumber) {
            diag(command, u"signal %1, closing"_s.arg(signalNumber));
            QCoreApplication::exit(ExitOk);
        });

    auto handleLine = [&](const QString &line) {
        const auto [verb, rest] = splitFirst(line);
        if (verb.isEmpty())
            return;
        if (verb == u"quit" || verb == u"exit") {
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::exit(ExitOk); }, Qt::QueuedConnection);
            return;
        }
        if (verb == u"help") {
            diag(command, QString::fromLatin1(commandHelp));
            return;
        }
        if (verb == u"clients") {
            printOut(QString::fromUtf8(QJsonDocument(
                QJsonObject { { u"clients"_s, QJsonArray::fromStringList(registry.list()) } })
                                           .toJson(QJsonDocument::Compact)));
            return;
        }
        if (verb != u"send" && verb != u"post" && verb != u"broadcast") {
            diag(command,
                u"unknown command \"%1\"; %2"_s.arg(verb, QString::fromLatin1(commandHelp)));
            return;
        }
        QString clientId;
        QString json = rest;
        if (verb != u"broadcast") {
            std::tie(clientId, json) = splitFirst(rest);
            if (clientId.isEmpty() || json.isEmpty()) {
                diag(command, u"usage: %1 ID JSON"_s.arg(verb));
                return;
            }
        }
        QVariantMap message;
        QString parseError;
        if (!parseJsonObject(json, message, &parseError)) {
            diag(command, u"%1: the message is %2"_s.arg(verb, parseError));
            if (verb == u"send")
                printOut(u"{\"answer\":null,\"error\":\"not a JSON object\"}"_s);
            return;
        }
        if (verb == u"broadcast") {
            server->broadcast(message); // carried out on the server's thread with a copy
            return;
        }
        if (verb == u"post") {
            if (!registry.list().contains(clientId))
                diag(command, u"post: no client is registered as \"%1\""_s.arg(clientId));
            server->post(clientId, message);
            return;
        }
        QVariantMap response;
        QString detail;
        const SendOutcome outcome = serverSend(server, clientId, message, response, &detail);
        QJsonObject out;
        if (outcome == SendOutcome::Answered) {
            out.insert(u"answer"_s, QJsonObject::fromVariantMap(response));
        } else {
            out.insert(u"answer"_s, QJsonValue(QJsonValue::Null));
            out.insert(u"error"_s, describe(outcome, server->responseTimeout()));
            diag(command,
                u"send to %1: %2"_s.arg(clientId, describe(outcome, server->responseTimeout())));
        }
        printOut(QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)));
    };
    // Commands run in the reader's thread: a blocking send must come from a thread that is
    // neither the server's nor its handler's. The end of the input does not stop the server.
    LineReader reader(handleLine, nullptr);
    reader.start();

    diag(command,
        u"ready, listening on \"%1\" (%2)"_s.arg(
            options.name, options.encrypt ? u"enciphered"_s : u"plain"_s));
    exitCode = QCoreApplication::exec();

    reader.stop();
    host.close();
    diag(command, u"closed \"%1\""_s.arg(options.name));
    return exitCode;
}

} // namespace Tool
