#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "app/dispatch.h"
#include "driver_ops/driver_ops.h"
#include "driver_ops/texts.h"

namespace {

// Every option's operation returns 1 for success (for the prompted installs: go on with the
// setup), which the dispatcher turns into status 0.
int InstallDriver(LPCWSTR infPath) {
    printf(kInstallLabel);
    BOOL result = DiInstallDriverW(NULL, infPath, 0, NULL);
    if (result) {
        printf(kSuccess);
    } else {
        ReportInstallFailure(kPlainInstall);
    }
    return result;
}

int UninstallDriverPackage(LPCWSTR infPath) {
    printf(kUninstallLabel);
    BOOL needReboot = FALSE;
    DWORD code = DriverPackageUninstallW(infPath, 0, NULL, &needReboot);
    if (code != 0) {
        printf(kErrorCode, static_cast<int>(code));
        return 0;
    }
    printf(kSuccess);
    return 1;
}

int InstallOfferingForce(LPCWSTR infPath) {
    return InstallDriverWithPrompts(infPath, TRUE);
}

int InstallAskingToContinue(LPCWSTR infPath) {
    return InstallDriverWithPrompts(infPath, FALSE);
}

const struct {
    const WCHAR* word;
    int (*run)(LPCWSTR infPath);
} kOptions[] = {
    {WIDE("-i"), InstallDriver},
    {WIDE("-f"), ForceInstallDriver},
    {WIDE("-u"), UninstallDriverPackage},
    {WIDE("-o"), InstallOfferingForce},
    {WIDE("-iis"), InstallAskingToContinue},
};

bool SameWord(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

} // namespace

extern "C" int wmain(int argc, WCHAR* argv[]) {
    // On a console every piece must show before the platform call or message box after it;
    // on a file or pipe the whole output is written at exit.
    setvbuf(stdout, NULL, isatty(fileno(stdout)) ? _IONBF : _IOFBF, BUFSIZ);

    if (argc != 3) {
        printf(kUsageInvalid);
        printf(kUsageSyntax);
        printf(kUsageInstall);
        printf(kUsageForce);
        printf(kUsageUninstall);
        return 1;
    }
    for (const auto& option : kOptions) {
        if (SameWord(argv[1], option.word)) {
            return option.run(argv[2]) == 1 ? 0 : 1;
        }
    }
    return 1;
}
