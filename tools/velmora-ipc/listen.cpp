// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// velmora-ipc listen NAME --register APP:USER: prints every message the server sends.
#include "common.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

namespace Tool {

namespace {
    const QString command = u"listen"_s;
} // namespace

int runListen(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Connects to the server NAME, registers as APP:USER and prints every message the "
        "server sends (send, post, broadcast) to standard output, one JSON line each, until "
        "SIGINT or SIGTERM (exit 0) or until the server closes the connection (exit 3).\n"
        "When ready, writes \"velmora-ipc listen: ready ...\" to standard error."_s);
    parser.addPositionalArgument(u"name"_s, u"Endpoint name of the server."_s);
    parser.addOption({ u"register"_s, u"Client ID to register as (required)."_s, u"APP:USER"_s });
    parser.addOption({ u"respond"_s,
        u"Answers every message with this JSON object plus _RESPONSE, which is what the server's blocking send waits for."_s,
        u"json"_s });
    parser.addOption({ u"timeout"_s,
        u"How long to wait for the registration's answer, in milliseconds (default 25000)."_s,
        u"ms"_s });
    addEndpointOptions(parser);
    const int parsed =
        parseCommandLine(parser, command, u"<name> --register APP:USER"_s, arguments, 1, 1);
    if (parsed >= 0)
        return parsed;

    int timeout = 25000;
    if (!intOption(parser, command, u"timeout"_s, 0, 24 * 3600 * 1000, &timeout))
        return ExitUsage;
    QString appId, userId;
    if (!parser.isSet(u"register"_s)) {
        diag(command,
            u"--register APP:USER is required: only registered clients receive messages"_s);
        return ExitUsage;
    }
    if (!parseClientId(parser.value(u"register"_s), &appId, &userId)) {
        diag(command,
            u"--register wants APP:USER with both parts non-empty, not \"%1\""_s.arg(
                parser.value(u"register"_s)));
        return ExitUsage;
    }
    const bool respond = parser.isSet(u"respond"_s);
    QVariantMap answer;
    QString error;
    if (respond) {
        if (!parseJsonObject(parser.value(u"respond"_s), answer, &error)) {
            diag(command, u"--respond is %1"_s.arg(error));
            return ExitNotJsonObject;
        }
        if (!answer.contains(u"_RESPONSE"_s))
            answer.insert(u"_RESPONSE"_s, true);
    }
    const EndpointOptions options = endpointOptions(parser, parser.positionalArguments().at(0));
    setLibraryLogLevels(true, options.verbose);

    ClientHost host(options, respond, [answer](const QVariantMap &message, QVariantMap &result) {
        printOut(toJsonLine(message));
        result = answer; // empty without --respond: nothing goes back
    });
    host.client()->setResponseTimeout(timeout);
    bool lost = false;
    QObject::connect(
        host.client(), &VelmoraIPCClient::disconnected, qApp,
        [&lost] {
            lost = true;
            QCoreApplication::exit(ExitNoConnection);
        },
        Qt::QueuedConnection);

    if (!host.connect()) {
        diag(command, u"cannot connect to \"%1\": no server listens there"_s.arg(options.name));
        return ExitNoConnection;
    }
    QVariantMap registration { { u"_REQUEST"_s, u"REGISTER"_s }, { u"_APPID"_s, appId },
        { u"_USERID"_s, userId } };
    QVariantMap registered;
    const SendOutcome outcome = clientSend(host, registration, registered);
    if (outcome != SendOutcome::Answered) {
        diag(
            command, u"registration as %1:%2: %3"_s.arg(appId, userId, describe(outcome, timeout)));
        return outcome == SendOutcome::NoAnswer      ? ExitNoAnswer
            : outcome == SendOutcome::ConnectionLost ? ExitNoConnection
                                                     : ExitFailure;
    }

    TerminationWatcher termination;
    QObject::connect(
        &termination, &TerminationWatcher::terminationRequested, qApp, [](int signalNumber) {
            diag(command, u"signal %1, disconnecting"_s.arg(signalNumber));
            QCoreApplication::exit(ExitOk);
        });

    diag(command,
        u"ready, registered as %1:%2 on \"%3\" (%4)"_s.arg(
            appId, userId, options.name, options.encrypt ? u"enciphered"_s : u"plain"_s));
    const int exitCode = QCoreApplication::exec();
    if (lost && exitCode == ExitNoConnection)
        diag(command, u"the server closed the connection"_s);
    else
        host.disconnect();
    return exitCode;
}

} // namespace Tool
