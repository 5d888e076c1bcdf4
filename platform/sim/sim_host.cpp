// The four platform calls on a host without Windows' driver services.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/sim/sim_services.h"
#include "platform/sim/surrogate_escape.h"

namespace {

DWORD lastError;

// Runs before the program's own code: malformed settings are refused before anything is printed.
struct Startup {
    Startup() {
        // As on Windows, a write to a pipe whose reader has gone fails instead of ending the
        // process, so the exit status stays the operation's.
        signal(SIGPIPE, SIG_IGN);
        // A standard descriptor that was closed is held on /dev/null, so that the log opened
        // below never takes its number and the program's own output never lands in the log.
        for (int fd = 0; fd <= 2; ++fd) {
            if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
                exit(2);
            }
        }
        if (!SimCheckSettings(true)) {
            exit(2);
        }
    }
} startup;

// Beyond the listed answers the question goes to the controlling terminal; without one it
// fails, as a message box that cannot be shown does.
int AskTerminal(LPCWSTR text, LPCWSTR caption) {
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return 0;
    }
    std::string prompt =
        "\n[" + EncodeSurrogateEscaped(caption) + "]\n" + EncodeSurrogateEscaped(text) + "\n[y/n] ";
    std::string answer;
    char c;
    if (write(tty, prompt.data(), prompt.size()) == ssize_t(prompt.size())) {
        while (read(tty, &c, 1) == 1 && c != '\n') {
            answer += char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        }
    }
    close(tty);
    if (!answer.empty() && answer.back() == '\r') {
        answer.pop_back();
    }
    return answer == "y" || answer == "yes" ? IDYES : IDNO;
}

} // namespace

BOOL WINAPI DiInstallDriverW(HWND hwndParent, LPCWSTR InfPath, DWORD Flags, BOOL* NeedReboot) {
    return SimInstall(hwndParent, InfPath, Flags, NeedReboot, &lastError);
}

DWORD GetLastError(void) {
    return lastError;
}

DWORD WINAPI DriverPackageUninstallW(LPCWSTR DriverPackageInfPath, DWORD Flags,
                                     const INSTALLERINFO_W* pInstallerInfo, BOOL* pNeedReboot) {
    return SimUninstall(DriverPackageInfPath, Flags, pInstallerInfo, pNeedReboot);
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    int answer;
    return SimAsk(hWnd, lpText, lpCaption, uType, &answer) ? answer
                                                           : AskTerminal(lpText, lpCaption);
}

// The host keeps no store: any regular file stages, and is removed, as a package.
DWORD SimStage(LPCWSTR infPath) {
    struct stat status;
    bool file =
        stat(EncodeSurrogateEscaped(infPath).c_str(), &status) == 0 && S_ISREG(status.st_mode);
    return file ? 0 : 2;
}

DWORD SimUnstage(LPCWSTR infPath) {
    return SimStage(infPath);
}
