// What the platform's serial driver refuses, whatever device is behind the
// port: every line backend checks a DCB and COMMTIMEOUTS here, so they all
// refuse the same requests with ERROR_INVALID_PARAMETER.
#pragma once

#include "wince_comm.h"

namespace wince {

// A rate past the signed 32-bit range is a negative one that wrapped (a Java
// int of -1 arrives as 0xFFFFFFFF).
constexpr DWORD kFastestLineRate = 0x7FFFFFFF;

// 1.5 stop bits exist only for 5-bit characters, and 5-bit characters take
// 1 or 1.5 stop bits (a UART asked for two makes one and a half).
inline bool stopBitsFitByteSize(BYTE stopBits, BYTE byteSize) {
    if (stopBits == ONE5STOPBITS) return byteSize == 5;
    if (stopBits == TWOSTOPBITS) return byteSize != 5;
    return stopBits == ONESTOPBIT;
}

// A nonzero rate, 5 to 8 data bits, a known parity, stop bits that fit the
// character size, and distinct XON/XOFF characters when software flow
// control uses them.
inline bool isAcceptableLine(const DCB& dcb) {
    const bool softwareFlow = dcb.fOutX || dcb.fInX;
    return dcb.BaudRate != 0 && dcb.BaudRate <= kFastestLineRate && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 &&
           dcb.Parity <= SPACEPARITY && stopBitsFitByteSize(dcb.StopBits, dcb.ByteSize) &&
           !(softwareFlow && dcb.XonChar == dcb.XoffChar);
}

// The one combination the driver refuses: every read field MAXDWORD.
inline bool isAcceptableTimeouts(const COMMTIMEOUTS& timeouts) {
    return !(timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
             timeouts.ReadTotalTimeoutConstant == MAXDWORD);
}

}  // namespace wince
