#include "driver_ops/driver_ops.h"

#include <stdio.h>

#include "driver_ops/texts.h"

namespace {

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorNoMoreItems = 259;
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorInWow64 = 0xE0000235;

const struct {
    DWORD code;
    const char* message;
    unsigned knownBy;
} kFailureMessages[] = {
    {kErrorFileNotFound, kFileNotFound, kPlainInstall | kForcedInstall | kPromptedInstall},
    {kErrorAccessDenied, kAccessDenied, kPlainInstall | kForcedInstall | kPromptedInstall},
    {kErrorNoMoreItems, kOtherDriverInstalled, kPlainInstall | kPromptedInstall},
    {kErrorInvalidFlags, kInvalidFlags, kPlainInstall | kForcedInstall | kPromptedInstall},
    {kErrorInWow64, kWow64Error, kPlainInstall | kForcedInstall | kPromptedInstall},
};

BOOL Ask(LPCWSTR question) {
    return MessageBoxW(NULL, question, kQuestionCaption, MB_YESNO) == IDYES;
}

} // namespace

DWORD ReportInstallFailure(InstallKind kind) {
    // The code must be read before printing: the runtime's writes may change the last error.
    DWORD code = GetLastError();
    printf(kFailureCode, static_cast<int>(code));
    for (const auto& row : kFailureMessages) {
        if (row.code == code && (row.knownBy & kind)) {
            printf("%s", row.message);
        }
    }
    return code;
}

int ForceInstallDriver(LPCWSTR infPath) {
    printf(kForceInstallLabel);
    BOOL result = DiInstallDriverW(NULL, infPath, DIIRFLAG_FORCE_INF, NULL);
    if (result) {
        printf(kSuccess);
        return result;
    }
    ReportInstallFailure(kForcedInstall);
    return 0;
}

int InstallDriverWithPrompts(LPCWSTR infPath, BOOL offerForce) {
    printf(kInstallLabel);
    if (DiInstallDriverW(NULL, infPath, 0, NULL) == TRUE) {
        printf(kSuccess);
        return 1;
    }
    DWORD code = ReportInstallFailure(kPromptedInstall);
    if (code == kErrorNoMoreItems && offerForce && Ask(kForceQuestion) &&
        ForceInstallDriver(infPath) == 1) {
        printf(kForceInstallSuccess);
        return 1;
    }
    return Ask(kContinueQuestion) ? 1 : 0;
}
