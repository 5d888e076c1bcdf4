// Stand-in driver services for rehearsing the Windows images under Wine: built as newdev.dll and
// DIFxAPI.dll, never shipped beside the image. The message boxes stay Wine's own.
#include "platform/sim/sim_services.h"

// The export by which the stand-ins know Wine's ntdll. The tests build a second pair that probes
// a name no ntdll has, to rehearse the refusal on Windows.
#ifndef VARNHOLT_WINE_PROBE
#define VARNHOLT_WINE_PROBE "wine_get_version"
#endif

namespace {

constexpr DWORD kErrorNotSupported = 50;

// A stand-in must never pass for the real services: off Wine every call fails.
bool underWine;

bool Refused(const char* call) {
    if (!underWine) {
        SimLog("%s refused: stand-in driver services work only under Wine", call);
    }
    return !underWine;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), VARNHOLT_WINE_PROBE) != NULL;
        // Loaded before the image's entry runs, so a malformed setting stops it before any output.
        if (!SimCheckSettings(false)) {
            TerminateProcess(GetCurrentProcess(), 2);
        }
    }
    return TRUE;
}

BOOL WINAPI DiInstallDriverW(HWND hwndParent, LPCWSTR InfPath, DWORD Flags, BOOL* NeedReboot) {
    DWORD error = kErrorNotSupported;
    BOOL result =
        !Refused("DiInstallDriverW") && SimInstall(hwndParent, InfPath, Flags, NeedReboot, &error);
    if (!result) {
        SetLastError(error);
    }
    return result;
}

DWORD WINAPI DriverPackageUninstallW(LPCWSTR DriverPackageInfPath, DWORD Flags,
                                     const INSTALLERINFO_W* pInstallerInfo, BOOL* pNeedReboot) {
    if (Refused("DriverPackageUninstallW")) {
        return kErrorNotSupported;
    }
    return SimUninstall(DriverPackageInfPath, Flags, pInstallerInfo, pNeedReboot);
}

bool SimIsRegularFile(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
