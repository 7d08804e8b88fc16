// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "logging_p.h"

#include <QMessageLogger>

Q_LOGGING_CATEGORY(lcVelmoraIpc, "velmora.ipc", QtInfoMsg)

Logging &Logging::instance()
{
    static Logging logging;
    return logging;
}

static QtMsgType msgType(LOG_LEVEL level)
{
    switch (level) {
    case LOG_INFO:
        return QtInfoMsg;
    case LOG_TRACE:
        return QtDebugMsg;
    case LOG_WARNING:
        return QtWarningMsg;
    case LOG_CRITICAL:
        return QtCriticalMsg;
    }
    return QtWarningMsg;
}

bool Logging::isEnabled(LOG_LEVEL level) { return lcVelmoraIpc().isEnabled(msgType(level)); }

void Logging::LogMessage(LOG_LEVEL level, const char *file, const int &line, const QString &text)
{
    const QLoggingCategory &category = lcVelmoraIpc();
    const QtMsgType type = msgType(level);
    if (!category.isEnabled(type))
        return;
    QMessageLogger logger(file, line, nullptr, category.categoryName());
    switch (type) {
    case QtDebugMsg:
        logger.debug().noquote() << text;
        break;
    case QtInfoMsg:
        logger.info().noquote() << text;
        break;
    case QtCriticalMsg:
        logger.critical().noquote() << text;
        break;
    default:
        logger.warning().noquote() << text;
        break;
    }
}
