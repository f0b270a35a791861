#include "pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Termios calls on the master act on the pair's one line discipline, so
// this makes the line raw for both sides.
bool makeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

bool openPtyPair(PtyPair& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0) return false;
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        closePtyPair(pty);
        return false;
    }
    const char* name = ptsname(pty.master);
    if (name == nullptr) {
        closePtyPair(pty);
        return false;
    }
    pty.slavePath = name;
    pty.heldSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.heldSlave < 0 || !makeRaw(pty.master)) {
        closePtyPair(pty);
        return false;
    }
    return true;
}

void closePtyPair(PtyPair& pty) {
    if (pty.heldSlave >= 0) close(pty.heldSlave);
    if (pty.master >= 0) close(pty.master);
    pty.heldSlave = pty.master = -1;
}
