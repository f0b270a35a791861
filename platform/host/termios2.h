// Line rates outside the Bxxx table, through Linux's termios2 interface.
// The kernel's <asm/termbits.h> that defines it clashes with glibc's
// <termios.h>, so it lives alone in termios2.cpp behind these plain calls.
#pragma once

namespace wince {

// Sets any line rate (BOTHER, input rate = output rate), keeping every other
// setting of the tty. Returns 0 or an errno value.
int setCustomLineRate(int fd, unsigned rate);

// The output rate the tty reports, standard or not. Returns 0 or an errno value.
int getLineRate(int fd, unsigned* rate);

}  // namespace wince
