// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QByteArray>

// Finds where messages end in the byte stream of one connection. The wire carries no length
// field, so a frame is whole at its end marker "]]]]]" and a plain message when the JSON object
// or array it opens is closed (braces and brackets inside strings do not count). Bytes that
// cannot start a message (anything before the next '{' or '[') are handed over as one piece of
// their own, so the caller rejects them and they never hold up what follows.
//
// Scanning resumes where the last call stopped, so a message that arrives in many reads is
// scanned once. A message longer than maxMessageBytes is dropped however its bytes arrive:
// once its unfinished part passes the cap it is skipped to its end without being kept, it is
// reported once as dropped, and the messages after it still come out. So the buffer never
// holds more than the cap plus one appended piece.
class MessageDecoder
{
public:
    enum class Kind { Frame, Plain, Garbage };

    static constexpr qsizetype defaultMaxMessageBytes = qsizetype(128) * 1024 * 1024;

    explicit MessageDecoder(qsizetype maxMessageBytes = defaultMaxMessageBytes);

    void append(const char *data, qsizetype size);
    void append(const QByteArray &bytes) { append(bytes.constData(), bytes.size()); }

    // Takes the next whole message. Returns false when none is whole yet.
    bool next(QByteArray &message, Kind &kind);

    // Set when a message over the cap began to be skipped since the last call; cleared by
    // the call.
    bool takeDroppedFlag();

    // Bytes kept for the message under way (and any whole ones not yet taken).
    qsizetype bufferedBytes() const { return buffer.size() - start; }
    qsizetype maxMessageBytes() const { return cap; }
    // Applies from the next append on; a message already being skipped stays dropped.
    void setMaxMessageBytes(qsizetype maxBytes) { cap = maxBytes; }

private:
    enum class State { Between, Frame, Plain, Garbage };

    bool scan(qsizetype &end);
    void compact();

    QByteArray buffer;
    qsizetype start = 0; // first byte of the message under way
    qsizetype scanPos = 0; // where scanning resumes
    qsizetype cap;
    State state = State::Between;
    Kind kind = Kind::Plain;
    qsizetype depth = 0;
    bool inString = false;
    bool escape = false;
    bool discarding = false; // the message under way is over the cap and is being skipped
    bool dropped = false;
};
