// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The stream decoder under random chunking. The input is the byte stream itself (so the seeds
// are real plain and framed messages). A plain byte-at-a-time model of the message boundaries
// finds the places where a message may start; a small canary message, plain or framed, is put
// at each of them, so every input carries whole messages embedded in whatever noise it holds.
// The decoder, fed in random chunks with a small cap, must hand over exactly the model's
// messages in order (a message over the cap may be dropped, nothing else), every canary among
// them, and never keep more than the cap buffered.
#include "wire/framestream_p.h"
#include "wire/messagedecoder_p.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Kind = MessageDecoder::Kind;

struct Token
{
    Kind kind;
    size_t begin;
    size_t end;
};

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The reference: where messages end in the whole stream, one byte at a time. Tokens that are
// not finished when the stream ends are left out.
std::vector<Token> modelTokens(const std::string &s)
{
    std::vector<Token> tokens;
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        while (i < n && isSpace(s[i]))
            ++i;
        if (i == n)
            break;
        const size_t b = i;
        const char c = s[b];
        if (c == '[') {
            size_t k = 1;
            while (k < 5 && b + k < n && s[b + k] == '[')
                ++k;
            if (k == 5) {
                const size_t close = s.find("]]]]]", b + 5);
                if (close == std::string::npos)
                    break;
                tokens.push_back({ Kind::Frame, b, close + 5 });
                i = close + 5;
                continue;
            }
            if (b + k == n)
                break; // may still become a start marker
        }
        if (c == '{' || c == '[') {
            long depth = 0;
            bool inString = false;
            size_t end = 0;
            for (size_t j = b; j < n; ++j) {
                const char ch = s[j];
                if (inString) {
                    if (ch == '\\')
                        ++j;
                    else if (ch == '"')
                        inString = false;
                    continue;
                }
                if (ch == '"') {
                    inString = true;
                } else if (ch == '{' || ch == '[') {
                    ++depth;
                } else if ((ch == '}' || ch == ']') && --depth == 0) {
                    end = j + 1;
                    break;
                }
            }
            if (end == 0)
                break;
            tokens.push_back({ Kind::Plain, b, end });
            i = end;
            continue;
        }
        size_t e = b;
        while (e < n && s[e] != '{' && s[e] != '[')
            ++e;
        tokens.push_back({ Kind::Garbage, b, e });
        i = e;
    }
    return tokens;
}

std::string canary(int index)
{
    const QString json = QStringLiteral("{\"_canary\":%1}").arg(index);
    if (index % 2 == 0)
        return json.toStdString();
    QString frame;
    packMessage(json, frame);
    return frame.toStdString();
}

uint64_t fnv1a(const uint8_t *data, size_t size)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_messagedecoder: %s\n", what);
    std::abort();
}

struct Message
{
    Kind kind;
    std::string bytes;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string noise(reinterpret_cast<const char *>(data), size);

    // Canaries go where the model is between messages: at the start and after every token.
    std::vector<size_t> boundaries { 0 };
    for (const Token &t : modelTokens(noise))
        boundaries.push_back(t.end);
    constexpr size_t maxCanaries = 64;
    std::string stream;
    std::vector<std::string> canaries;
    size_t from = 0;
    for (size_t k = 0; k < boundaries.size() && k < maxCanaries; ++k) {
        stream.append(noise, from, boundaries[k] - from);
        from = boundaries[k];
        canaries.push_back(canary(int(k)));
        stream += canaries.back();
    }
    stream.append(noise, from, std::string::npos);

    std::vector<Message> expected;
    for (const Token &t : modelTokens(stream)) {
        if (t.kind != Kind::Garbage)
            expected.push_back({ t.kind, stream.substr(t.begin, t.end - t.begin) });
    }
    // The canaries must come out of the model itself in order; otherwise the harness is wrong.
    {
        size_t c = 0;
        for (const Message &m : expected) {
            if (c < canaries.size() && m.bytes == canaries[c])
                ++c;
        }
        if (c != canaries.size())
            fail("harness: canary lost by the model");
    }

    const uint64_t h = fnv1a(data, size);
    const qsizetype cap =
        (h & 1) ? MessageDecoder::defaultMaxMessageBytes : qsizetype(64 + (h >> 1) % 4033);
    std::minstd_rand rng(uint32_t(h >> 32) | 1u);

    MessageDecoder decoder(cap);
    std::vector<Message> actual;
    auto drain = [&] {
        QByteArray bytes;
        Kind kind;
        while (decoder.next(bytes, kind)) {
            if (kind == Kind::Garbage) {
                if (bytes.isEmpty() || bytes.contains('{') || bytes.contains('['))
                    fail("garbage piece that is empty or holds a message start");
                continue;
            }
            actual.push_back({ kind, bytes.toStdString() });
        }
        decoder.takeDroppedFlag();
        if (decoder.bufferedBytes() > cap)
            fail("more than the cap kept for an unfinished message");
    };
    size_t pos = 0;
    while (pos < stream.size()) {
        const uint32_t r = uint32_t(rng());
        size_t len = (r % 4 == 0) ? 1 + (r >> 2) % 4096 : (r >> 2) % 17;
        len = std::min(len, stream.size() - pos);
        decoder.append(stream.data() + pos, qsizetype(len));
        pos += len;
        drain();
    }
    drain();

    // Same messages, same order, each once; only a message over the cap may be missing.
    size_t a = 0;
    for (const Message &m : expected) {
        if (a < actual.size() && actual[a].kind == m.kind && actual[a].bytes == m.bytes) {
            ++a;
            continue;
        }
        if (qsizetype(m.bytes.size()) <= cap)
            fail("a whole message under the cap was not handed over");
    }
    if (a != actual.size())
        fail("a message was handed over that the stream does not hold");
    return 0;
}
