#!/usr/bin/env python3
"""Runs the table in cases.json against a built Varnholt and compares stdout bytes, exit status,
the simulated services' call log and stderr. Prints one line per failed case and a closing
'N passed, N failed' line; exits 1 if any case failed."""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "kit"))
from rehearsal.run import did_not_start, run_answering  # noqa: E402
from rehearsal.files import read_log  # noqa: E402
from rehearsal.session import WineSession  # noqa: E402
from rehearsal.staging import native_services  # noqa: E402

FORCE_QUESTION = ("Driver installation failed because a different driver is already installed.\n"
                  "Select Yes to force installation of the drivers on CD.")
CONTINUE_QUESTION = ("Driver installation failed.\n"
                     "It is recommended to continue the software installation.\n"
                     "After installation has finished contact the vendor's support staff.\n"
                     "Select Yes to continue installation of the software.")
BOXES = {"box:force": FORCE_QUESTION, "box:continue": CONTINUE_QUESTION}
BOX_LOG_LINES = {
    "box:force": 'MessageBoxW owner=NULL caption="Error" text="Driver installation failed because a'
                 ' different driver is already installed.\\nSelect Yes to force installation of the'
                 ' drivers on CD." style=0x00000004',
    "box:continue": 'MessageBoxW owner=NULL caption="Error" text="Driver installation failed.\\nIt is'
                    ' recommended to continue the software installation.\\nAfter installation has'
                    ' finished contact the vendor\'s support staff.\\nSelect Yes to continue'
                    ' installation of the software." style=0x00000004',
}
SETTINGS = {"install": "VARNHOLT_SIM_INSTALL", "uninstall": "VARNHOLT_SIM_UNINSTALL",
            "answers": "VARNHOLT_SIM_ANSWERS"}


def stage(session, exe, standins, folder, omit=()):
    """Copies an image and its stand-ins into folder, and returns the environment in which
    Wine takes the stand-ins over its own newdev.dll and difxapi.dll."""
    shutil.copy(exe, os.path.join(folder, "varnholt.exe"))
    for dll in ("newdev.dll", "DIFxAPI.dll"):
        if dll not in omit:
            shutil.copy(os.path.join(standins, dll), os.path.join(folder, dll))
    return native_services(session)

def load_cases(path=os.path.join(HERE, "cases.json")):
    with open(path, encoding="utf-8") as f:
        groups = json.load(f)["groups"]
    return [(group, case) for group, cases in groups.items() for case in cases]


def fs(text):
    """Bytes of a path or argument; lone surrogates in the table stand for raw bytes."""
    return os.fsencode(text)


# What a case's INF holds when it stands for a driver package: a catalog, made beside it.
PACKAGE_INF = b'[Version]\r\nSignature="$WINDOWS NT$"\r\nCatalogFile=pkg.cat\r\n'


def make_files(folder, case):
    """The case's files, empty, or with "package", each a package's INF with its catalog."""
    for name in case.get("files", []):
        path = os.path.join(os.fsencode(folder), fs(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(PACKAGE_INF if case.get("package") else b"")
        if case.get("package"):
            open(os.path.join(os.path.dirname(path), b"pkg.cat"), "wb").close()


def case_env(case, folder):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VARNHOLT_SIM_")}
    env = {os.fsencode(k): os.fsencode(v) for k, v in env.items()}
    for key, name in SETTINGS.items():
        if key in case:
            env[name.encode()] = ",".join([case[key]] * case.get(key + "_repeat", 1)).encode()
    env[b"VARNHOLT_SIM_LOG"] = os.path.join(os.fsencode(folder), b"calls.log")
    return env


@contextmanager
def redirected(case, command):
    """The command, and the stdout it is given, when the case sets one: closed, or a pipe
    whose reader has gone."""
    where = case.get("stdout_to")
    if where == "closed":
        yield ["/bin/sh", "-c", 'exec "$@" >&-', "sh", *command], subprocess.DEVNULL
    elif where == "a pipe with no reader":
        read, write = os.pipe()
        os.close(read)
        with os.fdopen(write, "wb") as pipe:
            yield command, pipe
    else:
        yield command, None


class Host:
    name = "host"

    def __init__(self, exe):
        self.exe = os.path.abspath(exe)

    def expected_calls(self, case):
        return [BOX_LOG_LINES.get(call, call) for call in case["calls"]]

    def run(self, case, folder):
        # A new session has no controlling terminal, so a question beyond the listed answers
        # fails at once instead of waiting on the terminal running the tests.
        with redirected(case, [fs(self.exe)] + [fs(a) for a in case["args"]]) as (command, out):
            result = subprocess.run(command, cwd=folder, env=case_env(case, folder),
                                    stdin=subprocess.DEVNULL, stdout=out or subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=30, start_new_session=True)
        return {"status": result.returncode, "stdout": result.stdout or b"",
                "stderr": result.stderr.decode("utf-8", "replace"),
                "calls": read_log(os.path.join(folder, "calls.log"))}

    def expected(self, case):
        return {"status": case["status"], "stdout": case["stdout"].encode(),
                "stderr": case.get("stderr", ""), "calls": self.expected_calls(case)}


class Wine:
    """Runs a Windows image beside the stand-in services, answering its real message boxes."""
    name = "wine"

    def __init__(self, exe, standins, session, timeout):
        self.exe, self.standins, self.session, self.timeout = exe, standins, session, timeout

    def run(self, case, folder):
        # "none" runs the image against Wine's own newdev.dll and difxapi.dll.
        pair = case.get("standins", "standins")
        omit = ("newdev.dll", "DIFxAPI.dll") if pair == "none" else case.get("omit", ())
        env = stage(self.session, self.exe, os.path.join(self.standins, pair), folder, omit)
        if pair == "none":
            env = dict(self.session.env)
        env.update({k.decode(): v.decode() for k, v in case_env(case, folder).items()
                    if k.startswith(b"VARNHOLT_SIM_")})
        env["VARNHOLT_SIM_LOG"] = "calls.log"
        answers = [a for a in case.get("answers", "").split(",") if a]
        # The opposite answers, to show that the images never read them.
        env["VARNHOLT_SIM_ANSWERS"] = ",".join({"yes": "no", "no": "yes"}[a]
                                               for a in answers) or "no"
        env["WINEDEBUG"] = case.get("winedebug", "-all")
        command = [*self.session.loader(self.exe), "varnholt.exe", *case["args"]]
        with redirected(case, command) as (command, stdout):
            got = run_answering(self.session, command, folder, env, answers, self.timeout,
                                stdout)
        got.update(calls=read_log(os.path.join(folder, "calls.log")), boxes=got.pop("questions"))
        errors = got.pop("wine_errors")
        if "stderr_like" in case:
            stderr = "".join(line + "\n" for line in errors) + got.pop("stderr")
            got["stderr_like"] = bool(re.fullmatch(case["stderr_like"], stderr.rstrip("\n")))
        elif got["status"] != case["status"]:
            got["problems"] += did_not_start(dict(got, wine_errors=errors)) or \
                [f"Wine said: {' | '.join(errors)}"] * bool(errors)
        if got["problems"]:
            got["error"] = "; ".join(got.pop("problems"))
        return got

    def expected(self, case):
        boxes = [BOXES[c] for c in case["calls"] if c in BOXES]
        want = {"status": case["status"], "stdout": case["stdout"].replace("\n", "\r\n").encode(),
                "calls": [c for c in case["calls"] if c not in BOXES], "boxes": boxes}
        if "stderr_like" in case:
            want["stderr_like"] = True
        else:
            want["stderr"] = case.get("stderr", "")
        return want


def run_table(target, pattern=None, scratch=None):
    passed = failed = skipped = 0
    for group, case in load_cases():
        title = f"{group}: {case['name']}"
        if pattern and pattern not in title:
            continue
        if target.name not in case.get("only", ["host", "wine"]):
            skipped += 1
            continue
        with tempfile.TemporaryDirectory(prefix="varnholt-case-", dir=scratch) as folder:
            make_files(folder, case)
            try:
                got = target.run(case, folder)
            except Exception as error:  # a run that breaks fails its case, not the table
                got = {"error": f"{type(error).__name__}: {error}"}
        want = target.expected(case)
        wrong = [k for k in want if got.get(k) != want[k]] + ["error"] * ("error" in got)
        if wrong:
            failed += 1
            print(f"FAIL {title}")
            for key in wrong:
                print(f"  {key}: expected {want.get(key)!r}\n  {' ' * len(key)}  got      {got.get(key)!r}")
        else:
            passed += 1
    closing = f"{passed} passed, {failed} failed"
    print(f"{target.name}: {closing}" + (f", {skipped} skipped" if skipped else ""))
    return failed == 0 and passed > 0


def main():
    # Ended from outside, the runner still ends its prefix's processes and removes its display.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe", help="the built program")
    parser.add_argument("-k", dest="pattern", help="run only cases whose group: name contains this")
    parser.add_argument("--wine", choices=["x86", "x64", "arm64"],
                        help="run a Windows image under Wine")
    parser.add_argument("--standins", help="with --wine: the build folder of the stand-in DLLs")
    parser.add_argument("--arm64-root", metavar="DIR",
                        help="with --wine arm64: the arm64 root whose Wine runs the image")
    parser.add_argument("--winearch", choices=["win64", "win32"], default="win64",
                        help="with --wine x86: the kind of Windows the prefix is")
    parser.add_argument("--timeout", type=float, default=120, help="seconds one Wine run may take")
    args = parser.parse_args()
    if not args.wine:
        return 0 if run_table(Host(args.exe), args.pattern) else 1
    started = time.monotonic()
    with WineSession(args.winearch, args.arm64_root) as session:
        ok = run_table(Wine(os.path.abspath(args.exe), args.standins, session, args.timeout),
                       args.pattern, session.scratch())
    print(f"wine {args.wine}: {time.monotonic() - started:.0f} s in all")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
