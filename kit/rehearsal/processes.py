"""A case's processes: every one it starts, Windows children included, carries its mark; found
through /proc, ended within bounds, and what would not die reported."""
import os
import signal
import subprocess
import time

# Every process a case starts, Windows children included, carries this in its environment.
CASE_MARK = "VARNHOLT_REHEARSAL_CASE"


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def processes(wine, case=None):
    """{pid: command line} of the prefix's processes, but the server's: only those of one
    case when given."""
    return {pid: command for pid, command in prefix_processes(wine, case).items()
            if "wineserver" not in command}


def prefix_processes(wine, case=None):
    """{pid: command line} of every process of the prefix, or of one case."""
    prefix = f"WINEPREFIX={wine.env['WINEPREFIX']}".encode()
    mark = f"{CASE_MARK}={case}".encode()
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = f.read().split(b"\0")
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if prefix in environ and (case is None or mark in environ):
            found[int(pid)] = command
    return found


def kill_case(wine, process, case):
    """Kills what is left of a case: its process group, then every process that carries its
    mark. Returns whether all of it is gone within a bound."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    return kill_found(wine, case)


def kill_found(wine, case=None):
    """Kills every process of the prefix but its server, or of one case, as /proc shows them.
    Returns whether all of them are gone within a bound."""
    for pid in processes(wine, case):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return wait_for(lambda: not processes(wine, case), 5)


def survivors(wine, process, case):
    """What of a case would not die, its own process included."""
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    left = list(processes(wine, case).values())
    if process.returncode is None:
        left.append(" ".join(map(str, process.args)))
    return left
