// What an instrument of each family answers to a command.
//
// Each reply is tagged so that a test can tell which command it answers: the
// first payload byte is the reply's sequence number (1, 2, ... 127, then 1
// again) and the rest echoes the command. No payload byte ever equals the
// first byte of the family's frame header, so a payload never looks like the
// start of a frame.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "options.h"

using Bytes = std::vector<uint8_t>;

// The reply frame to `command`, or nothing when the instrument ignores it.
// `replyNumber` counts the replies sent before this one.
std::optional<Bytes> replyTo(const SimOptions& options, const Bytes& command, int replyNumber);

// `count` stray bytes that cannot start a frame of the family.
Bytes garbageFor(Family family, const Bytes& command, int count);

// The additive checksum of the QTVv2 frames: the low byte of the sum.
uint8_t additiveChecksum(const uint8_t* bytes, size_t count);
