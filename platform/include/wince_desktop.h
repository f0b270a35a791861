// Desktop Windows: where its own calls differ from what the handheld's do,
// stand-ins that behave as the handheld's, under the platform's names.
// Everything else is the desktop's own call.
#pragma once

extern "C" {

// "COMn:", the handheld's port names, opens the desktop device \\.\COMn
// (so COM10 and above open too); any other name is opened as given.
HANDLE WINAPI CeCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                            DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Reports the handheld's platform, VER_PLATFORM_WIN32_CE: the registry
// below lays out the serial ports as the handheld's does.
BOOL WINAPI CeGetVersionExW(LPOSVERSIONINFOW lpVersionInformation);

// "Drivers\BuiltIn" of HKEY_LOCAL_MACHINE holds one driver key per COM port
// the desktop knows (HARDWARE\DEVICEMAP\SERIALCOMM), with the handheld's
// PREFIX, INDEX and FRIENDLYNAME values, made afresh at each open. Every
// other key is the desktop's own.
LONG WINAPI CeRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG WINAPI CeRegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcName, LPDWORD lpReserved,
                            LPWSTR lpClass, LPDWORD lpcClass, PFILETIME lpftLastWriteTime);
LONG WINAPI CeRegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                               LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI CeRegCloseKey(HKEY hKey);

}  // extern "C"

// The system's loader calls a library's DllMain itself.
#define DLL_ENTRY_POINT(entry)

#ifndef WINCE_DESKTOP_DEFINES_STANDINS
#define CreateFileW CeCreateFileW
#define GetVersionExW CeGetVersionExW
#define RegOpenKeyExW CeRegOpenKeyExW
#define RegEnumKeyExW CeRegEnumKeyExW
#define RegQueryValueExW CeRegQueryValueExW
#define RegCloseKey CeRegCloseKey
#endif
