// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The server's read path as a whole. A live server (its own thread, a recording handler in
// another) takes the input as bytes on a fresh connection, written in random pieces. What the
// server must do with them is worked out beforehand from the same stream decoding and JSON
// rules: every whole message that parses and holds _REQUEST or _COMMAND reaches the handler once
// and is answered on that connection, and nothing else reaches the handler. Afterwards a second,
// long-lived connection must still be answered, and the fuzzed connection must leave the
// server's records when it goes. A hang fails the input (abort after a time limit).
#include <VelmoraIPC/VelmoraIPC.h>

#include "hostservices/velmorautil_p.h"
#include "messaging/protocol_p.h"
#include "wire/framestream_p.h"
#include "wire/messagedecoder_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QStringDecoder>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

// Connections end through deferred deletion in the server's thread, after the input that made
// them has returned; libFuzzer's per-input leak check would count them as leaks.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }

namespace {

constexpr int timeLimitMsecs = 10000;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_serverreadpath: %s\n", what);
    std::abort();
}

class CountingHandler : public IPCMessageHandler
{
public:
    void processIPCMessage(const QVariantMap &message, QVariantMap &result) override
    {
        const int n = ++count;
        result.insert(QStringLiteral("_ANSWER"), n);
        result.insert(QStringLiteral("seq"), message.value(QStringLiteral("seq")));
    }
    std::atomic<int> count { 0 };
};

struct Fixture
{
    QThread serverThread;
    QThread handlerThread;
    CountingHandler handler;
    VelmoraIPCServer *server = nullptr;
    QString name;
    QLocalSocket *probe = nullptr; // the long-lived connection, in the fuzzing thread
    MessageDecoder probeDecoder;
    int probeSeq = 0;
};

Fixture *fixture = nullptr;

void quietLog(QtMsgType, const QMessageLogContext &, const QString &) { }

int connections()
{
    int n = 0;
    QMetaObject::invokeMethod(
        fixture->server, [&n] { n = fixture->server->connections(); },
        Qt::BlockingQueuedConnection);
    return n;
}

// The messages the server must dispatch from this stream, by the decoding rules of the wire.
int expectedDispatches(const QByteArray &stream)
{
    MessageDecoder decoder;
    decoder.append(stream);
    QByteArray bytes;
    MessageDecoder::Kind kind;
    int n = 0;
    while (decoder.next(bytes, kind)) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = utf8.decode(bytes);
        if (utf8.hasError() || bytes.contains('\0'))
            continue;
        if (kind == MessageDecoder::Kind::Frame) {
            QString plain;
            unpackMessage(text, plain);
            text = plain;
        }
        QVariantMap map;
        if (VelmoraUtil::JsonToQVariantMap(text, map) && isDispatched(map))
            ++n;
    }
    return n;
}

// Reads whole messages from \a socket until \a wanted have come; aborts on a hang.
QList<QByteArray> readAnswers(QLocalSocket *socket, MessageDecoder &decoder, int wanted)
{
    QList<QByteArray> answers;
    QDeadlineTimer deadline(timeLimitMsecs);
    for (;;) {
        QByteArray bytes;
        MessageDecoder::Kind kind;
        while (decoder.next(bytes, kind))
            answers.append(bytes);
        if (answers.size() >= wanted)
            return answers;
        if (deadline.hasExpired())
            fail("answers did not come in time");
        if (socket->bytesAvailable() <= 0
            && !socket->waitForReadyRead(int(deadline.remainingTime())))
            fail("connection lost or no answer in time");
        decoder.append(socket->readAll());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quietLog);
    new QCoreApplication(*argc, *argv);
    fixture = new Fixture;
    fixture->name = QStringLiteral("velmora-fuzz-%1").arg(QCoreApplication::applicationPid());
    fixture->serverThread.start();
    fixture->handlerThread.start();
    fixture->handler.moveToThread(&fixture->handlerThread);
    fixture->server = new VelmoraIPCServer(fixture->name, QStringLiteral("fuzz"),
        QStringLiteral("1"), &fixture->handler, false, false);
    fixture->server->moveToThread(&fixture->serverThread);
    QMetaObject::invokeMethod(
        fixture->server, &VelmoraIPCServer::start, Qt::BlockingQueuedConnection);

    fixture->probe = new QLocalSocket;
    fixture->probe->connectToServer(fixture->name);
    if (!fixture->probe->waitForConnected(timeLimitMsecs))
        fail("probe connection failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1024 * 1024)
        return -1;
    const QByteArray stream(reinterpret_cast<const char *>(data), qsizetype(size));
    const int expected = expectedDispatches(stream);
    const int before = fixture->handler.count.load();

    QLocalSocket socket;
    socket.connectToServer(fixture->name);
    if (!socket.waitForConnected(timeLimitMsecs))
        fail("connection failed");
    std::minstd_rand rng(uint32_t(size) * 2654435761u + (size ? data[0] : 0u));
    for (qsizetype pos = 0; pos < stream.size();) {
        const qsizetype len = qMin<qsizetype>(1 + qsizetype(rng() % 512), stream.size() - pos);
        socket.write(stream.constData() + pos, len);
        pos += len;
        while (socket.bytesToWrite() > 0) {
            if (!socket.waitForBytesWritten(timeLimitMsecs))
                fail("write did not complete");
        }
    }

    MessageDecoder decoder;
    const QList<QByteArray> answers = readAnswers(&socket, decoder, expected);
    if (answers.size() != expected)
        fail("more answers than dispatched messages");
    for (const QByteArray &answer : answers) {
        QVariantMap map;
        if (!VelmoraUtil::JsonToQVariantMap(QString::fromUtf8(answer), map)
            || !map.contains(QStringLiteral("_ANSWER")))
            fail("an answer that is not the handler's result");
    }

    // The server still serves others; and every dispatch so far has been counted exactly once.
    const int seq = ++fixture->probeSeq;
    fixture->probe->write(QStringLiteral("{\"_REQUEST\":\"PING\",\"seq\":%1}").arg(seq).toUtf8());
    const QList<QByteArray> pong = readAnswers(fixture->probe, fixture->probeDecoder, 1);
    QVariantMap map;
    if (pong.size() != 1 || !VelmoraUtil::JsonToQVariantMap(QString::fromUtf8(pong.first()), map)
        || map.value(QStringLiteral("seq")).toInt() != seq)
        fail("the probe connection was not answered");
    if (fixture->handler.count.load() - before != expected + 1)
        fail("the handler saw a different number of messages than the stream holds");

    socket.abort();
    QDeadlineTimer deadline(timeLimitMsecs);
    while (connections() != 1) {
        if (deadline.hasExpired())
            fail("the fuzzed connection stays in the server's records");
        QThread::usleep(200);
    }
    return 0;
}
