// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcVelmoraIpc)

// Level values the library passes; the numbers are fixed because hosts filter on them.
enum LOG_LEVEL {
    LOG_INFO = 0, // connection life
    LOG_TRACE = 1, // start-up steps and message traces
    LOG_WARNING = 4, // failures with one message or one request
    LOG_CRITICAL = 5, // the endpoint cannot be created or listened on
};

// The suite's log sink, written as a thin layer over Qt's logging so that hosts see our lines
// where they see all their others: category "velmora.ipc", level 0 as info, 1 as debug (off
// unless "velmora.ipc.debug=true"), 4 as warning, 5 as critical.
class Logging
{
public:
    static Logging &instance();

    void LogMessage(LOG_LEVEL level, const char *file, const int &line, const QString &text);

    // Whether a line of this level would be written; lets call sites skip building the text.
    static bool isEnabled(LOG_LEVEL level);

private:
    Logging() = default;
};

// Builds the text only when the line will be written, and passes the call site.
#define VIPC_LOG(level, text)                                                                      \
    do {                                                                                           \
        if (Logging::isEnabled(level))                                                             \
            Logging::instance().LogMessage(level, __FILE__, __LINE__, (text));                     \
    } while (false)
