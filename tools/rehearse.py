#!/usr/bin/env python3
"""Rehearses a setup program's driver paths under Wine, with the stand-in driver services that
its test build bundles beside varnholt.exe.

    rehearse.py SETUP.exe CASES.json [-k TEXT]... [--timeout SECONDS]

Each case of the table runs the setup (or, with "run", another program it installed) in a Wine
prefix without a display of its own, on an Xvfb display, with the stand-ins' outcomes set and
Varnholt's questions answered in order. Prints one line per failed case and a closing
'N passed, N failed' line; exits 0 when all passed, 1 when any failed or Wine cannot run here,
2 when the table has an error (found before anything runs)."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

WINE32, WINE64 = "/usr/lib/wine/wine", "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
QUESTION_WINDOW = "^Error$"
TRACE = re.compile(r'^[0-9a-f]+:trace:msgbox:MSGBOX_OnInit L"(.*)"$')


def machine(path):
    """'x64' for a 64-bit PE image, else 'x86'."""
    with open(path, "rb") as f:
        head = f.read(4096)
    offset = int.from_bytes(head[0x3C:0x40], "little")
    return "x64" if head[offset + 4:offset + 6] == b"\x64\x86" else "x86"


def windows_path(path):
    """The Wine path of a Linux path, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """One Wine prefix and one Xvfb display for a whole run, both removed afterwards."""

    def __init__(self, winearch="win64"):
        self.winearch = winearch
        self.folder = tempfile.mkdtemp(prefix="varnholt-wine-")
        self.xvfb = None
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.folder,
            "LANG": "C.UTF-8", "WINEPREFIX": os.path.join(self.folder, "prefix"),
            "WINEARCH": winearch, "WINEDLLOVERRIDES": "mscoree=d;mshtml=d", "WINEDEBUG": "-all",
            # Where the kernel cannot run 32-bit code, Wine's x86 loader runs under qemu-i386.
            # A guest address space just over 2 GiB keeps Wine's reservation of the space
            # above it from probing it 64 KiB at a time, which takes a minute per start.
            "QEMU_RESERVED_VA": "0x81000000",
        }

    def loader(self, exe):
        return WINE64 if self.winearch == "win64" and machine(exe) == "x64" else WINE32

    def __enter__(self):
        loader = WINE64 if self.winearch == "win64" else WINE32
        missing = [t for t in (loader, WINESERVER, shutil.which("Xvfb"), shutil.which("xdotool"))
                   if not t or not os.access(t, os.X_OK)]
        if missing or subprocess.run([loader, "--version"], capture_output=True).returncode:
            shutil.rmtree(self.folder)
            raise SystemExit(f"Wine cannot run here ({loader}): it needs wine, wine32:i386, "
                             "wine64, xvfb and xdotool")
        try:
            self.start(loader)
        except BaseException:
            self.__exit__()
            raise
        return self

    def quiet(self, *command, timeout=120):
        # Wine's background processes keep any pipe they inherit open: none is given to them.
        subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=True)

    def start(self, loader):
        # The prefix is made without a display, so that no first-run dialog waits on it; its
        # server then ends, and a lasting one starts with the display, for the message boxes.
        os.mkdir(self.env["WINEPREFIX"])
        self.quiet(loader, "wineboot", "-i", timeout=600)
        self.quiet(WINESERVER, "-w")
        # The display listens only on its socket in /tmp: Xvfb picks a number that is free in
        # this /tmp, and an abstract socket of that number would be shared with other roots.
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp", "-nolisten", "local"],
                                     pass_fds=(write,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.env["DISPLAY"] = ":" + f.readline().strip()
        self.quiet(WINESERVER, "-p")

    def end_everything(self):
        """Ends every process of the prefix: Wine starts a program's Windows children in
        sessions of their own, out of reach of a signal to the parent's process group."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def drive_c(self, path):
        """The Linux path of a C: path inside the prefix."""
        rest = re.sub(r"^[Cc]:\\", "", path).replace("\\", "/")
        return os.path.join(self.env["WINEPREFIX"], "drive_c", rest)

    def native_services(self, missing=()):
        """The environment in which Wine takes the newdev.dll and DIFxAPI.dll found beside a
        program over its own, and in which those named in `missing` cannot be loaded at all."""
        state = {"newdev": "n", "difxapi": "n"}
        for dll in missing:
            state[dll.lower().removesuffix(".dll")] = ""
        overrides = ";".join(f"{dll}={how}" for dll, how in state.items())
        return dict(self.env, WINEDLLOVERRIDES=self.env["WINEDLLOVERRIDES"] + ";" + overrides)

    def stage(self, exe, standins, folder, omit=()):
        """Copies an image and its stand-ins into folder, and returns the environment in which
        Wine takes the stand-ins over its own newdev.dll and difxapi.dll."""
        shutil.copy(exe, os.path.join(folder, "varnholt.exe"))
        for dll in ("newdev.dll", "DIFxAPI.dll"):
            if dll not in omit:
                shutil.copy(os.path.join(standins, dll), os.path.join(folder, dll))
        return self.native_services()

    def __exit__(self, *exc):
        self.end_everything()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=30)
        shutil.rmtree(self.folder, ignore_errors=True)


def xdotool(session, *args):
    result = subprocess.run(["xdotool", *args], env=session.env, capture_output=True, text=True,
                            timeout=30)
    return result.stdout.split()


def unescape_trace(text):
    return re.sub(r'\\(.)', lambda m: {"n": "\n", "t": "\t"}.get(m[1], m[1]), text)


def run_answering(session, command, folder, env, answers, timeout, stdout=None):
    """Runs a Windows program and answers Varnholt's questions in order: "yes" or "no". A
    question beyond the answers is answered No and reported. Past `timeout` seconds every
    process of the prefix is ended. Returns the exit status, stdout and stderr (less the
    question traces), the texts of the questions shown, and the problems met."""
    env = dict(env, WINEDEBUG=env.get("WINEDEBUG", "-all") + ",+msgbox")
    captured = {n: open(os.path.join(folder, n), "w+b") for n in ("stdout", "stderr")}
    streams = dict(captured, **({} if stdout is None else {"stdout": stdout}))
    process = subprocess.Popen(command, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                               start_new_session=True, **streams)
    answered, problems = [], []
    deadline = time.monotonic() + timeout
    while process.poll() is None:
        if time.monotonic() > deadline:
            problems.append(f"still running after {timeout:g} s")
            session.end_everything()
            session.quiet(WINESERVER, "-p")
            break
        boxes = [w for w in xdotool(session, "search", "--name", QUESTION_WINDOW)
                 if w not in answered]
        if boxes:
            expected = len(answered) < len(answers)
            if not expected:
                problems.append("a question that was not expected")
            key = "y" if expected and answers[len(answered)] == "yes" else "n"
            xdotool(session, "key", "--window", boxes[0], key)
            answered.append(boxes[0])
        time.sleep(0.1)
    process.wait()
    output = {}
    for name, stream in captured.items():
        stream.seek(0)
        output[name] = stream.read() if streams[name] is stream else b""
        stream.close()
    lines = output["stderr"].decode("utf-8", "replace").splitlines()
    questions = [unescape_trace(m[1]) for m in map(TRACE.match, lines) if m]
    stderr = "".join(line + "\n" for line in lines if not TRACE.match(line))
    return {"status": process.returncode, "stdout": output["stdout"], "stderr": stderr,
            "questions": questions, "problems": problems}


# The table of a setup's cases.
CASE_KEYS = {
    "name": str, "args": list, "run": str, "prepare": list, "winearch": str,
    "install": str, "uninstall": str, "missing": list, "answers": list, "status": int,
    "present": list, "absent": list, "machines": dict, "calls": list,
}
KINDS = {str: "a string", list: "a list", int: "a number", dict: "an object"}


def is_code(text):
    """A code as the stand-ins take it: decimal or 0x-hex, 0 to 0xFFFFFFFF."""
    hexadecimal = text[:2] in ("0x", "0X")
    digits = text[2:] if hexadecimal else text
    valid = re.fullmatch("[0-9a-fA-F]+" if hexadecimal else "[0-9]+", digits)
    return bool(valid) and int(digits, 16 if hexadecimal else 10) <= 0xFFFFFFFF


def table_errors(cases):
    """Every error of the table, each naming its case."""
    errors, names = [], set()
    for index, case in enumerate(cases):
        name = case.get("name") if isinstance(case, dict) else None
        title = f"case {name!r}" if isinstance(name, str) else f"case {index + 1}"
        if not isinstance(case, dict):
            errors.append(f"{title}: not an object")
            continue
        for key, value in case.items():
            if key not in CASE_KEYS:
                errors.append(f"{title}: unknown key {key!r}")
            elif not isinstance(value, CASE_KEYS[key]) or isinstance(value, bool):
                errors.append(f"{title}: {key} must be {KINDS[CASE_KEYS[key]]}")
            elif isinstance(value, list) and not all(isinstance(v, str) for v in value):
                errors.append(f"{title}: {key} must list strings")
        for key in ("name", "args", "status"):
            if key not in case:
                errors.append(f"{title}: {key} is missing")
        if isinstance(name, str) and name in names:
            errors.append(f"{title}: a second case of that name")
        names.add(str(name))
        checks = [
            ("winearch", lambda v: v in ("win32", "win64"), "win32 or win64"),
            ("install", lambda v: all(i == "ok" or is_code(i) for i in v.split(",")),
             "ok or error codes, comma-separated"),
            ("uninstall", is_code, "an error code"),
            ("answers", lambda v: all(a in ("yes", "no") for a in v), "yes or no each"),
            ("missing", lambda v: all(d in ("newdev.dll", "DIFxAPI.dll") for d in v),
             "newdev.dll or DIFxAPI.dll each"),
            ("machines", lambda v: all(m in ("x86", "x64") for m in v.values()),
             "x86 or x64 for each path"),
        ]
        for key, valid, what in checks:
            value = case.get(key)
            if isinstance(value, CASE_KEYS[key]) and not valid(value):
                errors.append(f"{title}: {key} must be {what}, not {value!r}")
    return errors


def read_log(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "surrogateescape").splitlines()
    except FileNotFoundError:
        return []


def run_case(session, setup, case, number, timeout):
    folder = f"C:\\cases\\{number}"

    def fill(text):
        return text.replace("{folder}", folder)

    problems = []
    with tempfile.TemporaryDirectory(prefix="varnholt-rehearse-") as work:
        log = os.path.join(work, "calls.log")

        def services(missing=()):
            return dict(session.native_services(missing), VARNHOLT_SIM_LOG=windows_path(log))

        if "prepare" in case:
            got = run_answering(session, [session.loader(setup), setup,
                                          *map(fill, case["prepare"])], work, services(), [],
                                timeout)
            if got["status"] != 0 or got["problems"]:
                return [f"preparing: status {got['status']}"] + got["problems"]
            if os.path.exists(log):
                os.remove(log)
        env = services(case.get("missing", ()))
        for key in ("install", "uninstall"):
            if key in case:
                env[f"VARNHOLT_SIM_{key.upper()}"] = case[key]
        program = session.drive_c(fill(case["run"])) if "run" in case else setup
        got = run_answering(session, [session.loader(program), program, *map(fill, case["args"])],
                            work, env, case.get("answers", []), timeout)
        problems += got["problems"]
        if len(got["questions"]) < len(case.get("answers", [])):
            problems.append(f"{len(case['answers']) - len(got['questions'])} answer(s) unused")
        if got["status"] != case["status"]:
            problems.append(f"status {got['status']}, expected {case['status']}")
        for path in map(fill, case.get("present", [])):
            if not os.path.exists(session.drive_c(path)):
                problems.append(f"{path} is missing")
        for path in map(fill, case.get("absent", [])):
            if os.path.exists(session.drive_c(path)):
                problems.append(f"{path} was left")
        for path, want in case.get("machines", {}).items():
            image = session.drive_c(fill(path))
            if not os.path.isfile(image) or machine(image) != want:
                problems.append(f"{fill(path)} is not an {want} image")
        # The log escapes backslashes, so {folder} stands there for the escaped path.
        calls = read_log(log)
        escaped = folder.replace("\\", "\\\\")
        if "calls" in case and calls != [c.replace("{folder}", escaped) for c in case["calls"]]:
            problems.append(f"calls {calls!r}")
        if problems and got["questions"]:
            problems.append(f"questions shown {got['questions']!r}")
    return problems


def rehearse(setup, cases, timeout, patterns=None):
    passed = failed = 0
    chosen = [(n, c) for n, c in enumerate(cases, 1)
              if not patterns or any(p in c["name"] for p in patterns)]
    for winearch in ("win64", "win32"):
        group = [(n, c) for n, c in chosen if c.get("winearch", "win64") == winearch]
        if not group:
            continue
        with WineSession(winearch) as session:
            for number, case in group:
                try:
                    problems = run_case(session, setup, case, number, timeout)
                except Exception as error:  # a run that breaks fails its case, not the table
                    problems = [f"{type(error).__name__}: {error}"]
                if problems:
                    failed += 1
                    print(f"FAIL {case['name']} ({winearch}): {'; '.join(problems)}", flush=True)
                else:
                    passed += 1
    print(f"{passed} passed, {failed} failed")
    return failed == 0 and passed > 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("setup", help="the setup program's test build")
    parser.add_argument("table", help="the JSON table of cases")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="run only the cases whose name contains this (may be repeated)")
    parser.add_argument("--timeout", type=float, default=120, help="seconds one run may take")
    args = parser.parse_args()
    try:
        with open(args.table, encoding="utf-8") as f:
            cases = json.load(f)["cases"]
    except (OSError, ValueError, KeyError, TypeError) as error:
        print(f"{args.table}: not a table of cases ({error})")
        return 2
    errors = table_errors(cases) if isinstance(cases, list) else ["cases must be a list"]
    if not os.path.isfile(args.setup):
        errors.append(f"{args.setup}: no such file")
    for error in errors:
        print(f"{args.table}: {error}")
    if errors:
        return 2
    return 0 if rehearse(os.path.abspath(args.setup), cases, args.timeout, args.patterns) else 1


if __name__ == "__main__":
    sys.exit(main())
