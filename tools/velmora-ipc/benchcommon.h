// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// What the bench's processes share: the clock, the messages, the statistics.
#pragma once

#include <QString>
#include <QVariantMap>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <vector>

namespace Tool::Bench {

// CLOCK_MONOTONIC is one clock for every process of the machine, so a time taken in the server
// process and one taken in a client process can be subtracted.
inline std::int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline QString benchProtocol() { return QStringLiteral("velmora-bench"); }

inline QString benchVersion() { return QStringLiteral("1"); }

// The request of the round trip ("ECHO") and the one-way message ("BENCH"): JSON objects whose
// compact text, stamp included, is about \a size bytes. The payload is plain ASCII, so the
// text needs no escaping and its UTF-8 size is its length.
QVariantMap echoRequest(int size);
QVariantMap oneWayMessage(int size);
int payloadLength(const QVariantMap &message); // length of the "data" text

struct Summary
{
    std::int64_t samples = 0;
    std::int64_t medianNs = 0;
    std::int64_t p99Ns = 0;
    std::int64_t meanNs = 0;
    std::int64_t minNs = 0;
    std::int64_t maxNs = 0;
};

// Median (mean of the two middle values for an even count) and nearest-rank 99th percentile.
inline Summary summarize(std::vector<std::int64_t> samples)
{
    Summary s;
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    s.samples = std::int64_t(n);
    s.medianNs = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    size_t rank = (99 * n + 99) / 100; // ceil(0.99 n)
    s.p99Ns = samples[std::max<size_t>(rank, 1) - 1];
    std::int64_t sum = 0;
    for (std::int64_t v : samples)
        sum += v;
    s.meanNs = sum / std::int64_t(n);
    s.minNs = samples.front();
    s.maxNs = samples.back();
    return s;
}

} // namespace Tool::Bench
