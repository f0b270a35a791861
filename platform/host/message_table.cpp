// The system message table behind FormatMessageW: a text for each code the
// platform layer reports and for the common ones a caller meets. Like the
// platform's, every text ends in a carriage return and a line feed.
#include "wince.h"

namespace {

struct SystemMessage {
    DWORD code;
    const char16_t* text;
};

constexpr SystemMessage systemMessages[] = {
    {ERROR_SUCCESS, u"The operation succeeded.\r\n"},
    {ERROR_INVALID_FUNCTION, u"The device does not offer this function.\r\n"},
    {ERROR_FILE_NOT_FOUND,
     u"No file or device answers to this name (for a serial port: the name is not mapped, or "
     u"its adapter is unplugged).\r\n"},
    {ERROR_PATH_NOT_FOUND, u"The path leads nowhere.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, u"Too many files or devices are open at once.\r\n"},
    // Both causes share the code callers compare; the text names each and its fix.
    {ERROR_ACCESS_DENIED,
     u"Access refused: either the user may not use the device (on Linux: join the dialout "
     u"group, then log in again) or another program holds the port (close it).\r\n"},
    {ERROR_INVALID_HANDLE, u"The handle does not name an open object.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, u"Memory ran short for this operation.\r\n"},
    {ERROR_OUTOFMEMORY, u"Memory ran short to complete the operation.\r\n"},
    {ERROR_NOT_READY, u"The device is not ready.\r\n"},
    {ERROR_BAD_COMMAND, u"The device did not understand the command.\r\n"},
    {ERROR_WRITE_FAULT, u"Writing to the device failed.\r\n"},
    {ERROR_READ_FAULT, u"Reading from the device failed.\r\n"},
    {ERROR_GEN_FAILURE, u"The device is not working properly.\r\n"},
    {ERROR_SHARING_VIOLATION, u"Another program holds the file or device.\r\n"},
    {ERROR_NOT_SUPPORTED, u"The request is not supported here.\r\n"},
    {ERROR_INVALID_PARAMETER, u"A parameter is wrong.\r\n"},
    {ERROR_BROKEN_PIPE, u"The other end has closed the connection.\r\n"},
    {ERROR_SEM_TIMEOUT, u"The wait ended before the device answered.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"The buffer is too small for the data.\r\n"},
    {ERROR_INVALID_NAME, u"The file, folder or device name is malformed.\r\n"},
    {ERROR_MOD_NOT_FOUND, u"No loaded module answers to this name or address.\r\n"},
    {ERROR_BUSY, u"The resource is busy.\r\n"},
    {ERROR_MORE_DATA, u"There is more data than the buffer holds.\r\n"},
    {ERROR_NO_MORE_ITEMS, u"There are no more items.\r\n"},
    {ERROR_MR_MID_NOT_FOUND, u"No message text exists for this code.\r\n"},
    {ERROR_OPERATION_ABORTED, u"The input or output operation was cancelled.\r\n"},
    {ERROR_IO_INCOMPLETE, u"The overlapped operation has not finished.\r\n"},
    {ERROR_IO_PENDING, u"An overlapped operation is under way.\r\n"},
    {ERROR_NOACCESS, u"The memory at this address cannot be reached.\r\n"},
    {ERROR_IO_DEVICE, u"A device input or output error stopped the request.\r\n"},
    {ERROR_OLD_WIN_VERSION, u"The program needs another version of the system.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED,
     u"The device is not connected (a serial adapter unplugged, a line hung up): close the "
     u"port and open it again once the device is back.\r\n"},
    {ERROR_TIMEOUT, u"The operation ran out of time.\r\n"},
};

const char16_t* findSystemMessage(DWORD code) {
    for (const SystemMessage& message : systemMessages) {
        if (message.code == code) return message.text;
    }
    return nullptr;
}

DWORD unitCount(const char16_t* text) {
    DWORD length = 0;
    while (text[length] != 0) ++length;
    return length;
}

constexpr DWORD unsupportedFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE;

}  // namespace

extern "C" DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPWSTR lpBuffer,
                                       DWORD nSize, va_list*) {
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & unsupportedFlags) != 0 ||
        lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char16_t* text = findSystemMessage(dwMessageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    DWORD length = unitCount(text);
    if (length + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (DWORD i = 0; i <= length; ++i) lpBuffer[i] = text[i];
    return length;
}
