// DCB <-> termios.
#include "line_settings.h"

#include <iterator>

#include "comm_rules.h"

namespace wince {
namespace {

struct StandardRate {
    DWORD rate;
    speed_t speed;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

constexpr tcflag_t kByteSizes[] = {CS5, CS6, CS7, CS8};

tcflag_t parityFlags(BYTE parity) {
    switch (parity) {
        case ODDPARITY: return PARENB | PARODD;
        case EVENPARITY: return PARENB;
        case MARKPARITY: return PARENB | PARODD | CMSPAR;
        case SPACEPARITY: return PARENB | CMSPAR;
        default: return 0;
    }
}

BYTE parityOf(tcflag_t cflag) {
    if (!(cflag & PARENB)) return NOPARITY;
    if (cflag & CMSPAR) return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

BYTE byteSizeOf(tcflag_t cflag) {
    for (size_t i = 0; i < std::size(kByteSizes); ++i) {
        if ((cflag & CSIZE) == kByteSizes[i]) return static_cast<BYTE>(5 + i);
    }
    return 8;
}

void setFlag(tcflag_t& flags, tcflag_t bit, bool on) { flags = on ? (flags | bit) : (flags & ~bit); }

bool usesHardwareFlow(const DCB& dcb) { return dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE; }

}  // namespace

void makeRaw(termios& settings) {
    settings.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // CLOCAL: no carrier needed; HUPCL off: closing must not drop DTR.
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~HUPCL;
    // With O_NONBLOCK, VMIN 1 makes an empty read fail with EAGAIN, so a
    // read of 0 bytes always means the line hung up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

// A pseudo-terminal would take any rate as given, so the checks come first.
bool isExpressible(const DCB& dcb) { return isAcceptableLine(dcb); }

void applyLineSettings(termios& settings, const DCB& dcb) {
    makeRaw(settings);
    tcflag_t& cflag = settings.c_cflag;
    cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
    cflag |= kByteSizes[dcb.ByteSize - 5] | parityFlags(dcb.Parity);
    // With 5-bit characters CSTOPB makes one and a half stop bits.
    setFlag(cflag, CSTOPB, dcb.StopBits != ONESTOPBIT);
    // Linux has one switch for both directions of RTS/CTS handshaking.
    setFlag(cflag, CRTSCTS, usesHardwareFlow(dcb));
    setFlag(settings.c_iflag, INPCK, dcb.fParity);
    setFlag(settings.c_iflag, IXON, dcb.fOutX);
    setFlag(settings.c_iflag, IXOFF, dcb.fInX);
    if (dcb.fOutX || dcb.fInX) {
        settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
}

void readLineSettings(const termios& settings, DCB& dcb) {
    const tcflag_t cflag = settings.c_cflag;
    dcb.ByteSize = byteSizeOf(cflag);
    dcb.Parity = parityOf(cflag);
    const BYTE longStop = (cflag & CSIZE) == CS5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.StopBits = (cflag & CSTOPB) ? longStop : ONESTOPBIT;
    dcb.fParity = (settings.c_iflag & INPCK) ? 1 : 0;
    dcb.fOutX = (settings.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (settings.c_iflag & IXOFF) ? 1 : 0;
    // The caller's own way of asking for handshaking stands while the line
    // agrees with it.
    const bool hardwareFlow = (cflag & CRTSCTS) != 0;
    if (hardwareFlow && !usesHardwareFlow(dcb)) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (!hardwareFlow && usesHardwareFlow(dcb)) {
        dcb.fOutxCtsFlow = 0;
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
}

speed_t standardSpeedFor(DWORD rate) {
    for (const StandardRate& entry : kStandardRates) {
        if (entry.rate == rate) return entry.speed;
    }
    return B0;
}

}  // namespace wince
