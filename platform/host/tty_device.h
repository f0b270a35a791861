// Serial ports of the host: a CommDevice over a tty.
#pragma once

#include <string>

#include "device.h"

namespace wince {

// Opens a tty as a serial port, exclusively, in raw mode: a second open, even
// by the same process, fails with ERROR_ACCESS_DENIED, and so does an open
// of a port whose UUCP lock file names another live process. The port's
// lock file (lock_file.h) is taken when its folder is writable and removed
// at close. Errors: ERROR_NOT_SUPPORTED when the path is not a tty, errno
// translations; the thread's open account (open_failure.h) says why.
std::shared_ptr<Device> openTtyDevice(const std::string& path, DWORD& error);

}  // namespace wince
