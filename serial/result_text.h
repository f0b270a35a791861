// Texts for the result codes of the serial natives.
#pragma once

#include <mutex>

#include "port_slot.h"

constexpr int kLastErrorTextUnits = 512;

// Receives the system's message text. Shared by all callers: hold
// `lastErrorTextLock` from the lookup until the text has been used.
extern WCHAR lastErrorText[kLastErrorTextUnits];
extern std::mutex lastErrorTextLock;

// The text of a code: a fixed text for the library's own codes (100000 and
// above), else the system's message without its line end. Never null; the
// caller does not free it.
const WCHAR* resultText(ResultCode code);

// Drops the line end a system text carries: a last unit that is a line feed,
// and a unit before the last that is a carriage return. Texts shorter than
// two units stay as they are.
void removeLineEnd(WCHAR* text);
