// SPDX-License-Identifier: MIT
// Copyright (C) 2026 The VelmoraIPC developers
//
// The bench's baseline: plain bytes over a POSIX local (AF_UNIX) stream socket between two
// processes, with no Qt, no JSON and no threads on the path. Hidden commands
// __bench-raw-server PATH and __bench-raw-client PATH (one "SIZE BUDGET_MS" test a line on its
// standard input, one JSON line of results each).
//
// The client sends a 9-byte header per test: mode ('P' ping-pong, 'S' one-way stream, 'Q'
// quit), message size and count (32-bit, host order). Ping-pong: SIZE bytes there, SIZE bytes
// back, COUNT times. Stream: COUNT messages of SIZE bytes one way, each read whole by the
// server, which then reports the CLOCK_MONOTONIC time of its last read (8 bytes).
#include "benchcommon.h"
#include "common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace Tool {

namespace {

    bool writeAll(int fd, const void *data, size_t size)
    {
        const char *p = static_cast<const char *>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd, p, size);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            p += n;
            size -= size_t(n);
        }
        return true;
    }

    bool readAll(int fd, void *data, size_t size)
    {
        char *p = static_cast<char *>(data);
        while (size > 0) {
            const ssize_t n = ::read(fd, p, size);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            if (n == 0)
                return false;
            p += n;
            size -= size_t(n);
        }
        return true;
    }

    bool makeAddress(const std::string &path, sockaddr_un &address)
    {
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path)
            return false;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return true;
    }

    struct Header
    {
        char mode;
        std::uint32_t size;
        std::uint32_t count;
    };

    bool sendHeader(int fd, const Header &h)
    {
        char bytes[9];
        bytes[0] = h.mode;
        std::memcpy(bytes + 1, &h.size, 4);
        std::memcpy(bytes + 5, &h.count, 4);
        return writeAll(fd, bytes, sizeof bytes);
    }

    bool readHeader(int fd, Header &h)
    {
        char bytes[9];
        if (!readAll(fd, bytes, sizeof bytes))
            return false;
        h.mode = bytes[0];
        std::memcpy(&h.size, bytes + 1, 4);
        std::memcpy(&h.count, bytes + 5, 4);
        return true;
    }

    // Ping-pong of \a count messages; returns the round-trip times.
    bool pingPong(int fd, std::vector<char> &buffer, std::uint32_t size, std::uint32_t count,
        std::vector<std::int64_t> &samples)
    {
        if (!sendHeader(fd, { 'P', size, count }))
            return false;
        samples.clear();
        samples.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::int64_t t0 = Bench::nowNs();
            if (!writeAll(fd, buffer.data(), size) || !readAll(fd, buffer.data(), size))
                return false;
            samples.push_back(Bench::nowNs() - t0);
        }
        return true;
    }

} // namespace

int runBenchRawServer(const QStringList &arguments)
{
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: velmora-ipc __bench-raw-server PATH\n");
        return ExitUsage;
    }
    const std::string path = arguments.at(1).toStdString();
    sockaddr_un address;
    if (!makeAddress(path, address))
        return ExitUsage;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    if (listener < 0
        || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 1) != 0) {
        std::fprintf(stderr, "velmora-ipc __bench-raw-server: cannot listen on %s: %s\n",
            path.c_str(), std::strerror(errno));
        return ExitFailure;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    ::unlink(path.c_str());
    if (fd < 0)
        return ExitFailure;

    std::vector<char> buffer;
    Header h;
    int code = ExitFailure;
    while (readHeader(fd, h)) {
        if (h.mode == 'Q') {
            code = ExitOk;
            break;
        }
        buffer.resize(h.size);
        bool ok = true;
        for (std::uint32_t i = 0; ok && i < h.count; ++i) {
            ok = readAll(fd, buffer.data(), h.size);
            if (ok && h.mode == 'P')
                ok = writeAll(fd, buffer.data(), h.size);
        }
        if (ok && h.mode == 'S') {
            const std::int64_t last = Bench::nowNs();
            ok = writeAll(fd, &last, sizeof last);
        }
        if (!ok)
            break;
    }
    ::close(fd);
    return code;
}

int runBenchRawClient(const QStringList &arguments)
{
    if (arguments.size() != 2) {
        std::fprintf(stderr,
            "usage: velmora-ipc __bench-raw-client PATH, then lines \"SIZE BUDGET_MS\" and "
            "\"quit\"\n");
        return ExitUsage;
    }
    const std::string path = arguments.at(1).toStdString();
    sockaddr_un address;
    if (!makeAddress(path, address))
        return ExitUsage;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "velmora-ipc __bench-raw-client: cannot connect to %s: %s\n",
            path.c_str(), std::strerror(errno));
        return ExitNoConnection;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // One test a line on standard input: ping-pong then one-way stream of SIZE-byte messages.
    std::vector<char> buffer;
    std::vector<std::int64_t> samples;
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        unsigned size = 0;
        long long budgetMs = 0;
        if (std::sscanf(line, "%u %lld", &size, &budgetMs) != 2 || size == 0)
            break; // "quit", or the end of the bench
        const std::int64_t budgetNs = budgetMs * 1000000;
        buffer.assign(size, 'x');
        // Calibrate, then fill the time budget.
        if (!pingPong(fd, buffer, size, 20, samples))
            return ExitFailure;
        const Bench::Summary calibration = Bench::summarize(samples);
        const std::int64_t count = std::clamp<std::int64_t>(
            budgetNs / std::max<std::int64_t>(calibration.meanNs, 1), 50, 100000);
        if (!pingPong(fd, buffer, size, std::uint32_t(count), samples))
            return ExitFailure;
        const Bench::Summary rtt = Bench::summarize(samples);

        const std::uint32_t streamCount =
            std::uint32_t(std::clamp<std::int64_t>((std::int64_t(64) << 20) / size, 64, 200000));
        if (!sendHeader(fd, { 'S', size, streamCount }))
            return ExitFailure;
        const std::int64_t t0 = Bench::nowNs();
        for (std::uint32_t i = 0; i < streamCount; ++i) {
            if (!writeAll(fd, buffer.data(), size))
                return ExitFailure;
        }
        std::int64_t last = 0;
        if (!readAll(fd, &last, sizeof last))
            return ExitFailure;

        std::printf(
            "{\"size\":%u,\"rtt_samples\":%lld,\"median_ns\":%lld,\"p99_ns\":%lld,\"mean_ns\":%lld,"
            "\"stream_count\":%u,\"stream_ns\":%lld}\n",
            size, static_cast<long long>(rtt.samples), static_cast<long long>(rtt.medianNs),
            static_cast<long long>(rtt.p99Ns), static_cast<long long>(rtt.meanNs), streamCount,
            static_cast<long long>(last - t0));
        std::fflush(stdout);
    }
    sendHeader(fd, { 'Q', 0, 0 });
    ::close(fd);
    return ExitOk;
}

} // namespace Tool
