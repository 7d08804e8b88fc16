// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Enciphers each argument and prints one cipher text per line. The arguments are hex-encoded
// UTF-16LE, so that what reaches encryptText does not depend on the process locale.
#include "wire/framecipher_p.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray utf16 = QByteArray::fromHex(QByteArray(argv[i]));
        const QString text = QString::fromUtf16(
            reinterpret_cast<const char16_t *>(utf16.constData()), utf16.size() / 2);
        QString cipher;
        encryptText(text, cipher);
        std::printf("%s\n", cipher.toLatin1().constData());
    }
    return 0;
}
