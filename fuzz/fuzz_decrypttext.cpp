// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// decryptText on anything a peer may put between the frame markers, read both as UTF-16 code
// units and as Latin-1 text: no crash, no access outside the decoded bytes, an output no
// longer than the input can carry. The same input, enciphered, must come back unchanged, also
// with line breaks put into the cipher text.
#include "wire/framecipher_p.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_decrypttext: %s\n", what);
    std::abort();
}

// Each code unit gives at most two base64 characters of 6 bits; two bytes make a code unit.
void checkBound(const QString &in, const QString &out)
{
    if (out.size() > (in.size() * 2 * 6 / 8) / 2 + 1)
        fail("output longer than the input can carry");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char16_t> units(size / 2);
    if (!units.empty())
        std::memcpy(units.data(), data, units.size() * 2);
    const QString wide = QString::fromUtf16(units.data(), qsizetype(units.size()));
    const QString latin =
        QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));

    QString out;
    decryptText(wide, out);
    checkBound(wide, out);
    decryptText(latin, out);
    checkBound(latin, out);

    // Round trip. The pad strip takes trailing 0x30 bytes, so a text whose last byte (the high
    // byte of its last code unit) is 0x30 loses that unit: that is the format, not a fault.
    QString cipher;
    encryptText(wide, cipher);
    decryptText(cipher, out);
    const bool lastByteIsPad = !wide.isEmpty() && (wide.back().unicode() >> 8) == 0x30;
    if (!lastByteIsPad && out != wide)
        fail("round trip changed the text");

    QString broken;
    for (qsizetype i = 0; i < cipher.size(); i += 76)
        broken += cipher.mid(i, 76) + QStringLiteral("\r\n");
    QString again;
    decryptText(broken, again);
    if (again != out)
        fail("line breaks in the cipher text changed the result");
    return 0;
}
