// The four platform calls the program makes, and nothing more. On Windows they are the real
// functions, imported at load time; elsewhere the simulated driver services provide them.
#pragma once

#ifdef _WIN32
// stdio.h comes before windows.h, whose C++ stdlib.h would switch printf to MinGW's own.
#include <stdio.h>
#include <windows.h>
#define WIDE(s) L##s
#else
#include <stdint.h>
typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef void* HWND;
#define WINAPI
#define TRUE 1
#define FALSE 0
#define MB_YESNO 0x00000004
#define IDYES 6
#define IDNO 7
#define WIDE(s) u##s
#endif

#define DIIRFLAG_FORCE_INF 0x00000002

// Neither function is in MinGW-w64's headers and import libraries; the build makes its own.
struct INSTALLERINFO_W;

extern "C" {
BOOL WINAPI DiInstallDriverW(HWND hwndParent, LPCWSTR InfPath, DWORD Flags, BOOL* NeedReboot);
DWORD WINAPI DriverPackageUninstallW(LPCWSTR DriverPackageInfPath, DWORD Flags,
                                     const INSTALLERINFO_W* pInstallerInfo, BOOL* pNeedReboot);
#ifndef _WIN32
DWORD GetLastError(void);
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
#endif
}
