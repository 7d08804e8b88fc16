// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The frame cipher against cipher texts made by other tools, against OpenSSL's EVP interface
// as an independent decipherer, and through its edges: padding, damage, foreign keys, base64
// leniency, threads and processes.
#include "wire/framecipher_p.h"

#include <QProcess>
#include <QTest>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <future>
#include <memory>
#include <vector>

namespace {

// Known answers, computed once outside this code base.
//
// OpenSSL 3.0's `openssl enc` cannot make them for our key: it cuts a -K value down to the
// cipher's default key length (16 bytes for Blowfish, "hex string is too long, ignoring
// excess") and has no option for a longer key. So the vectors for our 32-byte key come from
// python3-cryptography, which drives libcrypto's EVP Blowfish with the full key length:
//
//   python3 - "<text>" ... <<'EOF'
//   import base64, sys
//   from cryptography.hazmat.decrepit.ciphers.algorithms import Blowfish
//   from cryptography.hazmat.primitives.ciphers import Cipher, modes
//   key, iv = b'V3lm0raIPCk9Qz7TxW2pLb8HsN4cRd6F', b'ABCDEFGH'
//   for text in sys.argv[1:]:
//       plain = text.encode('utf-16-le', 'surrogatepass')
//       plain += b'0' * (-len(plain) % 8)
//       enc = Cipher(Blowfish(key), modes.CBC(iv)).encryptor()
//       print(repr(text), base64.b64encode(enc.update(plain) + enc.finalize()).decode())
//   EOF
//
// The same script with a 16-byte key reproduces what the command-line tool gives for that key
// (see foreignKey below), so both tools agree on the plain bytes, the pad and the IV.
struct KnownAnswer
{
    const char *name;
    QString text;
    const char *cipher;
};

QString u(const char16_t *s) { return QString::fromUtf16(s); }

const KnownAnswer vectors[] = {
    { "1 unit", QStringLiteral("a"), "eKz2Zh8vWm4=" },
    { "2 units", QStringLiteral("ab"), "98azL01Br5Y=" },
    { "3 units", QStringLiteral("abc"), "9GhK1NXbh1g=" },
    { "4 units", QStringLiteral("abcd"), "QFlVjbZr4F0=" },
    { "5 units", QStringLiteral("abcde"), "QFlVjbZr4F07wHvTvfOXWA==" },
    { "empty object", QStringLiteral("{}"), "cl9ZWJ5l+PM=" },
    { "registration, non-ASCII",
        u(u"{\"_REQUEST\":\"REGISTER\",\"_APPID\":\"editor\",\"_USERID\":\"j\u00f6rg\"}"),
        "hcW23Aq6/tLhf18JeSF28pVX1ipSovX5+fO9lVVNaqaQqhZOUl0+M1YN2S+pwRpGOaWZ1ChPx0PFIULOkjQS87o8"
        "uUlXPixXRzbu/MdTp2VYCkIIc9XAXeMPIEbS0teup43+LeebayRX2Idi0YJj2GiWzErEqC4H" },
    { "CJK and surrogate pairs", u(u"{\"k\":\"\u4e2d\u6587 \U0001F600 \U0001D11E\"}"),
        "/wPfOjGrBQjN/jA0nokXCXMsdoTkjHkprSp4Mi5N3Dk=" },
};

QString latin1(const char *s) { return QString::fromLatin1(s); }

QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// Deciphers with libcrypto's EVP interface, a code path independent of the library's, and
// returns the raw plain bytes, pad included.
QByteArray evpDecipher(const QByteArray &cipher)
{
    static OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER *defaults = OSSL_PROVIDER_load(nullptr, "default");
    if (!legacy || !defaults)
        return QByteArray("no legacy provider");
    std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> bf(
        EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr), &EVP_CIPHER_free);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const unsigned char iv[] = { 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H' };
    QByteArray plain(cipher.size() + 16, Qt::Uninitialized);
    int n1 = 0;
    int n2 = 0;
    const bool ok = bf && ctx && EVP_DecryptInit_ex(ctx.get(), bf.get(), nullptr, nullptr, nullptr)
        && EVP_CIPHER_CTX_set_key_length(ctx.get(), 32)
        && EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr,
            reinterpret_cast<const unsigned char *>("V3lm0raIPCk9Qz7TxW2pLb8HsN4cRd6F"), iv)
        && EVP_CIPHER_CTX_set_padding(ctx.get(), 0)
        && EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(plain.data()), &n1,
            reinterpret_cast<const unsigned char *>(cipher.constData()), int(cipher.size()))
        && EVP_DecryptFinal_ex(
            ctx.get(), reinterpret_cast<unsigned char *>(plain.data()) + n1, &n2);
    if (!ok)
        return QByteArray("EVP failure");
    plain.truncate(n1 + n2);
    return plain;
}

QString encrypted(const QString &text)
{
    QString out;
    encryptText(text, out);
    return out;
}

QString decrypted(const QString &text)
{
    QString out;
    decryptText(text, out);
    return out;
}

// Text made of every kind of code unit: ASCII, Latin-1, BMP, surrogate pairs, JSON syntax.
QString mixedText(qsizetype units)
{
    const QString pattern =
        u(u"{\"k\":\"abc \u00e9\u00fc \u4e2d\u6587 \U0001F600\\n\\\"x\\\" [1,2]\",\"n\":3}");
    QString text;
    while (text.size() < units)
        text += pattern;
    text.truncate(units);
    if (text.at(text.size() - 1).isHighSurrogate())
        text.chop(1);
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('}')))
        text += QLatin1Char('}');
    return text;
}

} // namespace

class tst_FrameCipher : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void knownAnswers_data();
    void knownAnswers();
    void padAndLength_data();
    void padAndLength();
    void lastByteZeroIsStripped();
    void sameInTwoProcesses();
    void sameInSeveralThreads();
    void roundTrip_data();
    void roundTrip();
    void lenientBase64_data();
    void lenientBase64();
    void foreignKey_data();
    void foreignKey();
    void emptyInput_data();
    void emptyInput();
    void damagedLength_data();
    void damagedLength();
    void keyIsLettersAndDigits();
};

void tst_FrameCipher::knownAnswers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cipher");
    for (const KnownAnswer &k : vectors)
        QTest::newRow(k.name) << k.text << latin1(k.cipher);
}

void tst_FrameCipher::knownAnswers()
{
    QFETCH(QString, text);
    QFETCH(QString, cipher);
    QCOMPARE(encrypted(text), cipher);
    QCOMPARE(decrypted(cipher), text);
}

void tst_FrameCipher::padAndLength_data()
{
    QTest::addColumn<int>("units");
    QTest::addColumn<int>("padBytes");
    QTest::addColumn<int>("cipherBytes");
    QTest::addColumn<int>("base64Chars");
    QTest::newRow("1 unit") << 1 << 6 << 8 << 12;
    QTest::newRow("2 units") << 2 << 4 << 8 << 12;
    QTest::newRow("3 units") << 3 << 2 << 8 << 12;
    QTest::newRow("4 units, exact block") << 4 << 0 << 8 << 12;
    QTest::newRow("5 units") << 5 << 6 << 16 << 24;
    QTest::newRow("8 units, two blocks") << 8 << 0 << 16 << 24;
    QTest::newRow("9 units") << 9 << 6 << 24 << 32;
}

void tst_FrameCipher::padAndLength()
{
    QFETCH(int, units);
    QFETCH(int, padBytes);
    QFETCH(int, cipherBytes);
    QFETCH(int, base64Chars);
    // Non-ASCII units too: the pad follows the byte count, not the characters.
    const QString text = u(u"x\u00e9\u4e2dy{}\u0416z]").left(units);
    QCOMPARE(text.size(), units);

    const QString cipher = encrypted(text);
    QCOMPARE(cipher.size(), base64Chars);
    const QByteArray raw = QByteArray::fromBase64(cipher.toLatin1());
    QCOMPARE(raw.size(), cipherBytes);
    // The plain bytes, as an independent decipherer sees them: UTF-16LE, then '0' bytes.
    QCOMPARE(evpDecipher(raw), utf16le(text) + QByteArray(padBytes, '0'));
    QCOMPARE(decrypted(cipher), text);
}

// The pad is stripped by value: a text whose own last byte is 0x30 (a last character in
// U+3000 to U+30FF, such as katakana) loses that byte and with it its last code unit.
void tst_FrameCipher::lastByteZeroIsStripped()
{
    const QString text = u(u"a\u30a2"); // bytes 61 00 A2 30, then four '0' pad bytes
    const QString cipher = encrypted(text);
    QCOMPARE(cipher, QStringLiteral("aHfL+2vtbGk=")); // known answer, same tool as above
    QCOMPARE(decrypted(cipher), QStringLiteral("a"));
}

void tst_FrameCipher::sameInTwoProcesses()
{
    const QStringList texts = { QString(), QStringLiteral("{}"), vectors[6].text, vectors[7].text,
        mixedText(5000) };
    QStringList args;
    QStringList expected;
    for (const QString &text : texts) {
        args.append(QString::fromLatin1(utf16le(text).toHex()));
        expected.append(encrypted(text));
    }
    QStringList outputs[2];
    for (QStringList &output : outputs) {
        QProcess peer;
        peer.start(QStringLiteral(CIPHER_PEER), args);
        QVERIFY2(peer.waitForFinished(30000), qPrintable(peer.errorString()));
        QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(peer.exitCode(), 0);
        output = QString::fromLatin1(peer.readAllStandardOutput()).split(QLatin1Char('\n'));
        QCOMPARE(output.takeLast(), QString());
    }
    QCOMPARE(outputs[0], expected);
    QCOMPARE(outputs[1], expected);
}

void tst_FrameCipher::sameInSeveralThreads()
{
    const QString text = mixedText(3000);
    const QString cipher = encrypted(text);
    std::vector<std::future<bool>> workers;
    for (int t = 0; t < 4; ++t) {
        workers.push_back(std::async(std::launch::async, [&] {
            for (int i = 0; i < 200; ++i) {
                if (encrypted(text) != cipher || decrypted(cipher) != text)
                    return false;
            }
            return true;
        }));
    }
    for (auto &worker : workers)
        QVERIFY(worker.get());
}

void tst_FrameCipher::roundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("ASCII JSON") << QStringLiteral("{\"_REQUEST\":\"REGISTER\",\"n\":[1,2,3]}");
    QTest::newRow("Latin-1") << u(u"{\"k\":\"\u00e4\u00f6\u00fc\u00df \u00a9\"}");
    QTest::newRow("CJK") << u(u"{\"k\":\"\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8\"}");
    QTest::newRow("surrogate pairs") << u(u"{\"k\":\"\U0001F600\U0001F680\U0001D11E\U00010348\"}");
    QTest::newRow("lone surrogate") << u(u"{\"k\":\"\xd800\"}");
    QTest::newRow("zero code unit") << QString::fromUtf16(u"{\"k\":\"a\0b\"}", 12);
    QTest::newRow("line breaks") << QStringLiteral("{\n  \"k\": \"v\"\r\n}");
    for (int units : { 6, 7, 8, 9, 15, 16, 17, 1023, 1024, 1025 })
        QTest::addRow("mixed, %d units", units) << mixedText(units);
    QTest::newRow("mixed, 64 KiB") << mixedText(64 * 1024);
}

void tst_FrameCipher::roundTrip()
{
    QFETCH(QString, text);
    const QString cipher = encrypted(text);
    QCOMPARE(decrypted(cipher), text);
    // Standard base64, all ASCII, no line breaks.
    const QByteArray ascii = cipher.toLatin1();
    QCOMPARE(QString::fromLatin1(ascii), cipher);
    QCOMPARE(
        QByteArray::fromBase64(ascii, QByteArray::AbortOnBase64DecodingErrors).toBase64(), ascii);
    QCOMPARE(evpDecipher(QByteArray::fromBase64(ascii)).left(text.size() * 2), utf16le(text));
}

void tst_FrameCipher::lenientBase64_data()
{
    QTest::addColumn<QString>("cipher");
    QTest::addColumn<QString>("text");

    const KnownAnswer &reg = vectors[6];
    const QString cipher = latin1(reg.cipher);
    auto breakEvery = [&](int n, const QString &brk) {
        QString out;
        for (qsizetype i = 0; i < cipher.size(); i += n)
            out += cipher.mid(i, n) + brk;
        return out;
    };
    QTest::newRow("LF every 76") << breakEvery(76, QStringLiteral("\n")) << reg.text;
    QTest::newRow("CRLF every 64") << breakEvery(64, QStringLiteral("\r\n")) << reg.text;
    QTest::newRow("LF every char") << breakEvery(1, QStringLiteral("\n")) << reg.text;
    QTest::newRow("spaces and tabs") << breakEvery(5, QStringLiteral(" \t")) << reg.text;
    QTest::newRow("leading and trailing white space")
        << QStringLiteral("\r\n  ") + cipher + QStringLiteral(" \n") << reg.text;
    QTest::newRow("fill removed") << latin1("QFlVjbZr4F07wHvTvfOXWA") << QStringLiteral("abcde");
    QTest::newRow("fill in the middle")
        << latin1("QFlV=jbZr=4F07w=HvTvfOXWA==") << QStringLiteral("abcde");
    QTest::newRow("other ASCII passed over")
        << latin1("QFlV.jbZr!4F0*7wHv-TvfO_XWA==") << QStringLiteral("abcde");
    // Each code unit counts as two bytes, low first: a unit whose bytes are both in the
    // alphabet gives two base64 characters, and a non-ASCII unit's high byte is not skipped.
    QString packed;
    const QByteArray ascii = QByteArrayLiteral("QFlVjbZr4F0=");
    for (qsizetype i = 0; i < ascii.size(); i += 2)
        packed += QChar(char16_t(uchar(ascii[i]) | (uchar(ascii[i + 1]) << 8)));
    QTest::newRow("two characters per code unit") << packed << QStringLiteral("abcd");
    QTest::newRow("high byte outside the alphabet skipped")
        << u(u"\u2051\u2046\u206c\u2056\u206a\u2062\u205a\u2072\u2034\u2046\u2030")
        << QStringLiteral("abcd");
}

void tst_FrameCipher::lenientBase64()
{
    QFETCH(QString, cipher);
    QFETCH(QString, text);
    QCOMPARE(decrypted(cipher), text);
}

void tst_FrameCipher::foreignKey_data()
{
    QTest::addColumn<QString>("cipher");
    QTest::addColumn<QString>("original");
    // Both made with the command-line tool, with its 16-byte Blowfish key (one line):
    //   printf '%s' "$t" | iconv -t UTF-16LE | { cat; printf '<pad>'; } | openssl enc -bf-cbc
    //   -provider legacy -provider default -K "$(printf '<key>' | xxd -p)"
    //   -iv 4142434445464748 -nopad | base64 -w0
    // A text enciphered under another key.
    QTest::newRow("other key") // key Xq7Lm2Pz9Rt4Vw8K, pad "00"
        << latin1("98u6MuRZOu/VLny0TUrr7MhK7XrTrEo9la3i27F2zsgbkv9D5k+F/kRipiPmhC8X")
        << QStringLiteral("{\"_REQUEST\":\"REGISTER\"}");
    // Our key cut to its first 16 bytes: only a cipher that sets the key from all 32 bytes
    // fails to read this.
    QTest::newRow("first half of our key") // key V3lm0raIPCk9Qz7T, pad "0000"
        << latin1("HSFWUkUe9G0=") << QStringLiteral("{}");
}

void tst_FrameCipher::foreignKey()
{
    QFETCH(QString, cipher);
    QFETCH(QString, original);
    const QString text = decrypted(cipher);
    QVERIFY2(text != original, qPrintable(text));
    // Deciphering is deterministic even when the result is meaningless.
    QCOMPARE(decrypted(cipher), text);
    // All the decoded bytes are deciphered; whatever the strip takes off is at most 7 bytes.
    const qsizetype m = QByteArray::fromBase64(cipher.toLatin1()).size();
    QVERIFY2(text.size() >= (m - 7) / 2 && text.size() <= m / 2, qPrintable(text));
}

void tst_FrameCipher::emptyInput_data()
{
    QTest::addColumn<QString>("cipher");
    QTest::newRow("empty") << QString();
    QTest::newRow("white space") << QStringLiteral(" \r\n\t ");
    QTest::newRow("fill only") << QStringLiteral("====");
    QTest::newRow("no base64 at all") << QStringLiteral("!?*-_.:,;");
    QTest::newRow("one character, 6 bits") << QStringLiteral("Q");
    QTest::newRow("less than one block") << QStringLiteral("QFlVjbZr4F"); // 7 bytes
}

void tst_FrameCipher::emptyInput()
{
    QFETCH(QString, cipher);
    QString out = QStringLiteral("stale");
    decryptText(cipher, out);
    QCOMPARE(out, QString());
    out = QStringLiteral("stale");
    encryptText(QString(), out);
    QCOMPARE(out, QString());
}

// A payload whose decoded length is not a multiple of 8: the partial block is ignored and
// what comes before it deciphers as it would alone. (Nothing outside the decoded bytes is
// touched; the sanitizer build checks that.)
void tst_FrameCipher::damagedLength_data()
{
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<QString>("text");
    const QString abcde = latin1("QFlVjbZr4F07wHvTvfOXWA==");
    QTest::newRow("9 bytes") << abcde.left(12) << QStringLiteral("abcd"); // "QFlVjbZr4F07"
    QTest::newRow("15 bytes") << abcde.left(20) << QStringLiteral("abcd");
    QTest::newRow("15 bytes, odd bits left") << abcde.left(21) << QStringLiteral("abcd");
    QTest::newRow("16 bytes, fill dropped") << abcde.left(22) << QStringLiteral("abcde");
    const QString reg = latin1(vectors[6].cipher);
    // 120 bytes less 3: the 15th block is partial, and 14 blocks hold 56 of the 58 units.
    QTest::newRow("long, 3 bytes cut") << reg.left(reg.size() - 4) << vectors[6].text.left(56);
}

void tst_FrameCipher::damagedLength()
{
    QFETCH(QString, damaged);
    QFETCH(QString, text);
    QCOMPARE(decrypted(damaged), text);
}

void tst_FrameCipher::keyIsLettersAndDigits()
{
    const unsigned char *key = cipherKey();
    QVERIFY(key);
    QCOMPARE(cipherKey(), key); // one process-wide buffer
    for (int i = 0; i < 32; ++i)
        QVERIFY2(key[i] < 128 && QChar(char16_t(key[i])).isLetterOrNumber(),
            qPrintable(QString::number(i)));
}

QTEST_GUILESS_MAIN(tst_FrameCipher)
#include "tst_framecipher.moc"
