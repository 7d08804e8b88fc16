// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers

// OpenSSL 3 marks the low-level Blowfish functions deprecated; they are still what the wire
// format is defined by, so this file alone asks for the 1.1.1 API.
#define OPENSSL_API_COMPAT 0x10101000L

#include "framecipher_p.h"

#include <QVarLengthArray>

#include <openssl/blowfish.h>

#include <array>
#include <cstring>

namespace {

// Every process that talks on the channel must use the same key and IV: changing either breaks
// compatibility with every deployed peer. The key is not a secret (it is in every binary); the
// cipher only keeps messages from casual reading.
constexpr char keyText[] = "V3lm0raIPCk9Qz7TxW2pLb8HsN4cRd6F";
static_assert(sizeof(keyText) - 1 == 32, "the cipher key is 32 bytes");
constexpr unsigned char ivBase = 0x41;
constexpr unsigned char padByte = 0x30;
constexpr int blockSize = 8;

void buildIv(unsigned char iv[blockSize])
{
    for (int i = 0; i < blockSize; ++i)
        iv[i] = static_cast<unsigned char>(ivBase + i);
}

// The key schedule is derived once and only read afterwards: deriving it costs more than
// enciphering a kilobyte, and the result is the same on every call.
const BF_KEY &keySchedule()
{
    static const BF_KEY schedule = [] {
        BF_KEY key;
        BF_set_key(&key, 32, cipherKey());
        return key;
    }();
    return schedule;
}

constexpr char base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each byte in the base64 alphabet, -1 for every other byte.
struct Base64Table
{
    std::array<signed char, 256> value {};
};

constexpr Base64Table makeBase64Table()
{
    Base64Table t;
    for (auto &v : t.value)
        v = -1;
    for (int i = 0; i < 64; ++i)
        t.value[static_cast<unsigned char>(base64Alphabet[i])] = static_cast<signed char>(i);
    return t;
}

constexpr Base64Table base64Table = makeBase64Table();

// Base64 decoding that skips every byte outside the alphabet (line breaks, '=', the zero high
// bytes of UTF-16) and drops a trailing remainder of fewer than 8 bits. Each code unit counts
// as two bytes, low first. \a out must hold 3 bytes for every 2 code units, plus 2.
qsizetype decodeBase64Lenient(const QString &text, unsigned char *out)
{
    const auto &value = base64Table.value;
    quint32 bits = 0;
    int bitCount = 0;
    qsizetype m = 0;
    const auto *p = reinterpret_cast<const char16_t *>(text.utf16());
    const char16_t *const end = p + text.size();
    while (p != end) {
        // What a peer sends is plain base64, four ASCII characters to three bytes: take them
        // four at a time while nothing else is in the way and no bits are pending.
        if (bitCount == 0) {
            while (end - p >= 4 && (p[0] | p[1] | p[2] | p[3]) < 0x80) {
                const int v0 = value[p[0]];
                const int v1 = value[p[1]];
                const int v2 = value[p[2]];
                const int v3 = value[p[3]];
                if ((v0 | v1 | v2 | v3) < 0)
                    break;
                const quint32 group =
                    quint32(v0) << 18 | quint32(v1) << 12 | quint32(v2) << 6 | quint32(v3);
                out[m] = static_cast<unsigned char>(group >> 16);
                out[m + 1] = static_cast<unsigned char>(group >> 8);
                out[m + 2] = static_cast<unsigned char>(group);
                m += 3;
                p += 4;
            }
            if (p == end)
                break;
        }
        // Anything else, one code unit (two bytes) at a time. The high byte of an ASCII
        // character is zero and is skipped like any other byte outside the alphabet.
        const char16_t c = *p++;
        for (const unsigned char b :
            { static_cast<unsigned char>(c & 0xff), static_cast<unsigned char>(c >> 8) }) {
            const int v = value[b];
            if (v < 0)
                continue;
            bits = (bits << 6) | quint32(v);
            bitCount += 6;
            if (bitCount >= 8) {
                bitCount -= 8;
                out[m++] = static_cast<unsigned char>((bits >> bitCount) & 0xff);
            }
        }
    }
    return m;
}

// Standard base64 with '=' fill, written straight into \a out as UTF-16.
void encodeBase64(const unsigned char *in, qsizetype size, QString &out)
{
    out.resize((size + 2) / 3 * 4);
    char16_t *dst = reinterpret_cast<char16_t *>(out.data());
    qsizetype i = 0;
    for (; size - i >= 3; i += 3) {
        const quint32 group = quint32(in[i]) << 16 | quint32(in[i + 1]) << 8 | quint32(in[i + 2]);
        dst[0] = char16_t(base64Alphabet[group >> 18]);
        dst[1] = char16_t(base64Alphabet[(group >> 12) & 63]);
        dst[2] = char16_t(base64Alphabet[(group >> 6) & 63]);
        dst[3] = char16_t(base64Alphabet[group & 63]);
        dst += 4;
    }
    if (size - i > 0) {
        const bool two = size - i == 2;
        const quint32 group = quint32(in[i]) << 16 | (two ? quint32(in[i + 1]) << 8 : 0u);
        dst[0] = char16_t(base64Alphabet[group >> 18]);
        dst[1] = char16_t(base64Alphabet[(group >> 12) & 63]);
        dst[2] = two ? char16_t(base64Alphabet[(group >> 6) & 63]) : u'=';
        dst[3] = u'=';
    }
}

} // namespace

const unsigned char *cipherKey() { return reinterpret_cast<const unsigned char *>(keyText); }

void encryptText(const QString &text, QString &out)
{
    const qsizetype bytes = text.size() * 2;
    const qsizetype padded = (bytes + blockSize - 1) / blockSize * blockSize;
    if (padded == 0) {
        out.clear();
        return;
    }
    QVarLengthArray<unsigned char, 8192> buffer(padded);
    // QString holds UTF-16 in host order; on the little-endian machines we build for that is
    // already UTF-16LE, elsewhere it is swapped unit by unit.
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        std::memcpy(buffer.data(), text.utf16(), size_t(bytes));
    } else {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = char16_t(text.utf16()[i]);
            buffer[2 * i] = static_cast<unsigned char>(c & 0xff);
            buffer[2 * i + 1] = static_cast<unsigned char>(c >> 8);
        }
    }
    std::memset(buffer.data() + bytes, padByte, size_t(padded - bytes));

    // CBC reads each block before it writes it, so enciphering in place is safe.
    unsigned char iv[blockSize];
    buildIv(iv);
    BF_cbc_encrypt(buffer.data(), buffer.data(), long(padded), &keySchedule(), iv, BF_ENCRYPT);
    encodeBase64(buffer.data(), padded, out);
}

void decryptText(const QString &text, QString &out)
{
    // Each code unit yields at most two base64 characters, 6 bits each.
    QVarLengthArray<unsigned char, 8192> buffer(text.size() * 3 / 2 + 2);
    qsizetype m = decodeBase64Lenient(text, buffer.data());
    // A damaged payload may not fill its last block; that partial block is ignored, so nothing
    // is read or written past the decoded bytes.
    m -= m % blockSize;
    if (m == 0) {
        out.clear();
        return;
    }
    unsigned char iv[blockSize];
    buildIv(iv);
    BF_cbc_encrypt(buffer.data(), buffer.data(), long(m), &keySchedule(), iv, BF_DECRYPT);

    // Strip up to 7 trailing pad bytes. A text whose own last byte is '0' would lose it, but a
    // JSON text always ends in '}' or ']'.
    qsizetype keep = m;
    for (int k = 0; k < blockSize - 1 && keep > 0 && buffer[keep - 1] == padByte; ++k)
        --keep;
    const qsizetype units = keep / 2;
    out.resize(units);
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        std::memcpy(out.data(), buffer.data(), size_t(units * 2));
    } else {
        char16_t *dst = reinterpret_cast<char16_t *>(out.data());
        for (qsizetype i = 0; i < units; ++i)
            dst[i] = char16_t(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    }
}
