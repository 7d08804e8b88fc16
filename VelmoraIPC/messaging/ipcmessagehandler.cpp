// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
#include <VelmoraIPC/VelmoraIPC.h>

IPCMessageHandler::IPCMessageHandler() : QObject(nullptr) { }

IPCMessageHandler::~IPCMessageHandler() = default;
