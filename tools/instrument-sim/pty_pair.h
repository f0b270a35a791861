// The simulator's pseudo-terminal: the master it talks through and the slave
// device that the serial library opens.
#pragma once

#include <string>

struct PtyPair {
    int master = -1;
    // The simulator keeps the slave open itself, so the master never reads a
    // hang-up while the library has the port closed (between tests, or before
    // the first open). It holds no lock on it, so the library's exclusive
    // open still succeeds.
    int heldSlave = -1;
    std::string slavePath;
};

// Opens a raw pseudo-terminal pair. Returns false with errno set on failure.
bool openPtyPair(PtyPair& pty);

// Speaks on an existing tty instead (a real port joined to the one the
// library opens): raw, 8 bits, no modem control. Returns false with errno set.
bool openDevice(const std::string& path, PtyPair& pty);

void closePtyPair(PtyPair& pty);

// The slave's line settings as the serial library set them: "line 4800
// 8N1" (rate, data bits, parity N/E/O, stop bits).
std::string describeLineSettings(const PtyPair& pty);
