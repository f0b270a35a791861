// Timing options of the simulator, for benchmarks: when a reply goes out and
// when its last byte was handed to the pseudo-terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "replies.h"

// --stamp FILE: one line per reply, the CLOCK_MONOTONIC nanoseconds (the
// clock that System.nanoTime reads on Linux) taken just before the write
// that carries the reply's last byte.
class ReplyStamps {
public:
    explicit ReplyStamps(const std::string& path);
    ~ReplyStamps();
    ReplyStamps(const ReplyStamps&) = delete;
    ReplyStamps& operator=(const ReplyStamps&) = delete;

    bool failed(const std::string& path) const { return !path.empty() && file_ == nullptr; }
    // Taken right before the last write; saved after it, so that no file
    // work lies between the stamp and the byte.
    void markLastByte();
    void save();

private:
    FILE* file_;
    int64_t lastByteNs_ = 0;
};

// --delay-jitter US: a pseudo-random extra pause of 0 to US-1 microseconds
// before each reply, so that replies fall at every phase of a poller's cycle.
void pauseJitter(int jitterUs);

// --eager: whether `pending` already holds one whole command, so that the
// reply can go out at once instead of after the quiet time. Only QTVv2
// commands carry their length; other families always wait for the quiet.
bool commandComplete(Family family, const Bytes& pending);
