// The registry (read only), version information and system message texts.
#pragma once

#include <cstdarg>

#include "wince_types.h"

typedef BYTE* LPBYTE;

// Registry keys. The predefined roots are the platform's fixed values.
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(intptr_t)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(intptr_t)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(intptr_t)(LONG)0x80000002)
#define HKEY_USERS ((HKEY)(intptr_t)(LONG)0x80000003)

#define KEY_QUERY_VALUE 0x0001u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// Version information: 276 bytes, as the platform lays it out.
typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW layout");

#define VER_PLATFORM_WIN32s 0u
#define VER_PLATFORM_WIN32_WINDOWS 1u
#define VER_PLATFORM_WIN32_NT 2u

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

extern "C" {

// The Reg* calls return a status (ERROR_SUCCESS or an error code) and leave
// the thread's last error alone.

// ERROR_FILE_NOT_FOUND when the key does not exist, ERROR_INVALID_HANDLE for
// a key that is not open, ERROR_INVALID_PARAMETER without a result pointer.
LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

// `*lpcName` is the name buffer's capacity in characters, terminator included;
// on success it becomes the name's length. ERROR_NO_MORE_ITEMS past the last
// sub key, ERROR_MORE_DATA when the name does not fit.
LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcName, LPDWORD lpReserved,
                          LPWSTR lpClass, LPDWORD lpcClass, PFILETIME lpftLastWriteTime);

// `*lpcbData` is the buffer's size in bytes; it becomes the value's size.
// ERROR_FILE_NOT_FOUND for a missing value; ERROR_MORE_DATA when the value is
// larger than the buffer, which then holds the part that fitted, unterminated.
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);

LONG WINAPI RegCloseKey(HKEY hKey);

// FALSE with ERROR_INSUFFICIENT_BUFFER when dwOSVersionInfoSize is not 276.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);

// Only FORMAT_MESSAGE_FROM_SYSTEM is served (the system texts have no
// inserts). Returns the text's length in characters without the terminator,
// or 0 with the last error set: ERROR_MR_MID_NOT_FOUND for a code without a
// text, ERROR_INSUFFICIENT_BUFFER when it does not fit; the buffer is then
// left untouched.
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments);
}
