// Stand-in driver services for rehearsing the Windows images under Wine: built as newdev.dll and
// DIFxAPI.dll, never shipped beside the image. The message boxes stay Wine's own.
#include "platform/sim/sim_services.h"

#include <stdlib.h>

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

// The first argument after the program's name, as Windows splits a command line, or as much of
// it as fits: an option word. CommandLineToArgvW is not used: under Wine on ARM64 its call from
// DllMain was seen to clobber x18, the register that holds the thread's TEB.
LPCWSTR Option(LPCWSTR line, wchar_t* option) {
    bool quoted = false;
    for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        quoted ^= *line == L'"';
    }
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    size_t n = 0;
    for (quoted = false; *line && (quoted || (*line != L' ' && *line != L'\t')) && n < 15; ++line) {
        if (*line == L'"') {
            quoted = !quoted;
        } else {
            option[n++] = *line;
        }
    }
    option[n] = 0;
    return option;
}

// Notes in VARNHOLT_SIM_STARTS how the program was started: the option it was given and the show
// state its caller asked for. Windows applies that state to the program's first window, a
// question, which its caller's SW_HIDE would hide; Wine shows it anyway.
void NoteStart(HINSTANCE self) {
    const char* path = getenv("VARNHOLT_SIM_STARTS");
    // Both stand-ins are loaded into each start: newdev.dll alone notes it.
    if (path == NULL || self != GetModuleHandleW(L"newdev.dll")) {
        return;
    }
    FILE* starts = fopen(path, "ab");
    if (starts == NULL) {
        return;
    }
    STARTUPINFOW info;
    GetStartupInfoW(&info);
    fputs("start show=", starts);
    if (info.dwFlags & STARTF_USESHOWWINDOW) {
        fprintf(starts, "%u", unsigned(info.wShowWindow));
    } else {
        fputs("default", starts);
    }
    wchar_t option[16];
    fputs(" option=", starts);
    SimWriteQuoted(starts, Option(GetCommandLineW(), option), false);
    fputs(" command=", starts);
    SimWriteQuoted(starts, GetCommandLineW(), false);
    fputc('\n', starts);
    fclose(starts);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), VARNHOLT_WINE_PROBE) != NULL;
        // Loaded before the image's entry runs, so a malformed setting stops it before any output.
        if (!SimCheckSettings(false)) {
            TerminateProcess(GetCurrentProcess(), 2);
        }
        NoteStart(self);
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
