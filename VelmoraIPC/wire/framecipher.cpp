// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers

// OpenSSL 3 marks the low-level Blowfish functions deprecated; they are still what the wire
// format is defined by, so this file alone asks for the 1.1.1 API.
#define OPENSSL_API_COMPAT 0x10101000L

#include "framecipher_p.h"

#include <QByteArray>
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

// Base64 decoding that skips every byte outside the alphabet (line breaks, '=', the zero high
// bytes of UTF-16) and drops a trailing remainder of fewer than 8 bits.
qsizetype decodeBase64Lenient(const QString &text, unsigned char *out)
{
    static const auto table = [] {
        std::array<signed char, 128> t{};
        t.fill(-1);
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        return t;
    }();
    quint32 bits = 0;
    int bitCount = 0;
    qsizetype m = 0;
    const auto *p = reinterpret_cast<const char16_t *>(text.utf16());
    const char16_t *end = p + text.size();
    for (; p != end; ++p) {
        const char16_t c = *p;
        // Each code unit is two bytes, low first; the high byte of an ASCII character is zero
        // and is skipped like any other byte outside the alphabet.
        const unsigned char bytes[2] = { static_cast<unsigned char>(c & 0xff),
                                         static_cast<unsigned char>(c >> 8) };
        for (unsigned char b : bytes) {
            if (b >= 128 || table[b] < 0)
                continue;
            bits = (bits << 6) | quint32(table[b]);
            bitCount += 6;
            if (bitCount >= 8) {
                bitCount -= 8;
                out[m++] = static_cast<unsigned char>((bits >> bitCount) & 0xff);
            }
        }
    }
    return m;
}

} // namespace

const unsigned char *cipherKey()
{
    return reinterpret_cast<const unsigned char *>(keyText);
}

void encryptText(const QString &text, QString &out)
{
    const qsizetype bytes = text.size() * 2;
    const qsizetype padded = (bytes + blockSize - 1) / blockSize * blockSize;
    QVarLengthArray<unsigned char, 4096> plain(padded);
    // QString holds UTF-16 in host order; on the little-endian machines we build for that is
    // already UTF-16LE, elsewhere it is swapped unit by unit.
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        if (bytes > 0)
            std::memcpy(plain.data(), text.utf16(), size_t(bytes));
    } else {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = char16_t(text.utf16()[i]);
            plain[2 * i] = static_cast<unsigned char>(c & 0xff);
            plain[2 * i + 1] = static_cast<unsigned char>(c >> 8);
        }
    }
    std::memset(plain.data() + bytes, padByte, size_t(padded - bytes));

    QByteArray cipher(padded, Qt::Uninitialized);
    if (padded > 0) {
        unsigned char iv[blockSize];
        buildIv(iv);
        BF_cbc_encrypt(plain.data(), reinterpret_cast<unsigned char *>(cipher.data()), long(padded),
                       &keySchedule(), iv, BF_ENCRYPT);
    }
    out = QString::fromLatin1(cipher.toBase64());
}

void decryptText(const QString &text, QString &out)
{
    // Each code unit yields at most two base64 characters, 6 bits each.
    QVarLengthArray<unsigned char, 4096> decoded(text.size() * 2 * 6 / 8 + 1);
    qsizetype m = decodeBase64Lenient(text, decoded.data());
    // A damaged payload may not fill its last block; that partial block is ignored, so nothing
    // is read or written past the decoded bytes.
    m -= m % blockSize;
    if (m == 0) {
        out.clear();
        return;
    }
    QVarLengthArray<unsigned char, 4096> plain(m);
    unsigned char iv[blockSize];
    buildIv(iv);
    BF_cbc_encrypt(decoded.data(), plain.data(), long(m), &keySchedule(), iv, BF_DECRYPT);

    // Strip up to 7 trailing pad bytes. A text whose own last byte is '0' would lose it, but a
    // JSON text always ends in '}' or ']'.
    qsizetype keep = m;
    for (int k = 0; k < blockSize - 1 && keep > 0 && plain[keep - 1] == padByte; ++k)
        --keep;
    const qsizetype units = keep / 2;
    out.resize(units);
    char16_t *dst = reinterpret_cast<char16_t *>(out.data());
    for (qsizetype i = 0; i < units; ++i)
        dst[i] = char16_t(plain[2 * i] | (plain[2 * i + 1] << 8));
}
