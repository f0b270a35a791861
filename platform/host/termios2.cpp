// Kept apart from every file that includes <termios.h>: see termios2.h.
#include "termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace wince {

int setCustomLineRate(int fd, unsigned rate) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
    // CIBAUD 0 makes the input rate follow the output rate.
    settings.c_cflag &= ~(CBAUD | CIBAUD);
    settings.c_cflag |= BOTHER;
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &settings) == 0 ? 0 : errno;
}

int getLineRate(int fd, unsigned* rate) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
    *rate = settings.c_ospeed;
    return 0;
}

}  // namespace wince
