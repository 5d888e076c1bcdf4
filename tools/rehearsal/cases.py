"""A table's cases, each run in the session with its questions answered and its processes
ended, and checked: status, files, images, the platform calls the stand-ins logged."""
import os
import re
import subprocess
import sys
import tempfile
import time

from . import desktop, staging
from .files import machine, read_log, windows_path
from .processes import CASE_MARK, end_case, processes, wait_for
from .questions import TRACE, Questions, shown, traced
from .session import WineSession

# Wine's own complaints: its err channel, and the loader's lines when a program cannot start.
WINE_ERROR = re.compile(r"^([0-9a-f]+:err:|wine: )")
# A logged call's INF path, backslashes escaped; a full one starts with a drive or a UNC server.
INF = re.compile(r'^(\w+) .*?inf="((?:[^"\\]|\\.)*)"')
FULL = re.compile(r"[A-Za-z]:\\\\|\\\\\\\\")
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
    session.cases += 1
    case = session.cases
    # What the session started is there for every case. Were Wine's services or a held desktop
    # gone, the case would start them anew under its mark, and leave them running or, on a loaded
    # machine, not finish starting them in time.
    lost = desktop.lost(session)
    if lost:
        print(f"note: {lost} had ended before case {case}; Wine was started again",
              file=sys.stderr, flush=True)
        session.restart()
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
        survivors = end_case(session, process, case)
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


def relative_infs(calls):
    """Problems for the calls given an INF path that is not fully qualified: Windows' calls
    take only a full path, though Wine and the stand-ins accept a relative one."""
    problems = []
    for found in filter(None, map(INF.match, calls)):
        function, path = found[1], re.sub(r"\\(.)", r"\1", found[2])
        if not FULL.match(found[2]):
            problems.append(f'{function} was given the INF path "{path}", which is not fully '
                            'qualified: Windows takes only a full path (a case that means it '
                            'says "relative_inf": true)')
    return problems


def command(session, program, args):
    """A program's command; a Windows Installer package runs through msiexec, to which the
    arguments go, {setup} in them naming the package."""
    if program.lower().endswith(".msi"):
        return [*session.loader(), "msiexec", *args]
    return [*session.loader(program), program, *args]


def run_case(session, setup, case, number, timeout):
    """The problems of one case, and Wine's own lines from its runs."""
    folder = f"C:\\cases\\{number}"
    timeout = case.get("timeout", timeout)

    def fill(text):
        return text.replace("{folder}", folder).replace("{setup}", windows_path(setup))

    problems, wine_lines = [], []
    with tempfile.TemporaryDirectory(prefix="varnholt-rehearse-", dir=session.scratch()) as work:
        log = os.path.join(work, "calls.log")

        def services(missing=()):
            return dict(staging.native_services(session, missing),
                        VARNHOLT_SIM_LOG=windows_path(log))

        if "prepare" in case:
            got = run_answering(session, command(session, setup, map(fill, case["prepare"])),
                                work, services(), [], timeout)
            if got["status"] != 0 or got["problems"]:
                return [f"preparing: status {got['status']}", *got["problems"], said(got)], \
                    got["wine_errors"]
            wine_lines = got["wine_errors"]
            if os.path.exists(log):
                os.remove(log)
        env = services(case.get("missing", ()))
        for key in ("install", "uninstall"):
            if key in case:
                env[f"VARNHOLT_SIM_{key.upper()}"] = case[key]
        program = staging.drive_c(session, fill(case["run"])) if "run" in case else setup
        got = run_answering(session, command(session, program, map(fill, case["args"])),
                            work, env, case.get("answers", []), timeout)
        problems += got["problems"]
        wine_lines += got["wine_errors"]
        if len(got["questions"]) < len(case.get("answers", [])):
            problems.append(f"{len(case['answers']) - len(got['questions'])} answer(s) unused")
        if got["status"] != case["status"]:
            problems.append(f"status {got['status']}, expected {case['status']}")
            problems += did_not_start(got)
        for path in map(fill, case.get("present", [])):
            if not os.path.exists(staging.drive_c(session, path)):
                problems.append(f"{path} is missing")
        for path in map(fill, case.get("absent", [])):
            if os.path.exists(staging.drive_c(session, path)):
                problems.append(f"{path} was left")
        for path, want in case.get("machines", {}).items():
            image = staging.drive_c(session, fill(path))
            if not os.path.isfile(image) or machine(image) != want:
                problems.append(f"{fill(path)} is not an {want} image")
        # The log escapes backslashes, so {folder} stands there for the escaped path.
        calls = read_log(log)
        escaped = folder.replace("\\", "\\\\")
        if "calls" in case and calls != [c.replace("{folder}", escaped) for c in case["calls"]]:
            problems.append(f"calls {calls!r}")
        if not case.get("relative_inf"):
            problems += relative_infs(calls)
        if problems and got["questions"]:
            problems.append(f"questions shown {got['questions']!r}")
        # What the case left installed is removed, so that the next case starts afresh.
        if "cleanup" in case:
            got = run_answering(session, command(session, setup, map(fill, case["cleanup"])),
                                work, services(), [], timeout)
            problems += [f"cleaning up: {p}" for p in got["problems"]]
    return problems, wine_lines


def beside_setup(setup, case):
    """The other setup a case names, in the given setup's folder."""
    return os.path.join(os.path.dirname(setup), case["setup"])


def rehearse(setup, chosen, timeout, root, report):
    """Runs the chosen cases, (number, case) each, the 64-bit ones first, into the report."""
    for winearch in ("win64", "win32"):
        group = [(n, c) for n, c in chosen if c.get("winearch", "win64") == winearch]
        if not group:
            continue
        with WineSession(winearch, root) as session:
            # The root sees this machine's /tmp only: the setup goes into the session's folder.
            program = staging.visible(session, setup)
            for number, case in group:
                report.start(case["name"])
                try:
                    chosen_setup = staging.visible(session, beside_setup(setup, case)) \
                        if "setup" in case else program
                    problems, wine_lines = run_case(session, chosen_setup, case, number, timeout)
                except Exception as error:  # a run that breaks fails its case, not the table
                    problems, wine_lines = [f"{type(error).__name__}: {error}"], []
                report.finish(winearch, problems, wine_lines)
