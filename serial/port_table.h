// The table of four port slots: opening a port with its family's line
// settings, and closing it.
#pragma once

#include "port_slot.h"

// What an open native hands to `openPort`; lives for the open call only.
struct LineSettings {
    WCHAR portName[kPortNameUnits];
    uint32_t baudRate;
    uint8_t parity;
    uint8_t byteSize;
    uint8_t stopBits;
    int32_t rtsControl;
    int32_t dtrControl;
    uint32_t timeoutMs;
    FrameRecognizer recognizer;
};

// The pause after a successful open before the caller gets the port: the
// instrument's line settles.
constexpr DWORD kSettleAfterOpenMs = 100;

enum class InstrumentFamily { QTVv1, QTVv2, KELT3B, VX9 };

// The family's fixed line settings, without a port name; QTVv1 takes its
// speed from the caller.
LineSettings familySettings(InstrumentFamily family, uint32_t baudRate);

// The slot an open would take now: 0 to 3, or kPortCount when all are in use.
int32_t firstFreeSlot();

// Opens and configures the device, starts its worker and writes the chosen
// slot index into `indexCell` on every path.
ResultCode openPort(const LineSettings& settings, int32_t* indexCell);

// Lowers DTR and RTS, stops the worker and closes the slot's handles.
// Returns the success flag of the last handle close.
BOOL closePort(int32_t index);
