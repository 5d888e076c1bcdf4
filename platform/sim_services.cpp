#include "platform/sim_services.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/surrogate_escape.h"

namespace {

constexpr DWORD kErrorFileNotFound = 2;

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

// Item `index` of a comma-separated list; false when the list is unset or shorter.
bool Item(const char* list, unsigned index, Span* item) {
    for (const char* s = list; s != NULL;) {
        const char* comma = strchr(s, ',');
        const char* end = comma ? comma : s + strlen(s);
        if (index-- == 0) {
            *item = {s, end};
            return true;
        }
        s = comma ? comma + 1 : NULL;
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
    Span item;
    for (unsigned i = 0; Item(value, i, &item); ++i) {
        if (!valid(item)) {
            return Malformed(name, value);
        }
    }
    return true;
}

std::string Quoted(LPCWSTR text) {
    std::string quoted = "\"";
    for (unsigned char c : EncodeSurrogateEscaped(text)) {
        switch (c) {
        case '\\':
            quoted += "\\\\";
            break;
        case '"':
            quoted += "\\\"";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\x%02X", c);
                quoted += escape;
            } else {
                quoted += char(c);
            }
        }
    }
    return quoted + "\"";
}

const char* Pointer(const void* p) {
    return p ? "SET" : "NULL";
}

const char* Flag(const BOOL* p) {
    return p == NULL ? "NULL" : *p ? "TRUE" : "FALSE";
}

void Log(const std::string& line) {
    if (logFile != NULL) {
        fprintf(logFile, "%s\n", line.c_str());
        fflush(logFile);
    }
}

std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", unsigned(value));
    return text;
}

} // namespace

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
    Log("DiInstallDriverW parent=" + std::string(Pointer(parent)) + " inf=" + Quoted(infPath) +
        " flags=" + Hex(flags) + " reboot=" + Flag(needReboot));
    Span item;
    if (Item(getenv("VARNHOLT_SIM_INSTALL"), installCalls++, &item)) {
        *error = 0;
        if (item.Is("ok")) {
            return TRUE;
        }
        ParseCode(item, error);
        return FALSE;
    }
    *error = SimIsRegularFile(infPath) ? 0 : kErrorFileNotFound;
    return *error == 0;
}

DWORD SimUninstall(LPCWSTR infPath, DWORD flags, const INSTALLERINFO_W* info, BOOL* needReboot) {
    Log("DriverPackageUninstallW inf=" + Quoted(infPath) + " flags=" + Hex(flags) +
        " installer=" + Pointer(info) + " reboot=" + Flag(needReboot));
    if (needReboot != NULL) {
        *needReboot = TRUE;
    }
    const char* setting = getenv("VARNHOLT_SIM_UNINSTALL");
    DWORD code = kErrorFileNotFound;
    if (setting != NULL) {
        ParseCode(Whole(setting), &code);
    } else if (SimIsRegularFile(infPath)) {
        code = 0;
    }
    return code;
}

bool SimAsk(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style, int* answer) {
    Log("MessageBoxW owner=" + std::string(Pointer(owner)) + " caption=" + Quoted(caption) +
        " text=" + Quoted(text) + " style=" + Hex(style));
    Span item;
    if (!Item(getenv("VARNHOLT_SIM_ANSWERS"), questions++, &item)) {
        return false;
    }
    *answer = item.Is("yes") ? IDYES : item.Is("no") ? IDNO : 0;
    return true;
}
