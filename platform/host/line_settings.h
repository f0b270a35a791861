// A DCB's line settings in termios terms, both ways.
#pragma once

#include <termios.h>

#include "wince_comm.h"

namespace wince {

// Byte-transparent: no echo, no line editing, no translation, no signals.
// Keeps the line's framing and rate.
void makeRaw(termios& settings);

// A DCB the host can express: one the platform accepts (comm_rules.h).
bool isExpressible(const DCB& dcb);

// Framing, parity and flow control of `dcb` into `settings` (not the rate).
void applyLineSettings(termios& settings, const DCB& dcb);

// Framing, parity and flow control of `settings` into `dcb`; the fields
// termios has no place for keep their values.
void readLineSettings(const termios& settings, DCB& dcb);

// The Bxxx constant for a rate, or B0 when the table has none.
speed_t standardSpeedFor(DWORD rate);

}  // namespace wince
