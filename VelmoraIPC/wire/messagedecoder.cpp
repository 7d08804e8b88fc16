// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include "messagedecoder_p.h"

#include <array>
#include <cstring>

namespace {

constexpr char openBrace = '{';
constexpr char openBracket = '[';
constexpr char endMarker[] = "]]]]]";
constexpr qsizetype markerLength = 5;
// An empty buffer keeps its storage up to this size for the next read: reallocating it for
// every read costs more than the copies, but an idle connection should not hold megabytes.
constexpr qsizetype keptCapacityBytes = 256 * 1024;
// Past this size an unfinished message gets room up to the cap at once (see append()). Not
// lower: a reservation that large is always its own mapping, released and mapped afresh for
// every such message, and for messages of a few mebibytes the page faults of that fresh memory
// cost far more than the copies of ordinary growth (which the allocator recycles).
constexpr qsizetype reserveAllThreshold = 32 * 1024 * 1024;

// Byte classes of the plain scanner, one table each for outside and inside strings, so that the
// inner loops test a single table entry per byte.
struct Tables
{
    std::array<bool, 256> structural {}; // '"', '{', '}', '[', ']'
    std::array<bool, 256> stringSpecial {}; // '"', '\\'
    std::array<bool, 256> opener {}; // '{', '['
};

constexpr Tables makeTables()
{
    Tables t;
    for (unsigned char c : { '"', '{', '}', '[', ']' })
        t.structural[c] = true;
    for (unsigned char c : { '"', '\\' })
        t.stringSpecial[c] = true;
    t.opener['{'] = true;
    t.opener['['] = true;
    return t;
}

constexpr Tables tables = makeTables();

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

} // namespace

MessageDecoder::MessageDecoder(qsizetype maxMessageBytes) : cap(maxMessageBytes) { }

void MessageDecoder::append(const char *data, qsizetype size)
{
    // Growing the buffer step by step copies it each time, so for a moment a large unfinished
    // message would be held twice (a 128 MiB cap would cost 256 MiB). Past 32 MiB, room up to
    // the cap is reserved at once: the copy is then of those 32 MiB only, and the reserved
    // pages cost nothing until they are written.
    const qsizetype needed = buffer.size() + size;
    if (needed > buffer.capacity() && needed > reserveAllThreshold)
        buffer.reserve(qMax(needed, cap + size));
    buffer.append(data, size);
}

bool MessageDecoder::takeDroppedFlag() { return std::exchange(dropped, false); }

void MessageDecoder::compact()
{
    if (start == 0)
        return;
    if (start >= buffer.size()) {
        if (buffer.capacity() > keptCapacityBytes)
            buffer.clear();
        else
            buffer.truncate(0);
    } else {
        // Move the rest to the front of the same storage. QByteArray::remove() at the front
        // only advances the data pointer, and the appends that follow then reallocate and
        // grow the storage over and over, touching fresh memory each time.
        const qsizetype rest = buffer.size() - start;
        char *data = buffer.data();
        std::memmove(data, data + start, size_t(rest));
        buffer.truncate(rest);
    }
    scanPos -= start;
    start = 0;
}

// Scans from scanPos for the end of the message under way. On success \a end is one past its
// last byte. Otherwise scanPos is left where scanning must resume.
bool MessageDecoder::scan(qsizetype &end)
{
    const auto *p = reinterpret_cast<const unsigned char *>(buffer.constData());
    const qsizetype n = buffer.size();
    qsizetype i = scanPos;

    switch (state) {
    case State::Frame: {
        // Base64 holds no ']', so the first run of five closes the frame.
        while (i < n) {
            const void *hit = std::memchr(p + i, ']', size_t(n - i));
            if (!hit) {
                i = n;
                break;
            }
            i = static_cast<const unsigned char *>(hit) - p;
            if (n - i < markerLength) {
                break; // a marker may be cut at the end of the read
            }
            if (std::memcmp(p + i, endMarker, markerLength) == 0) {
                end = i + markerLength;
                return true;
            }
            ++i;
        }
        // scanPos began right after the start marker and only moves forward.
        scanPos = qMax(scanPos, qMin(i, n - (markerLength - 1)));
        return false;
    }
    case State::Plain: {
        if (escape && i < n) {
            escape = false;
            ++i;
        }
        while (i < n) {
            if (inString) {
                while (i < n && !tables.stringSpecial[p[i]])
                    ++i;
                if (i == n)
                    break;
                if (p[i] == '\\') {
                    if (i + 1 == n) {
                        escape = true;
                        i = n;
                        break;
                    }
                    i += 2;
                    continue;
                }
                inString = false;
                ++i;
            } else {
                while (i < n && !tables.structural[p[i]])
                    ++i;
                if (i == n)
                    break;
                const unsigned char c = p[i++];
                if (c == '"') {
                    inString = true;
                } else if (c == '{' || c == '[') {
                    ++depth;
                } else if (--depth == 0) {
                    end = i;
                    return true;
                }
            }
        }
        scanPos = n;
        return false;
    }
    case State::Garbage:
        while (i < n && !tables.opener[p[i]])
            ++i;
        // Garbage is handed over as far as it goes now; it is never kept waiting for more.
        end = i;
        return true;
    case State::Between:
        break;
    }
    return false;
}

bool MessageDecoder::next(QByteArray &message, Kind &outKind)
{
    for (;;) {
        const qsizetype n = buffer.size();
        if (state == State::Between) {
            while (start < n && isSpace(buffer.at(start)))
                ++start;
            if (start == n) {
                compact();
                return false;
            }
            const char c = buffer.at(start);
            depth = 0;
            inString = false;
            escape = false;
            scanPos = start;
            if (c == openBrace) {
                state = State::Plain;
                kind = Kind::Plain;
            } else if (c == openBracket) {
                qsizetype k = 1;
                while (k < markerLength && start + k < n && buffer.at(start + k) == openBracket)
                    ++k;
                if (k == markerLength) {
                    state = State::Frame;
                    kind = Kind::Frame;
                    scanPos = start + markerLength;
                } else if (start + k == n) {
                    compact(); // could still become a start marker
                    return false;
                } else {
                    state = State::Plain;
                    kind = Kind::Plain;
                }
            } else {
                state = State::Garbage;
                kind = Kind::Garbage;
            }
        }

        qsizetype end = 0;
        if (!scan(end)) {
            if (!discarding && n - start > cap) {
                discarding = true;
                dropped = true;
            }
            if (discarding) {
                // Keep only what the scanner still needs: the tail that may hold the start of
                // an end marker. The plain scanner's state lives in its members.
                const qsizetype keep =
                    state == State::Frame ? qMin(n - start, markerLength - 1) : 0;
                const qsizetype newStart = n - keep;
                start = newStart;
                scanPos = newStart;
            }
            compact();
            return false;
        }

        state = State::Between;
        if (discarding) {
            discarding = false;
            start = end;
            continue;
        }
        // A message over the cap that arrived in one piece, or whose last unfinished part was
        // just under it, is dropped all the same: the outcome must not depend on how the
        // bytes were cut into reads.
        if (end - start > cap) {
            dropped = true;
            start = end;
            continue;
        }
        if (start == 0 && end == n) {
            // The buffer holds just this message: hand its storage over rather than copy it.
            message = std::move(buffer);
            buffer = QByteArray();
            scanPos = 0;
        } else {
            message = buffer.mid(start, end - start);
            start = end;
        }
        outKind = kind;
        return true;
    }
}
