// Holds Wine's desktop for the rehearsal runner in a 32-bit prefix. Wine closes a desktop when
// no program of it has a window, and where its desktop program cannot stay (under qemu-i386) the
// next program's window may then find no driver; so this program keeps a window, never shown,
// until the runner ends it. Built for x86, it runs in either kind of prefix.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WNDCLASSW kind = {};
    kind.lpfnWndProc = DefWindowProcW;
    kind.hInstance = instance;
    kind.lpszClassName = L"VarnholtDesktopHolder";
    if (!RegisterClassW(&kind) || !CreateWindowW(kind.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                                 nullptr, nullptr, instance, nullptr))
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
