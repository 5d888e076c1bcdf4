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


def processes(session, case=None):
    """{pid: command line} of the prefix's processes, but the server's: only those of one
    case when given."""
    prefix = f"WINEPREFIX={session.env['WINEPREFIX']}".encode()
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
        if prefix in environ and (case is None or mark in environ) and \
                "wineserver" not in command:
            found[int(pid)] = command
    return found


def end_case(session, process, case):
    """Ends what is left of a case: its process group, then every process that carries its mark,
    then, if any would not die, the prefix's server and all. Returns what would not die."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    for pid in processes(session, case):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if not wait_for(lambda: not processes(session, case), 5):
        session.restart()
        wait_for(lambda: not processes(session, case), 5)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    survivors = list(processes(session, case).values())
    if process.returncode is None:
        survivors.append(" ".join(map(str, process.args)))
    return survivors
