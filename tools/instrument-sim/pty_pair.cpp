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

bool openDevice(const std::string& path, PtyPair& pty) {
    // Without O_NONBLOCK the open would wait for a carrier that a bare line
    // never raises; once CLOCAL is set, blocking I/O is safe.
    pty.master = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (pty.master < 0) return false;
    pty.slavePath = path;
    const int flags = fcntl(pty.master, F_GETFL);
    if (!makeRaw(pty.master) || flags < 0 || fcntl(pty.master, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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

namespace {

struct RateName {
    speed_t code;
    const char* rate;
};

constexpr RateName kRates[] = {{B1200, "1200"},   {B2400, "2400"},   {B4800, "4800"},   {B9600, "9600"},
                               {B19200, "19200"}, {B38400, "38400"}, {B57600, "57600"}, {B115200, "115200"}};

const char* rateName(speed_t code) {
    for (const RateName& rate : kRates) {
        if (rate.code == code) return rate.rate;
    }
    return "other";
}

char dataBits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return '5';
        case CS6: return '6';
        case CS7: return '7';
        default: return '8';
    }
}

}  // namespace

std::string describeLineSettings(const PtyPair& pty) {
    termios settings{};
    // The pty keeps parity and character size in the slave's settings only.
    if (tcgetattr(pty.heldSlave >= 0 ? pty.heldSlave : pty.master, &settings) != 0) return "line unknown";
    const char parity = !(settings.c_cflag & PARENB) ? 'N' : (settings.c_cflag & PARODD) ? 'O' : 'E';
    return std::string("line ") + rateName(cfgetospeed(&settings)) + " " + dataBits(settings.c_cflag) +
           parity + ((settings.c_cflag & CSTOPB) ? '2' : '1');
}
