"""The session's display and Wine's desktop on it: Xvfb, Wine's services and desktop started by
the session itself, so that every other process of the prefix belongs to a case, and checked
before each case."""
import fcntl
import os
import select
import subprocess
import sys
import time

from .files import WINE32, WINE64, WINESERVER, desktop_holder
from .processes import processes, wait_for

# How often a session starts Wine's desktop before it gives up.
DESKTOP_TRIES = 3
# How many display numbers a session tries, and how long Xvfb may take to start.
DISPLAYS, XVFB_BOUND = 100, 60
# How long Wine may take to answer a question about a drive; it takes 2 s under qemu-i386.
DRIVES_BOUND = 60


def start_display(session):
    """Starts the session's Xvfb display and names it in the session's environment. The display
    listens only on its socket in /tmp: an abstract socket of its number would be shared with
    other roots. Listening so, Xvfb cannot tell a number in use from a free one (it takes the
    socket of a display still running), so the session reserves its number itself, with a lock
    held for its whole life in /tmp, where every session on this machine looks."""
    for number in range(DISPLAYS):
        lock = reserve(number)
        if lock:
            break
    else:
        raise SystemExit(f"no display number below {DISPLAYS} is free in /tmp")
    session.display_lock = lock
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
    session.env["DISPLAY"] = f":{number}"
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


def serve(session, loader=None):
    """A lasting server with the display, and Wine's services and desktop started by the
    session, not by a case. Wine closes a desktop a second after its last program ends, and
    a program that starts meanwhile finds no desktop: its questions cannot be shown. So the
    session keeps a program of its own on the desktop (see holder).
    On a loaded machine the desktop's start can fail and leave every later window without
    a driver; so a window is made for a test, and the server started again if that fails.
    A desktop that is not held is settled instead (see settle)."""
    loader = loader or session.loader()
    for attempt in range(DESKTOP_TRIES):
        if attempt:
            session.end_everything()
        session.held = session.settled = False
        session.quiet(*session.tool(WINESERVER), "-p")
        session.holder = subprocess.Popen(
            [*loader, holder(session)], env=session.env, cwd=session.folder, stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        if not wait_for(lambda: desktop(session), 300) or not windows_work(session):
            why = "its desktop did not start"
            continue
        # Held when it outlives the test window by more than Wine's second.
        time.sleep(3)
        session.held = desktop(session)
        # The holder must have outlived all this: on an oversubscribed machine it was seen
        # to end meanwhile (a window it could not make, most likely).
        if not (session.held or settle(session)) or session.holder.poll() is not None:
            why = "its desktop did not stay"
        elif not drives_answer(session, loader):
            why = f"its drives did not answer within {DRIVES_BOUND} s"
        else:
            return
    raise SystemExit(f"Wine did not start in {DESKTOP_TRIES} tries: {why}")


def drives_answer(session, loader):
    """Whether Wine's mount manager answers a question about a drive, as it must for every
    installer's first look at its source (GetDriveType). Under qemu-i386, the device manager
    that holds it was seen to start and never answer: each such call, and its case, waited for
    ever."""
    try:
        session.quiet(*loader, "cmd", "/c", "vol", "C:", timeout=DRIVES_BOUND, check=False)
    except subprocess.TimeoutExpired:
        return False
    return True


def holder(session):
    """The program the session keeps on the desktop: a command prompt waiting for input holds a
    64-bit prefix's desktop, but not a 32-bit one's, which needs a program with a window."""
    if session.winearch == "win64" or session.wrap:
        return "cmd"
    program = desktop_holder()
    if not os.path.isfile(program):
        print(f"note: {program} is not there: the desktop of this 32-bit prefix is not held",
              file=sys.stderr, flush=True)
        return "cmd"
    return program


def settle(session):
    """Whether windows still work once the desktop has settled, where its program could not be
    kept. Under qemu-i386 a fault in one of the threads of Wine's 32-bit desktop program ends it
    within seconds; the desktop it made stays, kept by the session's holder, and later programs
    use it without starting another. So that no case's program starts on a desktop being made
    or closed, the session waits for that program to end and makes the window test again, until
    a test starts none. Where each test starts one (no holder), the session goes on with a note:
    then each case's program starts the desktop anew."""
    for _ in range(DESKTOP_TRIES):
        if not wait_for(lambda: not desktop(session), 60):
            break
        said = window_test(session)
        if not windows_work(session, said):
            return False
        if b"explorer.exe" not in said:
            session.settled = True
            return True
    print("note: Wine's desktop was neither held nor settled: each program starts it anew",
          file=sys.stderr, flush=True)
    return True


def desktop(session):
    """Whether Wine's desktop is running."""
    return any("explorer.exe" in c for c in processes(session).values())


def lost(session):
    """What of the session's own start has ended: its holder of the desktop, Wine's services, the
    desktop it holds, or the one it settled (then made anew by a program)."""
    commands = " ".join(processes(session).values())
    gone = [what for what, there in (
        ("the program that holds the desktop", session.holder.poll() is None),
        ("Wine's services", "services.exe" in commands),
        ("Wine's desktop", not session.held or "explorer.exe" in commands),
        ("the settled desktop", not session.settled or "explorer.exe" not in commands))
            if not there]
    return " and ".join(gone)


def window_test(session):
    """What Wine says while programs of both kinds the prefix runs make a window (rundll32 makes
    a hidden one): on its err channel, that there is no driver for it; on its process channel,
    what programs they start. None when a test outlives its bound."""
    loaders = [WINE64] if session.wrap else (WINE32, WINE64)[:1 + (session.winearch == "win64")]
    said = b""
    for loader in loaders:
        log = os.path.join(session.folder, "window-test.err")
        with open(log, "wb") as err:
            try:
                subprocess.run([*session.tool(loader), "rundll32", "user32.dll,MessageBeep"],
                               env=dict(session.env, WINEDEBUG="-all,err+all,+process"),
                               cwd=session.folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=err, timeout=60)
            except subprocess.TimeoutExpired:
                return None
        with open(log, "rb") as f:
            said += f.read()
    return said


def windows_work(session, said=None):
    """Whether the window test made its windows."""
    said = window_test(session) if said is None else said
    return said is not None and b":err:winediag:nodrv_" not in said
