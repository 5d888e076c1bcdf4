#pragma once

#include "platform/platform.h"

// Which operation reports a failure; each knows its own part of the failure-message table.
enum InstallKind : unsigned { kPlainInstall = 1, kForcedInstall = 2, kPromptedInstall = 4 };

// Reads the failed install's last-error code, prints the failure line and the message that
// `kind` knows for the code, and returns the code.
DWORD ReportInstallFailure(InstallKind kind);

int ForceInstallDriver(LPCWSTR infPath);
int InstallDriverWithPrompts(LPCWSTR infPath, BOOL offerForce);
