// The contract every FrameRecognizer keeps, checked on one fuzz input.
//
// Input layout (fields little-endian, missing bytes read as 0):
//   flags      1 byte   bit 0: raw window (start and count as given, also
//                       outside rxBuffer); bit 1: no reply destination;
//                       bit 2: no length cell; bit 3: raw txLength
//   start      int32    the window's start (taken modulo the room left
//                       when the window is not raw)
//   count      int32    the window's length, raw window only; otherwise the
//                       number of window bytes below, at most 2047 - start
//   txLength   int32    raw txLength only; otherwise the command's length
//   capacity   int32    replyCapacity
//   k          1 byte   command length, then k command bytes (txBuffer)
//   p          1 byte   pattern length (at most 16), then p bytes: what
//                       rxBuffer holds outside the window in a second run
//   the rest            the window's bytes
//
// Checked on every input:
// - the window's end never moves; its start only moves forward within it;
//   a window outside rxBuffer or empty is answered false and left alone;
// - rxBuffer, txBuffer and txLength are only read;
// - a delivered frame is the bytes of the old window just before the new
//   start, has the family's shape, and is written whole into a destination
//   it fits, with its length in the length cell and nothing else touched;
// - a frame that does not fit (or no destination) is consumed all the same,
//   answered true with ERROR_INSUFFICIENT_BUFFER, and nothing is written;
// - false writes nothing to the destination or the length cell;
// - the bytes outside the window change nothing of the outcome;
// - the capacity changes nothing but whether the frame is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "port_slot.h"

// True when `frame`, delivered for the command in `slot.txBuffer`, has the
// family's shape. `slot` is the slot after the call.
using FrameShape = bool (*)(const PortSlot& slot, std::span<const uint8_t> frame);

void checkRecognizerContract(FrameRecognizer recognizer, FrameShape shape, const uint8_t* data, size_t size);
