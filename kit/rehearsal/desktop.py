"""The session's display and Wine's desktop on it: Xvfb, Wine's services and desktop started before
any case, so that every other process of the prefix belongs to a case, and checked before each
case."""
import fcntl
import os
import select
import subprocess
import sys
import time

from .files import WINE32, WINE64, WINESERVER, desktop_holder
from .processes import processes, wait_for

# How often Wine's desktop is started before the session gives up.
DESKTOP_TRIES = 3
# How many display numbers a session tries, and how long Xvfb may take to start.
DISPLAYS, XVFB_BOUND = 100, 60
# How long Wine may take to answer a question about a drive; it takes 2 s under qemu-i386.
DRIVES_BOUND = 60


class Display:
    """An Xvfb display of its own. It listens only on its socket in /tmp: an abstract socket of
    its number would be shared with other roots. Listening so, Xvfb cannot tell a number in use
    from a free one (it takes the socket of a display still running), so the display reserves
    its number itself, with a lock held for its whole life in /tmp, where every session on this
    machine looks."""

    def __init__(self):
        self.xvfb = self.lock = None
        self.name = None

    def start(self):
        for number in range(DISPLAYS):
            self.lock = reserve(number)
            if self.lock:
                break
        else:
            raise SystemExit(f"no display number below {DISPLAYS} is free in /tmp")
        self.xvfb = start_xvfb(number)
        self.name = f":{number}"

    def close(self):
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(timeout=30)
        if self.lock:
            self.lock.close()


def start_xvfb(number):
    """Xvfb on a display number, once it takes connections."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-displayfd", str(write), "-screen", "0",
                             "1024x768x24", "-nolisten", "tcp", "-nolisten", "local"],
                            pass_fds=(write,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write)
    # Xvfb writes its number once it takes connections, and closes the pipe if it ends first.
    with os.fdopen(read, "rb") as f:
        waited = select.select([f], [], [], XVFB_BOUND)[0]
        ready = waited and f.readline().strip()
    if not ready:
        if not waited:
            xvfb.kill()
        status = xvfb.wait(timeout=30)
        raise SystemExit(f"Xvfb did not start on display :{number}: " + (
            f"it ended with status {status}" if waited else f"not ready within {XVFB_BOUND} s"))
    return xvfb


def reserve(number):
    """The lock of a display number, held, or None when another session holds it or another
    server has its socket or lock file there."""
    try:
        lock = open(f"/tmp/.varnholt-display-{number}.lock", "a")
    except OSError:
        return None
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        lock.close()
        return None
    if any(os.path.lexists(p) for p in (f"/tmp/.X11-unix/X{number}", f"/tmp/.X{number}-lock")):
        lock.close()
        return None
    return lock


class Desktop:
    """Wine's services and desktop on a display, started for a prefix's programs (a Wine) before
    any case, and what became of them: held by a program of the desktop's own (see holder), or
    settled (see settle)."""

    def __init__(self, wine):
        self.wine = wine
        self.holder = None
        self.held = self.settled = False

    def serve(self, loader=None):
        """A lasting server with the display, and Wine's services and desktop. Wine closes a
        desktop a second after its last program ends, and a program that starts meanwhile finds
        no desktop: its questions cannot be shown. So the desktop keeps a program of its own.
        On a loaded machine the desktop's start can fail and leave every later window without
        a driver; so a window is made for a test, and the server started again if that fails.
        A desktop that is not held is settled instead."""
        wine = self.wine
        loader = loader or wine.loader()
        for attempt in range(DESKTOP_TRIES):
            if attempt:
                self.end()
            self.held = self.settled = False
            wine.quiet(*wine.tool(WINESERVER), "-p")
            self.holder = subprocess.Popen(
                [*loader, holder(wine)], env=wine.env, cwd=wine.folder, stdin=subprocess.PIPE,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            if not wait_for(lambda: desktop(wine), 300) or not windows_work(wine):
                why = "its desktop did not start"
                continue
            # Held when it outlives the test window by more than Wine's second.
            time.sleep(3)
            self.held = desktop(wine)
            # The holder must have outlived all this: on an oversubscribed machine it was seen
            # to end meanwhile (a window it could not make, most likely).
            if not (self.held or self.settle()) or self.holder.poll() is not None:
                why = "its desktop did not stay"
            elif not drives_answer(wine, loader):
                why = f"its drives did not answer within {DRIVES_BOUND} s"
            else:
                return
        raise SystemExit(f"Wine did not start in {DESKTOP_TRIES} tries: {why}")

    def settle(self):
        """Whether windows still work once the desktop has settled, where its program could not
        be kept. Under qemu-i386 a fault in one of the threads of Wine's 32-bit desktop program ends it
        within seconds; the desktop it made stays, kept by the holder, and later programs
        use it without starting another. So that no case's program starts on a desktop being made
        or closed, the desktop waits for that program to end and makes the window test again, until
        a test starts none. Where each test starts one (no holder), the run goes on with a note:
        then each case's program starts the desktop anew."""
        for _ in range(DESKTOP_TRIES):
            if not wait_for(lambda: not desktop(self.wine), 60):
                break
            said = window_test(self.wine)
            if not windows_work(self.wine, said):
                return False
            if b"explorer.exe" not in said:
                self.settled = True
                return True
        print("note: Wine's desktop was neither held nor settled: each program starts it anew",
              file=sys.stderr, flush=True)
        return True

    def lost(self):
        """What of the start has ended: the holder of the desktop, Wine's services, the desktop
        it holds, or the one it settled (then made anew by a program)."""
        commands = " ".join(processes(self.wine).values())
        gone = [what for what, there in (
            ("the program that holds the desktop", self.holder.poll() is None),
            ("Wine's services", "services.exe" in commands),
            ("Wine's desktop", not self.held or "explorer.exe" in commands),
            ("the settled desktop", not self.settled or "explorer.exe" not in commands))
                if not there]
        return " and ".join(gone)

    def end(self):
        """Ends every process of the prefix, the server and the holder too."""
        self.wine.kill()
        if self.holder:
            self.holder.kill()
            self.holder.wait(timeout=30)
        self.wine.wait_ended()

    def close(self):
        self.end()
        if self.holder:
            self.holder.stdin.close()


def drives_answer(wine, loader):
    """Whether Wine's mount manager answers a question about a drive, as it must for every
    installer's first look at its source (GetDriveType). Under qemu-i386, the device manager
    that holds it was seen to start and never answer: each such call, and its case, waited for
    ever."""
    try:
        wine.quiet(*loader, "cmd", "/c", "vol", "C:", timeout=DRIVES_BOUND, check=False)
    except subprocess.TimeoutExpired:
        return False
    return True


def holder(wine):
    """The program kept on the desktop: a command prompt waiting for input holds a
    64-bit prefix's desktop, but not a 32-bit one's, which needs a program with a window."""
    if wine.winearch == "win64" or wine.wrap:
        return "cmd"
    program = desktop_holder()
    if not os.path.isfile(program):
        print(f"note: {program} is not there: the desktop of this 32-bit prefix is not held",
              file=sys.stderr, flush=True)
        return "cmd"
    return program


def desktop(wine):
    """Whether Wine's desktop is running."""
    return any("explorer.exe" in c for c in processes(wine).values())


def window_test(wine):
    """What Wine says while programs of both kinds the prefix runs make a window (rundll32 makes
    a hidden one): on its err channel, that there is no driver for it; on its process channel,
    what programs they start. None when a test outlives its bound."""
    loaders = [WINE64] if wine.wrap else (WINE32, WINE64)[:1 + (wine.winearch == "win64")]
    said = b""
    for loader in loaders:
        log = os.path.join(wine.folder, "window-test.err")
        with open(log, "wb") as err:
            try:
                subprocess.run([*wine.tool(loader), "rundll32", "user32.dll,MessageBeep"],
                               env=dict(wine.env, WINEDEBUG="-all,err+all,+process"),
                               cwd=wine.folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=err, timeout=60)
            except subprocess.TimeoutExpired:
                return None
        with open(log, "rb") as f:
            said += f.read()
    return said


def windows_work(wine, said=None):
    """Whether the window test made its windows."""
    said = window_test(wine) if said is None else said
    return said is not None and b":err:winediag:nodrv_" not in said
