// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// velmora-ipc: runs, pokes and measures the VelmoraIPC local message channel.
#include "common.h"

#include <QCoreApplication>

#include <cstdio>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Command
{
    const char *name;
    int (*run)(const QStringList &);
    const char *summary; // nullptr: internal, not listed
};

const Command commands[] = {
    { "demo", &Tool::runDemo,
        "Runs a server and three clients in this process and prints what travelled." },
    { "serve", &Tool::runServe,
        "Hosts a server; prints dispatched messages, takes commands on standard input." },
    { "request", &Tool::runRequest,
        "Makes one blocking request to a server and prints the answer." },
    { "listen", &Tool::runListen, "Registers with a server and prints every message it sends." },
    { "bench", &Tool::runBench,
        "Measures latency and throughput against a raw local-socket baseline." },
    // Peers that bench starts, as processes of this same program.
    { "__bench-server", &Tool::runBenchServer, nullptr },
    { "__bench-client", &Tool::runBenchClient, nullptr },
    { "__bench-raw-server", &Tool::runBenchRawServer, nullptr },
    { "__bench-raw-client", &Tool::runBenchRawClient, nullptr },
};

void printUsage(FILE *stream)
{
    QString text = u"Usage: velmora-ipc <command> [options] [arguments]\n\n"
                   "Runs, pokes and measures the VelmoraIPC local message channel.\n\n"
                   "Commands:\n"_s;
    for (const Command &command : commands) {
        if (command.summary)
            text += u"  %1  %2\n"_s.arg(QLatin1StringView(command.name), -8)
                        .arg(QLatin1StringView(command.summary));
    }
    text += u"\nOptions:\n"
            "  -h, --help     Shows this help.\n"
            "  -v, --version  Shows the version.\n\n"
            "'velmora-ipc <command> --help' describes a command.\n"
            "Exit codes: 0 success, 1 failure, 2 bad arguments, 3 cannot connect (or connection "
            "lost),\n"
            "4 no answer within the time limit, 5 input that is not a JSON object.\n"_s;
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"velmora-ipc"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORAIPC_VERSION_STRING));
    Tool::installLogHandler();

    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        printUsage(stderr);
        return Tool::ExitUsage;
    }
    const QString first = arguments.at(1);
    if (first == u"-h" || first == u"--help" || first == u"help") {
        printUsage(stdout);
        return Tool::ExitOk;
    }
    if (first == u"-v" || first == u"--version") {
        std::printf("velmora-ipc %s\n", VELMORAIPC_VERSION_STRING);
        return Tool::ExitOk;
    }
    for (const Command &command : commands) {
        if (first == QLatin1StringView(command.name)) {
            if (!command.summary) {
                // A bench peer ends with the bench, even when the bench is killed.
                const pid_t parent = ::getppid();
                ::prctl(PR_SET_PDEATHSIG, SIGTERM);
                if (::getppid() != parent)
                    return Tool::ExitFailure;
            }
            arguments.removeAt(1);
            return command.run(arguments);
        }
    }
    Tool::printErr(first.startsWith(u'-')
            ? u"velmora-ipc: unknown option \"%1\" (a command comes first)"_s.arg(first)
            : u"velmora-ipc: unknown command \"%1\""_s.arg(first));
    Tool::printErr(u"Try 'velmora-ipc --help'."_s);
    return Tool::ExitUsage;
}
