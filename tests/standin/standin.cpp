// Stand-in driver services for running the Windows images under Wine: built as newdev.dll and
// DIFxAPI.dll, never shipped. The message boxes stay Wine's own.
#include "platform/sim_services.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // Loaded before the image's entry runs, so a malformed setting stops it before any output.
    if (reason == DLL_PROCESS_ATTACH && !SimCheckSettings(false)) {
        TerminateProcess(GetCurrentProcess(), 2);
    }
    return TRUE;
}

BOOL WINAPI DiInstallDriverW(HWND hwndParent, LPCWSTR InfPath, DWORD Flags, BOOL* NeedReboot) {
    DWORD error;
    BOOL result = SimInstall(hwndParent, InfPath, Flags, NeedReboot, &error);
    if (!result) {
        SetLastError(error);
    }
    return result;
}

DWORD WINAPI DriverPackageUninstallW(LPCWSTR DriverPackageInfPath, DWORD Flags,
                                     const INSTALLERINFO_W* pInstallerInfo, BOOL* pNeedReboot) {
    return SimUninstall(DriverPackageInfPath, Flags, pInstallerInfo, pNeedReboot);
}

bool SimIsRegularFile(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
