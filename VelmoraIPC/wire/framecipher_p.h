// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// Not part of the VelmoraIPC API: internal header, may change without notice.
#pragma once

#include <QString>

// Blowfish-CBC over the UTF-16LE bytes of a text, padded with '0' bytes to a whole block and
// carried as base64. Every text starts from the same IV, so the same text always gives the same
// cipher text. Safe to call from several threads at once.
void encryptText(const QString &text, QString &out);
void decryptText(const QString &text, QString &out);

// The 32 key bytes (ASCII letters and digits).
const unsigned char *cipherKey();
