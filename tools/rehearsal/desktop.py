"""The session's display and Wine's desktop on it: Xvfb, Wine's services and desktop started by
the session itself, so that every other process of the prefix belongs to a case, and checked
before each case."""
import os
import subprocess
import time

from .files import WINE32, WINE64, WINESERVER
from .processes import processes, wait_for

# How often a session starts Wine's desktop before it gives up.
DESKTOP_TRIES = 3


def start_display(session):
    """Starts the session's Xvfb display and names it in the session's environment."""
    # The display listens only on its socket in /tmp: Xvfb picks a number that is free in
    # this /tmp, and an abstract socket of that number would be shared with other roots.
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp", "-nolisten", "local"], pass_fds=(write,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        session.env["DISPLAY"] = ":" + f.readline().strip()
    return xvfb


def serve(session, loader=None):
    """A lasting server with the display, and Wine's services and desktop started by the
    session, not by a case. Wine closes a desktop a second after its last program ends, and
    a program that starts meanwhile finds no desktop: its questions cannot be shown. So the
    session keeps a program of its own on the desktop, a command prompt waiting for input.
    On a loaded machine the desktop's start can fail and leave every later window without
    a driver; so a window is made for a test, and the server started again if that fails.
    A 32-bit prefix's command prompt does not keep the desktop: there every program starts
    it anew, as Wine does, and the session cannot hold it."""
    loader = loader or session.loader()
    for attempt in range(DESKTOP_TRIES):
        if attempt:
            session.end_everything()
        session.quiet(*session.tool(WINESERVER), "-p")
        session.holder = subprocess.Popen(
            [*loader, "cmd"], env=session.env, cwd=session.folder, stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        if wait_for(lambda: desktop(session), 300) and windows_work(session):
            # Held when it outlives the test window by more than Wine's second.
            time.sleep(3)
            session.held = desktop(session)
            return
    raise SystemExit(f"Wine's desktop did not start in {DESKTOP_TRIES} tries")


def desktop(session):
    """Whether Wine's desktop is running."""
    return any("explorer.exe" in c for c in processes(session).values())


def lost(session):
    """What of the session's own start has ended: its command prompt, Wine's services, or
    the desktop it holds."""
    commands = " ".join(processes(session).values())
    gone = [what for what, there in (
        ("the session's command prompt", session.holder.poll() is None),
        ("Wine's services", "services.exe" in commands),
        ("Wine's desktop", not session.held or "explorer.exe" in commands)) if not there]
    return " and ".join(gone)


def windows_work(session):
    """Whether programs of both kinds the prefix runs can make a window: rundll32 makes a
    hidden one, and Wine says so on its err channel when there is no driver for it."""
    loaders = [WINE64] if session.wrap else (WINE32, WINE64)[:1 + (session.winearch == "win64")]
    for loader in loaders:
        log = os.path.join(session.folder, "window-test.err")
        with open(log, "wb") as err:
            subprocess.run([*session.tool(loader), "rundll32", "user32.dll,MessageBeep"],
                           env=dict(session.env, WINEDEBUG="-all,err+all"), cwd=session.folder,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                           timeout=300)
        with open(log, "rb") as f:
            if b":err:winediag:nodrv_" in f.read():
                return False
    return True
