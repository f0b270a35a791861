#include "reply_timing.h"

#include <time.h>

#include <cerrno>

namespace {

constexpr size_t kQTVv2FrameOverhead = 5;  // header, length byte and checksum
constexpr size_t kQTVv2LengthByte = 3;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

ReplyStamps::ReplyStamps(const std::string& path)
    : file_(path.empty() ? nullptr : std::fopen(path.c_str(), "a")) {
    if (file_ != nullptr) setvbuf(file_, nullptr, _IOLBF, 0);
}

ReplyStamps::~ReplyStamps() {
    if (file_ != nullptr) std::fclose(file_);
}

void ReplyStamps::markLastByte() {
    if (file_ != nullptr) lastByteNs_ = monotonicNs();
}

void ReplyStamps::save() {
    if (file_ != nullptr) std::fprintf(file_, "%lld\n", static_cast<long long>(lastByteNs_));
}

void pauseJitter(int jitterUs) {
    if (jitterUs <= 0) return;
    static uint32_t state = 0x9E3779B9u;
    state = state * 1664525u + 1013904223u;
    const long pauseUs = long((uint64_t{state} * uint64_t(jitterUs)) >> 32);
    timespec left{pauseUs / 1000000, (pauseUs % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

bool commandComplete(Family family, const Bytes& pending) {
    if (family != Family::QTVv2 || pending.size() <= kQTVv2LengthByte) return false;
    return pending.size() == pending[kQTVv2LengthByte] + kQTVv2FrameOverhead;
}
