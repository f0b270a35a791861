// Serial ports of the host: a CommDevice over a tty.
#pragma once

#include <string>

#include "device.h"

namespace wince {

// Opens a tty as a serial port, exclusively (a second open, even by the same
// process, fails with ERROR_ACCESS_DENIED), in raw mode. Errors:
// ERROR_NOT_SUPPORTED when the path is not a tty, errno translations.
std::shared_ptr<Device> openTtyDevice(const std::string& path, DWORD& error);

}  // namespace wince
