// Simulated driver services, shared by the host build and the test stand-in DLLs. Settings come
// from VARNHOLT_SIM_INSTALL, VARNHOLT_SIM_UNINSTALL, VARNHOLT_SIM_ANSWERS and VARNHOLT_SIM_LOG.
#pragma once

#include <stdio.h>

#include "platform/platform.h"

// Checks the settings; on a malformed one, names it on stderr and returns false. The stand-ins
// pass withAnswers false, since their message boxes are the real ones.
bool SimCheckSettings(bool withAnswers);

// Appends one line, printf-style, to the log, when VARNHOLT_SIM_LOG names one.
void SimLog(const char* format, ...);

// Each call logs itself and returns the simulated outcome.
BOOL SimInstall(HWND parent, LPCWSTR infPath, DWORD flags, BOOL* needReboot, DWORD* error);
DWORD SimUninstall(LPCWSTR infPath, DWORD flags, const INSTALLERINFO_W* info, BOOL* needReboot);

// Logs a question and, when VARNHOLT_SIM_ANSWERS lists one for it, sets its answer and returns
// true.
bool SimAsk(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style, int* answer);

// Writes a text as the log writes it: in quotes, UTF-8, with control characters, quotes and
// backslashes escaped. Lone surrogates are written as \uXXXX, except U+DC80..U+DCFF when
// `escapesAreBytes`, which are written as the bytes they stand for.
void SimWriteQuoted(FILE* out, LPCWSTR text, bool escapesAreBytes);

// Provided by each build: what the services do when no outcome is scripted. Each returns 0 or
// the error code of the staging, or of the removal, of the package whose INF the path names.
DWORD SimStage(LPCWSTR infPath);
DWORD SimUnstage(LPCWSTR infPath);
