"""Running one Windows program of a case in the session: its questions answered in order, its
processes ended, and what it printed and left behind gathered."""
import os
import re
import subprocess
import time

from .processes import CASE_MARK, processes, wait_for
from .questions import TRACE, Questions, shown, traced

# Wine's own complaints: its err channel, and the loader's lines when a program cannot start.
WINE_ERROR = re.compile(r"^([0-9a-f]+:err:|wine: )")
# How long what a case's program leaves (Windows children, a question's window) may take to go
# once the program ended: a moment, but on a loaded machine under qemu-i386 many seconds.
SETTLE = 30


def run_answering(session, command, folder, env, answers, timeout, stdout=None):
    """Runs a Windows program and answers Varnholt's questions in order: "yes" or "no". A
    question beyond the answers is answered No and reported. Past `timeout` seconds the case is
    ended. When it ends, nothing of it may be left running or on the display: what is, is ended
    and reported as the case's problem. Returns the exit status, stdout and stderr (less the
    question traces and Wine's own error lines, which come apart), the texts of the questions
    shown, and the problems met."""
    case = session.next_case()
    env = dict(env, WINEDEBUG=env.get("WINEDEBUG", "-all") + ",err+all,+msgbox",
               **{CASE_MARK: str(case)})
    paths = {n: os.path.join(folder, n) for n in ("stdout", "stderr")}
    captured = ("stderr",) if stdout is not None else ("stdout", "stderr")
    questions = Questions(session, answers, paths["stderr"])
    problems = []
    with open(paths["stdout"], "wb") as out, open(paths["stderr"], "wb") as err:
        process = subprocess.Popen(command, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                   stdout=out if stdout is None else stdout, stderr=err,
                                   start_new_session=True)
    try:
        deadline = time.monotonic() + timeout
        while process.poll() is None:
            if time.monotonic() > deadline:
                problems.append(f"still running after {timeout:g} s")
                break
            if not questions.poll():
                break
            time.sleep(0.05)
        else:
            if not wait_for(lambda: not processes(session, case), SETTLE):
                problems.append("left running: " + ", ".join(processes(session, case).values()))
    finally:
        survivors = session.end_case(process, case)
    if survivors:
        problems.append(f"would not die: {', '.join(survivors)}")
    if not wait_for(lambda: not set(shown(session)) - questions.before, SETTLE):
        problems.append("a question stayed on the display")
    output = {}
    for name, path in paths.items():
        with open(path, "rb") as f:
            output[name] = f.read() if name in captured else b""
    lines = output["stderr"].decode("utf-8", "replace").splitlines()
    errors = [line for line in lines if WINE_ERROR.match(line)]
    stderr = "".join(line + "\n" for line in lines
                     if not TRACE.match(line) and not WINE_ERROR.match(line))
    return {"status": process.returncode, "stdout": output["stdout"], "stderr": stderr,
            "wine_errors": errors, "questions": traced(paths["stderr"]),
            "problems": problems + questions.problems}


def did_not_start(got):
    """A note for a failed run that printed nothing and on which Wine had its say."""
    if got["stdout"] or not got["wine_errors"]:
        return []
    return ["did not start: " + " | ".join(got["wine_errors"])]


def said(got):
    """What a run printed, for the line of a run that failed: its last lines and Wine's."""
    printed = got["stdout"].decode("utf-8", "replace").splitlines() + got["stderr"].splitlines()
    lines = [line.strip() for line in printed if line.strip()][-4:] + got["wine_errors"][-4:]
    return "said: " + " | ".join(lines) if lines else "printed nothing"


def command(session, program, args):
    """A program's command; a Windows Installer package runs through msiexec, to which the
    arguments go, {setup} in them naming the package."""
    if program.lower().endswith(".msi"):
        return [*session.loader(), "msiexec", *args]
    return [*session.loader(program), program, *args]
