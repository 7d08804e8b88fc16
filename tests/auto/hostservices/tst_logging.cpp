// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The log facade as hosts see it: Qt messages of category "velmora.ipc", one message type per
// level, the call site in the message context, filtered by the usual logging rules.
#include "hostservices/logging_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

namespace {

struct Record
{
    QtMsgType type;
    QByteArray category;
    QByteArray file;
    int line;
    QString text;
};

// Keeps every message of our category with its context; others go on to QtTest's handler.
class ContextCapture
{
public:
    ContextCapture()
    {
        current = this;
        previous = qInstallMessageHandler(&ContextCapture::handle);
    }
    ~ContextCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    ContextCapture(const ContextCapture &) = delete;
    ContextCapture &operator=(const ContextCapture &) = delete;

    QList<Record> records() const
    {
        QMutexLocker lock(&mutex);
        return captured;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        ContextCapture *self = current;
        if (self && context.category && qstrcmp(context.category, "velmora.ipc") == 0) {
            QMutexLocker lock(&self->mutex);
            self->captured.append({ type, QByteArray(context.category), QByteArray(context.file),
                context.line, text });
            return;
        }
        if (self && self->previous)
            self->previous(type, context, text);
    }

    static inline ContextCapture *current = nullptr;
    mutable QMutex mutex;
    QList<Record> captured;
    QtMessageHandler previous = nullptr;
};

// A text whose building is counted, to see whether a call site built it.
QString countedText(int *built, const QString &text)
{
    ++*built;
    return text;
}

} // namespace

class tst_Logging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup();
    void levelsAsQtMessages_data();
    void levelsAsQtMessages();
    void filteredByLoggingRules_data();
    void filteredByLoggingRules();
    void callsFromManyThreads();
};

void tst_Logging::cleanup() { QLoggingCategory::setFilterRules(QString()); }

void tst_Logging::levelsAsQtMessages_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("type");

    QTest::newRow("0 connection life") << 0 << int(QtInfoMsg);
    QTest::newRow("1 trace") << 1 << int(QtDebugMsg);
    QTest::newRow("4 message failure") << 4 << int(QtWarningMsg);
    QTest::newRow("5 endpoint failure") << 5 << int(QtCriticalMsg);
}

void tst_Logging::levelsAsQtMessages()
{
    QFETCH(int, level);
    QFETCH(int, type);
    QLoggingCategory::setFilterRules(QStringLiteral("velmora.ipc.debug=true"));
    // Written as given: no quotes added, nothing escaped, no trailing space.
    const QString text =
        QStringLiteral("VelmoraIPCServer::start: listen to named pipe n\u00e4me \"q\" %2 ");
    ContextCapture capture;

    const int macroLine = __LINE__ + 1;
    VIPC_LOG(LOG_LEVEL(level), text);
    Logging::instance().LogMessage(LOG_LEVEL(level), "host/caller.cpp", 4711, text);

    const QList<Record> records = capture.records();
    QCOMPARE(records.size(), 2);
    for (const Record &record : records) {
        QCOMPARE(int(record.type), type);
        QCOMPARE(record.category, QByteArray("velmora.ipc"));
        QCOMPARE(record.text, text);
    }
    QCOMPARE(records.at(0).file, QByteArray(__FILE__));
    QCOMPARE(records.at(0).line, macroLine);
    QCOMPARE(records.at(1).file, QByteArray("host/caller.cpp"));
    QCOMPARE(records.at(1).line, 4711);
}

void tst_Logging::filteredByLoggingRules_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("written");

    QTest::newRow("no rules: 0 written") << QString() << 0 << true;
    QTest::newRow("no rules: 1 off") << QString() << 1 << false;
    QTest::newRow("no rules: 4 written") << QString() << 4 << true;
    QTest::newRow("no rules: 5 written") << QString() << 5 << true;
    QTest::newRow("debug on: 1 written") << QStringLiteral("velmora.ipc.debug=true") << 1 << true;
    QTest::newRow("wildcard debug on: 1 written")
        << QStringLiteral("velmora.*.debug=true") << 1 << true;
    QTest::newRow("other category on: 1 off")
        << QStringLiteral("velmora.ipc.other.debug=true") << 1 << false;
    QTest::newRow("info off: 0 off") << QStringLiteral("velmora.ipc.info=false") << 0 << false;
    QTest::newRow("warning off: 4 off")
        << QStringLiteral("velmora.ipc.warning=false") << 4 << false;
}

void tst_Logging::filteredByLoggingRules()
{
    QFETCH(QString, rules);
    QFETCH(int, level);
    QFETCH(bool, written);
    QLoggingCategory::setFilterRules(rules);
    ContextCapture capture;

    QCOMPARE(Logging::isEnabled(LOG_LEVEL(level)), written);
    int built = 0;
    VIPC_LOG(LOG_LEVEL(level), countedText(&built, QStringLiteral("macro")));
    Logging::instance().LogMessage(LOG_LEVEL(level), __FILE__, __LINE__, QStringLiteral("direct"));

    // A text that nobody will see is not even built.
    QCOMPARE(built, written ? 1 : 0);
    QStringList texts;
    for (const Record &record : capture.records())
        texts.append(record.text);
    const QStringList expected =
        written ? QStringList { QStringLiteral("macro"), QStringLiteral("direct") } : QStringList();
    QCOMPARE(texts, expected);
}

void tst_Logging::callsFromManyThreads()
{
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 500;
    ContextCapture capture;

    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([t] {
            for (int i = 0; i < linesPerThread; ++i)
                VIPC_LOG(LOG_INFO, QStringLiteral("thread %1 line %2").arg(t).arg(i));
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(30000));

    const QList<Record> records = capture.records();
    QCOMPARE(records.size(), threadCount * linesPerThread);
    // Each thread's lines arrive whole and in the order it wrote them.
    QList<int> next(threadCount, 0);
    for (const Record &record : records) {
        const QStringList words = record.text.split(QLatin1Char(' '));
        QCOMPARE(words.size(), 4);
        const int t = words.at(1).toInt();
        QCOMPARE(words.at(3).toInt(), next[t]++);
    }
}

int main(int argc, char **argv)
{
    // The defaults are part of what is tested; rules from the environment would override them.
    // They are read when the application object is made.
    qunsetenv("QT_LOGGING_RULES");
    qunsetenv("QT_LOGGING_CONF");
    QCoreApplication app(argc, argv);
    tst_Logging test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_logging.moc"
