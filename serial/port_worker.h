// The port's worker thread: the only code that reads from and writes to the
// device once the port is open.
#pragma once

#include "port_slot.h"

// Every queue and every operation under way: what an open and the worker's
// start and end drop.
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Thread procedure; the parameter is the port's PortSlot. Runs until the
// slot's workerId is cleared.
DWORD WINAPI PortWorker(LPVOID slot);

// Adds `bytesRead` bytes, just stored after the window, to it. A window that
// reaches the buffer's last usable index is moved back to the buffer's start,
// or dropped whole, the new bytes included, when it holds 100 bytes or more.
void growWindow(PortSlot& slot, int32_t bytesRead);
