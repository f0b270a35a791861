// The reply-frame recognisers, one per instrument family. Each is a
// FrameRecognizer: it looks at the slot's receive window (and, for the QTV
// families, the command last sent) and, when the window holds a complete
// reply, copies it to the waiting caller and consumes the window up to the
// frame's end. The window's end never moves.
//
// A recognised frame longer than `replyCapacity` is consumed without being
// written anywhere; `replyOverflow` then holds ERROR_INSUFFICIENT_BUFFER and
// the recogniser still answers true, so the caller's wait ends.
#pragma once

#include "port_slot.h"

bool recognizeKELT3B(PortSlot& slot);
bool recognizeVX9(PortSlot& slot);
bool recognizeQTVv1(PortSlot& slot);
bool recognizeQTVv2(PortSlot& slot);
