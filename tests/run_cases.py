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

HERE = os.path.dirname(os.path.abspath(__file__))

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


def load_cases(path=os.path.join(HERE, "cases.json")):
    with open(path, encoding="utf-8") as f:
        groups = json.load(f)["groups"]
    return [(group, case) for group, cases in groups.items() for case in cases]


def fs(text):
    """Bytes of a path or argument; lone surrogates in the table stand for raw bytes."""
    return os.fsencode(text)


def make_files(folder, case):
    for name in case.get("files", []):
        path = os.path.join(os.fsencode(folder), fs(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "wb").close()


def case_env(case, folder):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VARNHOLT_SIM_")}
    env = {os.fsencode(k): os.fsencode(v) for k, v in env.items()}
    for key, name in SETTINGS.items():
        if key in case:
            env[name.encode()] = case[key].encode()
    env[b"VARNHOLT_SIM_LOG"] = os.path.join(os.fsencode(folder), b"calls.log")
    return env


def read_log(folder):
    try:
        with open(os.path.join(folder, "calls.log"), "rb") as f:
            return f.read().decode("utf-8", "surrogateescape").splitlines()
    except FileNotFoundError:
        return []


class Host:
    name = "host"

    def __init__(self, exe):
        self.exe = os.path.abspath(exe)

    def expected_calls(self, case):
        return [BOX_LOG_LINES.get(call, call) for call in case["calls"]]

    def run(self, case, folder):
        # A new session has no controlling terminal, so a question beyond the listed answers
        # fails at once instead of waiting on the terminal running the tests.
        result = subprocess.run([fs(self.exe)] + [fs(a) for a in case["args"]], cwd=folder,
                                env=case_env(case, folder), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=30, start_new_session=True)
        return {"status": result.returncode, "stdout": result.stdout,
                "stderr": result.stderr.decode("utf-8", "replace"), "calls": read_log(folder)}

    def expected(self, case):
        return {"status": case["status"], "stdout": case["stdout"].encode(),
                "stderr": case.get("stderr", ""), "calls": self.expected_calls(case)}


class WineSession:
    """One Wine prefix and one Xvfb display for a whole run, both removed afterwards."""

    def __init__(self, arch):
        self.loader = {"x86": "/usr/lib/wine/wine", "x64": "/usr/lib/wine/wine64"}[arch]
        self.server = "/usr/lib/wine/wineserver"
        self.folder = tempfile.mkdtemp(prefix="varnholt-wine-")
        self.xvfb = None
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.folder,
            "LANG": "C.UTF-8", "WINEPREFIX": os.path.join(self.folder, "prefix"),
            "WINEDLLOVERRIDES": "mscoree=d;mshtml=d", "WINEDEBUG": "-all",
            # Where the kernel cannot run 32-bit code, Wine's x86 loader runs under qemu-i386.
            # A guest address space just over 2 GiB keeps Wine's reservation of the space
            # above it from probing it 64 KiB at a time, which takes a minute per start.
            "QEMU_RESERVED_VA": "0x81000000",
        }

    def __enter__(self):
        missing = [t for t in (self.loader, self.server, shutil.which("Xvfb"), shutil.which("xdotool"))
                   if not t or not os.access(t, os.X_OK)]
        if missing or subprocess.run([self.loader, "--version"], capture_output=True).returncode:
            shutil.rmtree(self.folder)
            raise SystemExit(f"Wine cannot run here ({self.loader}); tools/check.sh installs it")
        try:
            self.start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def start(self):
        # Wine's background processes keep any pipe they inherit open: none is given to them.
        quiet = {"env": self.env, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                 "stderr": subprocess.DEVNULL}
        # The prefix is made without a display, so that no first-run dialog waits on it; its
        # server then ends, and a lasting one starts with the display, for the message boxes.
        os.mkdir(self.env["WINEPREFIX"])
        subprocess.run([self.loader, "wineboot", "-i"], check=True, timeout=600, **quiet)
        subprocess.run([self.server, "-w"], check=True, timeout=120, **quiet)
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"], pass_fds=(write,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.env["DISPLAY"] = ":" + f.readline().strip()
        subprocess.run([self.server, "-p"], check=True, timeout=60, **quiet)

    def stage(self, exe, standins, folder, omit=()):
        """Copies the image and its stand-ins into folder, and returns the environment in which
        Wine takes the stand-ins over its own newdev.dll and difxapi.dll."""
        shutil.copy(exe, os.path.join(folder, "varnholt.exe"))
        for dll in ("newdev.dll", "DIFxAPI.dll"):
            if dll not in omit:
                shutil.copy(os.path.join(standins, dll), os.path.join(folder, dll))
        return dict(self.env, WINEDLLOVERRIDES=self.env["WINEDLLOVERRIDES"] + ";newdev=n;difxapi=n")

    def __exit__(self, *exc):
        subprocess.run([self.server, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
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


class Wine:
    """Runs a Windows image beside the stand-in services, answering its real message boxes."""
    name = "wine"
    TRACE = re.compile(r'^[0-9a-f]+:trace:msgbox:MSGBOX_OnInit L"(.*)"$')

    def __init__(self, exe, standins, session, timeout):
        self.exe, self.standins, self.session, self.timeout = exe, standins, session, timeout

    def run(self, case, folder):
        env = self.session.stage(self.exe, self.standins, folder, case.get("omit", ()))
        env.update({k.decode(): v.decode() for k, v in case_env(case, folder).items()
                    if k.startswith(b"VARNHOLT_SIM_")})
        env["VARNHOLT_SIM_LOG"] = "calls.log"
        answers = [a for a in case.get("answers", "").split(",") if a]
        # The opposite answers, to show that the images never read them.
        env["VARNHOLT_SIM_ANSWERS"] = ",".join({"yes": "no", "no": "yes"}[a]
                                               for a in answers) or "no"
        env["WINEDEBUG"] = case.get("winedebug", "-all,+msgbox")
        streams = {n: open(os.path.join(folder, n), "w+b") for n in ("stdout", "stderr")}
        process = subprocess.Popen([self.session.loader, "varnholt.exe", *case["args"]],
                                   cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                   start_new_session=True, **streams)
        answered, problems = [], []
        deadline = time.monotonic() + self.timeout
        while process.poll() is None:
            if time.monotonic() > deadline:
                os.killpg(process.pid, signal.SIGKILL)
                problems.append(f"still running after {self.timeout} s")
                break
            boxes = [w for w in xdotool(self.session, "search", "--name", "^Error$")
                     if w not in answered]
            if boxes:
                expected = len(answered) < len(answers)
                if not expected:
                    problems.append("a box that was not expected")
                key = "y" if expected and answers[len(answered)] == "yes" else "n"
                xdotool(self.session, "key", "--window", boxes[0], key)
                answered.append(boxes[0])
            time.sleep(0.1)
        process.wait()
        output = {}
        for name, stream in streams.items():
            stream.seek(0)
            output[name] = stream.read()
            stream.close()
        stderr = output["stderr"].decode("utf-8", "replace").splitlines()
        texts = [unescape_trace(m[1]) for m in map(self.TRACE.match, stderr) if m]
        rest = [line for line in stderr if not self.TRACE.match(line)]
        got = {"status": process.returncode, "stdout": output["stdout"], "calls": read_log(folder),
               "boxes": texts, "answered": len(answered)}
        if "stderr_like" in case:
            got["stderr_like"] = bool(re.fullmatch(case["stderr_like"], "\n".join(rest)))
        else:
            got["stderr"] = "".join(line + "\n" for line in rest)
        if problems:
            got["error"] = "; ".join(problems)
        return got

    def expected(self, case):
        boxes = [BOXES[c] for c in case["calls"] if c in BOXES]
        want = {"status": case["status"], "stdout": case["stdout"].replace("\n", "\r\n").encode(),
                "calls": [c for c in case["calls"] if c not in BOXES], "boxes": boxes,
                "answered": len(boxes)}
        if "stderr_like" in case:
            want["stderr_like"] = True
        else:
            want["stderr"] = case.get("stderr", "")
        return want


def run_table(target, pattern=None):
    passed = failed = skipped = 0
    for group, case in load_cases():
        title = f"{group}: {case['name']}"
        if pattern and pattern not in title:
            continue
        if target.name not in case.get("only", ["host", "wine"]):
            skipped += 1
            continue
        with tempfile.TemporaryDirectory(prefix="varnholt-case-") as folder:
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
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe", help="the built program")
    parser.add_argument("-k", dest="pattern", help="run only cases whose group: name contains this")
    parser.add_argument("--wine", choices=["x86", "x64"], help="run a Windows image under Wine")
    parser.add_argument("--standins", help="with --wine: the folder of the stand-in DLLs")
    parser.add_argument("--timeout", type=float, default=120, help="seconds one Wine run may take")
    args = parser.parse_args()
    if not args.wine:
        return 0 if run_table(Host(args.exe), args.pattern) else 1
    started = time.monotonic()
    with WineSession(args.wine) as session:
        ok = run_table(Wine(os.path.abspath(args.exe), args.standins, session, args.timeout),
                       args.pattern)
    print(f"wine {args.wine}: {time.monotonic() - started:.0f} s in all")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
