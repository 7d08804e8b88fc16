// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The wire layer against its baselines, at texts of 100 B, 1 KiB, 64 KiB and 1 MiB:
//   encryptText / decryptText  vs  bare BF_cbc_encrypt of the text's UTF-16 bytes
//   the stream decoder          vs  QJsonDocument::fromJson of the same texts
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true and compare
// medians; bytes_per_second counts the text's characters (the decoder: bytes on the wire).

// The bare cipher baseline calls the low-level Blowfish functions that OpenSSL 3 marks
// deprecated, as the cipher itself does.
#define OPENSSL_API_COMPAT 0x10101000L

#include "wire/framecipher_p.h"
#include "wire/framestream_p.h"
#include "wire/messagedecoder_p.h"

#include <QJsonDocument>
#include <QString>

#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>

#include <vector>

namespace {

// A JSON object of exactly \a chars ASCII characters, shaped like a message: reserved keys,
// then payload members with text values.
QString jsonText(qsizetype chars)
{
    QString text = QStringLiteral(
        "{\"_PROTOCOL\":\"velmora-bench\",\"_VERSION\":\"1.0\",\"_REQUEST\":\"STATUS\"");
    const QString value = QStringLiteral("lorem ipsum dolor sit amet, consectetur adipiscing");
    for (int member = 0; text.size() + 80 < chars; ++member)
        text += QStringLiteral(",\"k%1\":\"").arg(member) + value + QLatin1Char('"');
    // A last member sized so that the object ends at exactly \a chars.
    text += QStringLiteral(",\"pad\":\"");
    text += QString(qMax<qsizetype>(0, chars - text.size() - 2), QLatin1Char('x'));
    text += QStringLiteral("\"}");
    return text;
}

const BF_KEY &benchKey()
{
    static const BF_KEY key = [] {
        BF_KEY k;
        BF_set_key(&k, 32, cipherKey());
        return k;
    }();
    return key;
}

void setSize(benchmark::State &state, qsizetype bytes)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["bytes"] = double(bytes);
}

// encryptText of a text of state.range(0) characters (twice as many UTF-16 bytes).
void BM_EncryptText(benchmark::State &state)
{
    const QString text = jsonText(state.range(0));
    QString out;
    for (auto _ : state) {
        encryptText(text, out);
        benchmark::DoNotOptimize(out.constData());
    }
    setSize(state, text.size());
}

void BM_DecryptText(benchmark::State &state)
{
    const QString text = jsonText(state.range(0));
    QString cipher;
    encryptText(text, cipher);
    QString out;
    decryptText(cipher, out);
    if (out != text)
        state.SkipWithError("round trip failed");
    for (auto _ : state) {
        decryptText(cipher, out);
        benchmark::DoNotOptimize(out.constData());
    }
    setSize(state, text.size());
}

// The bare cipher of the same text's UTF-16 bytes (2 per character), with the key schedule
// made once: the floor encryptText and decryptText are measured against.
void BM_BareCipher(benchmark::State &state, int direction)
{
    const qsizetype bytes = (state.range(0) * 2 + 7) / 8 * 8;
    std::vector<unsigned char> in(size_t(bytes), 0x5a);
    std::vector<unsigned char> out(static_cast<size_t>(bytes));
    for (auto _ : state) {
        unsigned char iv[8] = { 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H' };
        BF_cbc_encrypt(in.data(), out.data(), long(bytes), &benchKey(), iv, direction);
        benchmark::DoNotOptimize(out.data());
    }
    setSize(state, state.range(0));
}

void BM_BareEncrypt(benchmark::State &state) { BM_BareCipher(state, BF_ENCRYPT); }

void BM_BareDecrypt(benchmark::State &state) { BM_BareCipher(state, BF_DECRYPT); }

// The stream decoder finding message ends in 4 MiB of back-to-back messages (at least one),
// fed in the connection's 1 MiB reads; range(1) picks plain (0) or framed (1) messages.
void BM_StreamDecoder(benchmark::State &state)
{
    const bool framed = state.range(1) != 0;
    const QByteArray message = encodeMessage(jsonText(state.range(0)), framed);
    QByteArray stream;
    while (stream.size() < 4 * 1024 * 1024 || stream.isEmpty())
        stream += message;
    constexpr qsizetype readSize = 1024 * 1024;
    MessageDecoder decoder;
    QByteArray bytes;
    MessageDecoder::Kind kind;
    qsizetype count = 0;
    for (auto _ : state) {
        for (qsizetype at = 0; at < stream.size(); at += readSize) {
            decoder.append(stream.constData() + at, qMin(readSize, stream.size() - at));
            while (decoder.next(bytes, kind))
                ++count;
        }
    }
    if (count != qsizetype(state.iterations()) * (stream.size() / message.size()))
        state.SkipWithError("wrong number of messages");
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.size());
    state.counters["bytes"] = double(message.size());
}

// Qt's JSON parser over the same texts, as UTF-8.
void BM_QJsonFromJson(benchmark::State &state)
{
    const QByteArray utf8 = jsonText(state.range(0)).toUtf8();
    for (auto _ : state) {
        QJsonDocument doc = QJsonDocument::fromJson(utf8);
        benchmark::DoNotOptimize(doc);
    }
    if (!QJsonDocument::fromJson(utf8).isObject())
        state.SkipWithError("not a JSON object");
    setSize(state, utf8.size());
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int64_t size : { 100, 1024, 64 * 1024, 1024 * 1024 })
        b->Arg(size);
}

void decoderSizes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({ "size", "framed" });
    for (int64_t framed : { 0, 1 }) {
        for (int64_t size : { 100, 1024, 64 * 1024, 1024 * 1024 })
            b->Args({ size, framed });
    }
}

} // namespace

BENCHMARK(BM_EncryptText)->Apply(sizes);
BENCHMARK(BM_BareEncrypt)->Apply(sizes);
BENCHMARK(BM_DecryptText)->Apply(sizes);
BENCHMARK(BM_BareDecrypt)->Apply(sizes);
BENCHMARK(BM_StreamDecoder)->Apply(decoderSizes);
BENCHMARK(BM_QJsonFromJson)->Apply(sizes);

BENCHMARK_MAIN();
