// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// velmora-ipc request NAME JSON: one blocking request, the answer on standard output.
#include "common.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

namespace Tool {

namespace {
    const QString command = u"request"_s;
} // namespace

int runRequest(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Connects to the server NAME, optionally registers, sends the JSON object as one "
        "blocking request and prints the answer as one JSON line.\n"
        "The server answers messages that hold _REQUEST or _COMMAND; others get no answer "
        "and end at the time limit.\n"
        "Exit codes: 0 answered, 2 bad arguments, 3 cannot connect (or connection lost), "
        "4 no answer within the time limit, 5 JSON is not an object, 1 other failures."_s);
    parser.addPositionalArgument(u"name"_s, u"Endpoint name of the server."_s);
    parser.addPositionalArgument(
        u"json"_s, u"The message, a JSON object, e.g. '{\"_REQUEST\":\"PING\"}'."_s);
    parser.addOption({ u"register"_s,
        u"Registers first as APP:USER (a REGISTER request with _APPID and _USERID)."_s,
        u"APP:USER"_s });
    parser.addOption({ u"timeout"_s,
        u"How long to wait for each answer, in milliseconds (default 25000)."_s, u"ms"_s });
    addEndpointOptions(parser);
    const int parsed = parseCommandLine(parser, command, u"<name> <json>"_s, arguments, 2, 2);
    if (parsed >= 0)
        return parsed;

    const QStringList positional = parser.positionalArguments();
    int timeout = 25000;
    if (!intOption(parser, command, u"timeout"_s, 0, 24 * 3600 * 1000, &timeout))
        return ExitUsage;
    QString appId, userId;
    if (parser.isSet(u"register"_s)
        && !parseClientId(parser.value(u"register"_s), &appId, &userId)) {
        diag(command,
            u"--register wants APP:USER with both parts non-empty, not \"%1\""_s.arg(
                parser.value(u"register"_s)));
        return ExitUsage;
    }
    QVariantMap message;
    QString error;
    if (!parseJsonObject(positional.at(1), message, &error)) {
        diag(command, u"the message is %1"_s.arg(error));
        return ExitNotJsonObject;
    }
    if (!message.contains(u"_REQUEST"_s) && !message.contains(u"_COMMAND"_s)) {
        diag(command,
            u"note: the message holds neither _REQUEST nor _COMMAND, which the server "
            "does not answer; waiting up to %1 ms"_s.arg(timeout));
    }

    const EndpointOptions options = endpointOptions(parser, positional.at(0));
    setLibraryLogLevels(true, options.verbose);
    // Messages that the server posts or broadcasts meanwhile reach this handler; they are not
    // the answer, so they go to standard error.
    ClientHost host(options, false, [](const QVariantMap &received, QVariantMap &) {
        diag(command, u"received (not the answer): "_s + toJsonLine(received));
    });
    host.client()->setResponseTimeout(timeout);
    if (!host.connect()) {
        diag(command, u"cannot connect to \"%1\": no server listens there"_s.arg(options.name));
        return ExitNoConnection;
    }

    if (!appId.isEmpty()) {
        QVariantMap registration { { u"_REQUEST"_s, u"REGISTER"_s }, { u"_APPID"_s, appId },
            { u"_USERID"_s, userId } };
        QVariantMap answer;
        const SendOutcome outcome = clientSend(host, registration, answer);
        if (outcome != SendOutcome::Answered) {
            diag(command,
                u"registration as %1:%2: %3"_s.arg(appId, userId, describe(outcome, timeout)));
            return outcome == SendOutcome::NoAnswer      ? ExitNoAnswer
                : outcome == SendOutcome::ConnectionLost ? ExitNoConnection
                                                         : ExitFailure;
        }
        if (options.verbose)
            diag(command,
                u"registered as %1:%2, answer %3"_s.arg(appId, userId, toJsonLine(answer)));
    }

    QVariantMap response;
    QString detail;
    const SendOutcome outcome = clientSend(host, message, response, &detail);
    host.disconnect();
    switch (outcome) {
    case SendOutcome::Answered:
        printOut(toJsonLine(response));
        return ExitOk;
    case SendOutcome::NoAnswer:
        diag(command, describe(outcome, timeout));
        return ExitNoAnswer;
    case SendOutcome::ConnectionLost:
        diag(command, describe(outcome, timeout));
        return ExitNoConnection;
    case SendOutcome::BadAnswer:
    case SendOutcome::UnknownClient:
        break;
    }
    diag(command, describe(outcome, timeout) + u": "_s + detail);
    return ExitFailure;
}

} // namespace Tool
