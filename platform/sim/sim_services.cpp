#include "platform/sim/sim_services.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/sim/utf8.h"

namespace {

FILE* logFile;
unsigned installCalls;
unsigned questions;

struct Span {
    const char* begin;
    const char* end;
    bool Is(const char* word) const {
        return size_t(end - begin) == strlen(word) && memcmp(begin, word, end - begin) == 0;
    }
};

// A code in decimal or 0x-hex, from 0 to 0xFFFFFFFF.
bool ParseCode(Span item, DWORD* code) {
    const char* s = item.begin;
    unsigned base = 10;
    if (item.end - s > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (s == item.end) {
        return false;
    }
    unsigned long long value = 0;
    for (; s < item.end; ++s) {
        char lower = char(*s | 0x20);
        unsigned digit;
        if (*s >= '0' && *s <= '9') {
            digit = unsigned(*s - '0');
        } else if (base == 16 && lower >= 'a' && lower <= 'f') {
            digit = unsigned(lower - 'a' + 10);
        } else {
            return false;
        }
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) {
            return false;
        }
    }
    *code = DWORD(value);
    return true;
}

Span Whole(const char* value) {
    return {value, value + strlen(value)};
}

// Moves `cursor` past the next item of a comma-separated list; false at the end of the list.
bool NextItem(const char** cursor, Span* item) {
    const char* s = *cursor;
    if (s == NULL) {
        return false;
    }
    const char* comma = strchr(s, ',');
    *item = {s, comma ? comma : s + strlen(s)};
    *cursor = comma ? comma + 1 : NULL;
    return true;
}

// Item `index` of a comma-separated list; false when the list is unset or shorter.
bool Item(const char* list, unsigned index, Span* item) {
    while (NextItem(&list, item)) {
        if (index-- == 0) {
            return true;
        }
    }
    return false;
}

bool IsCode(Span item) {
    DWORD code;
    return ParseCode(item, &code);
}

bool IsOutcome(Span item) {
    return item.Is("ok") || IsCode(item);
}

bool IsAnswer(Span item) {
    return item.Is("yes") || item.Is("no") || item.Is("fail");
}

bool Malformed(const char* name, const char* value) {
    fprintf(stderr, "simulated driver services: %s has a malformed value \"%s\"\n", name, value);
    return false;
}

bool CheckList(const char* name, bool (*valid)(Span)) {
    const char* value = getenv(name);
    const char* cursor = value;
    Span item;
    while (NextItem(&cursor, &item)) {
        if (!valid(item)) {
            return Malformed(name, value);
        }
    }
    return true;
}

void WriteEscaped(FILE* out, unsigned char c) {
    switch (c) {
    case '\\':
        fputs("\\\\", out);
        break;
    case '"':
        fputs("\\\"", out);
        break;
    case '\n':
        fputs("\\n", out);
        break;
    case '\r':
        fputs("\\r", out);
        break;
    case '\t':
        fputs("\\t", out);
        break;
    default:
        if (c < 0x20 || c == 0x7F) {
            fprintf(out, "\\x%02X", c);
        } else {
            fputc(c, out);
        }
    }
}

} // namespace

void SimWriteQuoted(FILE* out, LPCWSTR text, bool escapesAreBytes) {
    fputc('"', out);
    for (const WCHAR* s = text; *s;) {
        char32_t unit = char16_t(*s++);
        char bytes[4];
        int length;
        if (unit >= 0xD800 && unit <= 0xDBFF && *s >= 0xDC00 && *s <= 0xDFFF) {
            length =
                EncodeUtf8(0x10000 + ((unit - 0xD800) << 10) + (char16_t(*s++) - 0xDC00), bytes);
        } else if (escapesAreBytes && unit >= 0xDC80 && unit <= 0xDCFF) {
            bytes[0] = char(unit - 0xDC00);
            length = 1;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            fprintf(out, "\\u%04X", unsigned(unit));
            continue;
        } else {
            length = EncodeUtf8(unit, bytes);
        }
        for (int i = 0; i < length; ++i) {
            WriteEscaped(out, (unsigned char)bytes[i]);
        }
    }
    fputc('"', out);
}

namespace {

// On a POSIX host the lone surrogates U+DC80..U+DCFF stand for path bytes and are logged as those
// bytes; on Windows they are what the caller passed, so no two different paths log alike.
#ifdef _WIN32
constexpr bool kEscapesAreBytes = false;
#else
constexpr bool kEscapesAreBytes = true;
#endif

const char* Pointer(const void* p) {
    return p ? "SET" : "NULL";
}

const char* Flag(const BOOL* p) {
    return p == NULL ? "NULL" : *p ? "TRUE" : "FALSE";
}

// A log line is written in pieces, quoted texts between printf-style ones; SimLog writes the
// last piece. Nothing is written without a log.
void Put(const char* format, ...) {
    if (logFile != NULL) {
        va_list args;
        va_start(args, format);
        vfprintf(logFile, format, args);
        va_end(args);
    }
}

void PutQuoted(LPCWSTR text) {
    if (logFile != NULL) {
        SimWriteQuoted(logFile, text, kEscapesAreBytes);
    }
}

} // namespace

void SimLog(const char* format, ...) {
    if (logFile != NULL) {
        va_list args;
        va_start(args, format);
        vfprintf(logFile, format, args);
        va_end(args);
        fputc('\n', logFile);
        fflush(logFile);
    }
}

bool SimCheckSettings(bool withAnswers) {
    const char* uninstall = getenv("VARNHOLT_SIM_UNINSTALL");
    if (uninstall != NULL && !IsCode(Whole(uninstall))) {
        return Malformed("VARNHOLT_SIM_UNINSTALL", uninstall);
    }
    if (!CheckList("VARNHOLT_SIM_INSTALL", IsOutcome) ||
        (withAnswers && !CheckList("VARNHOLT_SIM_ANSWERS", IsAnswer))) {
        return false;
    }
    const char* logPath = getenv("VARNHOLT_SIM_LOG");
    if (logPath != NULL && (logFile = fopen(logPath, "ab")) == NULL) {
        fprintf(stderr,
                "simulated driver services: VARNHOLT_SIM_LOG names a file that cannot be "
                "opened: \"%s\"\n",
                logPath);
        return false;
    }
    return true;
}

BOOL SimInstall(HWND parent, LPCWSTR infPath, DWORD flags, BOOL* needReboot, DWORD* error) {
    Put("DiInstallDriverW parent=%s inf=", Pointer(parent));
    PutQuoted(infPath);
    SimLog(" flags=0x%08x reboot=%s", unsigned(flags), Flag(needReboot));
    Span item;
    if (Item(getenv("VARNHOLT_SIM_INSTALL"), installCalls++, &item)) {
        *error = 0;
        if (item.Is("ok")) {
            return TRUE;
        }
        ParseCode(item, error);
        return FALSE;
    }
    *error = SimStage(infPath);
    return *error == 0;
}

DWORD SimUninstall(LPCWSTR infPath, DWORD flags, const INSTALLERINFO_W* info, BOOL* needReboot) {
    Put("DriverPackageUninstallW inf=");
    PutQuoted(infPath);
    SimLog(" flags=0x%08x installer=%s reboot=%s", unsigned(flags), Pointer(info),
           Flag(needReboot));
    if (needReboot != NULL) {
        *needReboot = TRUE;
    }
    const char* setting = getenv("VARNHOLT_SIM_UNINSTALL");
    DWORD code;
    if (setting == NULL || !ParseCode(Whole(setting), &code)) {
        code = SimUnstage(infPath);
    }
    return code;
}

bool SimAsk(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style, int* answer) {
    Put("MessageBoxW owner=%s caption=", Pointer(owner));
    PutQuoted(caption);
    Put(" text=");
    PutQuoted(text);
    SimLog(" style=0x%08x", unsigned(style));
    Span item;
    if (!Item(getenv("VARNHOLT_SIM_ANSWERS"), questions++, &item)) {
        return false;
    }
    *answer = item.Is("yes") ? IDYES : item.Is("no") ? IDNO : 0;
    return true;
}
