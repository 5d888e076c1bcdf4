#!/usr/bin/env python3
"""Rehearses a setup program's driver paths under Wine, with the stand-in driver services that
its test build bundles beside varnholt.exe.

    rehearse.py SETUP.exe CASES.json [-k TEXT]... [--timeout SECONDS] [--arm64-root DIR]

Each case of the table runs the setup (or, with "run", another program it installed) in a Wine
prefix without a display of its own, on an Xvfb display, with the stand-ins' outcomes set and
Varnholt's questions answered in order. An ARM64 setup runs under the arm64 Wine of a root
that arm64-root.sh made (--arm64-root). Prints one line per failed case and a closing
'N passed, N failed' line; exits 0 when all passed, 1 when any failed or Wine cannot run here,
2 when the table has an error (found before anything runs)."""
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

WINE32, WINE64 = "/usr/lib/wine/wine", "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
# Beside this file, in the project and in the kit: what runs a command inside an arm64 root,
# and what spares Wine's x86 programs a slow start under qemu-i386.
HERE = os.path.dirname(os.path.abspath(__file__))
ARM64_RUN = os.path.join(HERE, "arm64-run.sh")
RESERVE_SOURCE = os.path.join(HERE, "wine32-reserve.c")
# A folder named here keeps one made prefix per Wine, kind of prefix, user and recipe, copied for
# every later session instead of made anew: making one takes 10 to 35 s, copying it 3. Raise the
# recipe's number whenever make_prefix changes what a prefix holds.
KEPT_PREFIXES, PREFIX_RECIPE = "VARNHOLT_WINE_PREFIXES", 2
# Where tools/check.sh gathers a line for each cached piece it used.
CACHE_REPORT = "VARNHOLT_CACHE_REPORT"
MACHINES = {b"\x4c\x01": "x86", b"\x64\x86": "x64", b"\x64\xaa": "arm64"}
QUESTION_WINDOW = "^Error$"
TRACE = re.compile(r'^[0-9a-f]+:trace:msgbox:MSGBOX_OnInit L"(.*)"$')
# Wine's own complaints: its err channel, and the loader's lines when a program cannot start.
WINE_ERROR = re.compile(r"^([0-9a-f]+:err:|wine: )")
# Every process a case starts, Windows children included, carries this in its environment.
CASE_MARK = "VARNHOLT_REHEARSAL_CASE"
# The most a case may take beyond its own limit: ending it, and waiting for what it left.
GRACE = 20
# How long a question may stay open after its key, and how often the key is pressed at most.
CLOSE_WAIT, PRESSES = 3.0, 5
# How often a session starts Wine's desktop before it gives up.
DESKTOP_TRIES = 3


def machine(path):
    """'x86', 'x64' or 'arm64': the machine of a PE image."""
    with open(path, "rb") as f:
        head = f.read(4096)
    offset = int.from_bytes(head[0x3C:0x40], "little")
    return MACHINES.get(head[offset + 4:offset + 6], "x86")


def in_tmp(path):
    """Whether a path lies in /tmp, the one folder of this machine that an arm64 root sees."""
    return os.path.realpath(path).startswith("/tmp/")


def windows_path(path):
    """The Wine path of a Linux path, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """One Wine prefix and one Xvfb display for a whole run, both removed afterwards. Wine's own
    services and desktop are started by the session itself, so that every other process of the
    prefix belongs to a case."""

    def __init__(self, winearch="win64", root=None):
        self.winearch = winearch
        # Inside an arm64 root every Wine program runs through the wrapper, which shows it this
        # machine's /tmp: the session's folder, the case folders and the display's socket.
        self.wrap = ["bash", ARM64_RUN, os.path.abspath(root)] if root else []
        self.folder = tempfile.mkdtemp(prefix="varnholt-wine-", dir=self.scratch())
        self.xvfb = self.holder = None
        self.held = False
        self.cases = 0
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.folder,
            "LANG": "C.UTF-8", "WINEPREFIX": os.path.join(self.folder, "prefix"),
            "WINEARCH": winearch, "WINEDLLOVERRIDES": "mscoree=d;mshtml=d", "WINEDEBUG": "-all",
        }
        if not root:
            # Where the kernel cannot run 32-bit code, Wine's x86 loader runs under qemu-i386.
            # A guest address space just over 2 GiB: the larger qemu's default, the longer
            # each of its searches for a free block (a minute a start). Wine's reservation of
            # what lies beyond is cut short by the preloaded wine32-reserve.so, which does
            # nothing where 32-bit programs run natively.
            self.env["QEMU_RESERVED_VA"] = "0x81000000"
            self.env.update(self.reserve_preload())

    def reserve_preload(self):
        """LD_PRELOAD naming wine32-reserve.so, built into the session's folder: through $LIB,
        32-bit programs load it and 64-bit ones an empty twin, not a complaint on stderr."""
        folder = os.path.join(self.folder, "preload")
        builds = {"i386-linux-gnu": ["-m32", RESERVE_SOURCE],
                  "x86_64-linux-gnu": ["-m64", "-x", "c", os.devnull]}
        for lib, args in builds.items():
            os.makedirs(os.path.join(folder, "lib", lib))
            out = os.path.join(folder, "lib", lib, "wine32-reserve.so")
            try:
                subprocess.run(["cc", "-O2", "-fPIC", "-shared", "-nostdlib", "-o", out, *args],
                               capture_output=True, check=True, timeout=60)
            except (OSError, subprocess.SubprocessError) as error:
                print(f"note: wine32-reserve.so could not be built ({error}); under "
                      "qemu-i386, every x86 program starts about 2 s slower", file=sys.stderr)
                return {}
        return {"LD_PRELOAD": os.path.join(folder, "$LIB", "wine32-reserve.so")}

    def tool(self, path):
        """The command of one of Wine's programs, inside the root when the session has one."""
        return [*self.wrap, path]

    def loader(self, exe=None):
        """The loader's command for an image: the 64-bit loader runs x64 and ARM64 images."""
        # A program that is not there is Wine's to report, whichever loader is given it.
        wide = self.winearch == "win64" and (
            exe is None or not os.path.isfile(exe) or machine(exe) != "x86")
        return self.tool(WINE64 if wide or self.wrap else WINE32)

    def __enter__(self):
        loader = self.loader()
        where = f"the root {self.wrap[2]}" if self.wrap else "this machine"
        tools = [shutil.which("Xvfb"), shutil.which("xdotool")]
        tools += [shutil.which("unshare")] if self.wrap else [loader[-1], WINESERVER]
        missing = [t for t in tools if not t or not os.access(t, os.X_OK)]
        version = None if missing else subprocess.run(
            [*loader, "--version"], capture_output=True, text=True, cwd=self.folder)
        if missing or version.returncode:
            shutil.rmtree(self.folder)
            needs = "an arm64 root with wine64 (arm64-root.sh)" if self.wrap else \
                "wine, wine32:i386, wine64"
            raise SystemExit(f"Wine cannot run in {where} ({' '.join(loader)}): it needs "
                             f"{needs}, xvfb and xdotool")
        try:
            self.start(loader, version.stdout.strip())
        except BaseException:
            self.__exit__()
            raise
        return self

    def quiet(self, *command, timeout=120):
        # Wine's background processes keep any pipe they inherit open: none is given to them.
        subprocess.run(command, env=self.env, cwd=self.folder, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout,
                       check=True)

    def start(self, loader, version):
        kept = self.kept_prefix(version)
        if kept and os.path.lexists(kept) and not self.whole(kept):
            aside = tempfile.mkdtemp(prefix=".set-aside-", dir=os.path.dirname(kept))
            os.rename(kept, os.path.join(aside, "prefix"))
            shutil.rmtree(aside, ignore_errors=True)
            print(f"note: the kept prefix {kept} was incomplete; set aside, made again",
                  file=sys.stderr)
        if kept and os.path.isdir(kept):
            self.copy_prefix(kept)
            report("reused", kept)
        elif self.make_prefix(loader) and kept:
            self.keep_prefix(kept)
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
        self.serve(loader)

    def make_prefix(self, loader):
        """Makes the session's prefix; returns whether its first start ended on its own."""
        # The prefix is made without a display, so that no first-run dialog waits on it.
        os.mkdir(self.env["WINEPREFIX"])
        self.quiet(*loader, "wineboot", "-i", timeout=600)
        # What the first start leaves running ends on its own within seconds, but on a loaded
        # machine it was once seen to run on for minutes: the prefix is made by then, so it is
        # ended.
        try:
            self.quiet(*self.tool(WINESERVER), "-w", timeout=60)
            ended = True
        except subprocess.TimeoutExpired:
            self.end_everything()
            ended = False
        # Windows that no window manager manages: with none running, Wine waits 2 s for one
        # at every window it hides, and a question takes keys once it has the input focus.
        with open(os.path.join(self.env["WINEPREFIX"], "user.reg"), "a") as f:
            f.write('\n[Software\\\\Wine\\\\X11 Driver]\n"Managed"="N"\n')
        return ended

    def kept_prefix(self, version):
        """Where a prefix of this session's kind is kept, if the runner is told to keep them."""
        folder = os.environ.get(KEPT_PREFIXES)
        if not folder:
            return None
        kind = (f"{'arm64-root' if self.wrap else 'host'} {self.winearch} {version} "
                f"{os.getuid()} recipe {PREFIX_RECIPE}")
        return os.path.join(os.path.abspath(folder), re.sub(r"[^A-Za-z0-9.]+", "-", kind))

    def keep_prefix(self, kept):
        """Keeps a copy of the newly made prefix, with the home its user folders lead to. Another
        run may keep one at the same time: the first one renamed into place stays."""
        os.makedirs(os.path.dirname(kept), exist_ok=True)
        making = tempfile.mkdtemp(prefix=".making-", dir=os.path.dirname(kept))
        try:
            shutil.copytree(self.env["WINEPREFIX"], os.path.join(making, "prefix"), symlinks=True)
            with open(os.path.join(making, "home"), "w") as f:
                f.write(self.folder)
            os.rename(making, kept)
            report("made", kept)
        except OSError as error:
            if not os.path.isdir(kept):
                print(f"note: the prefix was not kept in {kept} ({error})", file=sys.stderr)
        finally:
            shutil.rmtree(making, ignore_errors=True)

    @staticmethod
    def whole(kept):
        """Whether a kept prefix has all that keep_prefix writes: the prefix and its home."""
        return all(os.path.isfile(os.path.join(kept, part))
                   for part in ("home", os.path.join("prefix", "system.reg"),
                                os.path.join("prefix", "user.reg")))

    def copy_prefix(self, kept):
        """Copies a kept prefix, and leads its user folders to this session's home."""
        prefix = self.env["WINEPREFIX"]
        shutil.copytree(os.path.join(kept, "prefix"), prefix, symlinks=True)
        with open(os.path.join(kept, "home")) as f:
            home = f.read()
        for folder, names, files in os.walk(prefix):
            for name in names + files:
                path = os.path.join(folder, name)
                target = os.readlink(path) if os.path.islink(path) else ""
                if target == home or target.startswith(home + "/"):
                    os.remove(path)
                    os.symlink(self.folder + target[len(home):], path)

    def serve(self, loader=None):
        """A lasting server with the display, and Wine's services and desktop started by the
        session, not by a case. Wine closes a desktop a second after its last program ends, and
        a program that starts meanwhile finds no desktop: its questions cannot be shown. So the
        session keeps a program of its own on the desktop, a command prompt waiting for input.
        On a loaded machine the desktop's start can fail and leave every later window without
        a driver; so a window is made for a test, and the server started again if that fails.
        A 32-bit prefix's command prompt does not keep the desktop: there every program starts
        it anew, as Wine does, and the session cannot hold it."""
        loader = loader or self.loader()
        for attempt in range(DESKTOP_TRIES):
            if attempt:
                self.end_everything()
            self.quiet(*self.tool(WINESERVER), "-p")
            self.holder = subprocess.Popen(
                [*loader, "cmd"], env=self.env, cwd=self.folder, stdin=subprocess.PIPE,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            if wait_for(self.desktop, 300) and self.windows_work():
                # Held when it outlives the test window by more than Wine's second.
                time.sleep(3)
                self.held = self.desktop()
                return
        raise SystemExit(f"Wine's desktop did not start in {DESKTOP_TRIES} tries")

    def restart(self):
        """Ends every process of the prefix and starts the session's server and desktop again."""
        self.end_everything()
        self.serve()

    def desktop(self):
        return any("explorer.exe" in c for c in self.processes().values())

    def lost(self):
        """What of the session's own start has ended: its command prompt, Wine's services, or
        the desktop it holds."""
        commands = " ".join(self.processes().values())
        gone = [what for what, there in (
            ("the session's command prompt", self.holder.poll() is None),
            ("Wine's services", "services.exe" in commands),
            ("Wine's desktop", not self.held or "explorer.exe" in commands)) if not there]
        return " and ".join(gone)

    def windows_work(self):
        """Whether programs of both kinds the prefix runs can make a window: rundll32 makes a
        hidden one, and Wine says so on its err channel when there is no driver for it."""
        loaders = [WINE64] if self.wrap else (WINE32, WINE64)[:1 + (self.winearch == "win64")]
        for loader in loaders:
            log = os.path.join(self.folder, "window-test.err")
            with open(log, "wb") as err:
                subprocess.run([*self.tool(loader), "rundll32", "user32.dll,MessageBeep"],
                               env=dict(self.env, WINEDEBUG="-all,err+all"), cwd=self.folder,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                               timeout=300)
            with open(log, "rb") as f:
                if b":err:winediag:nodrv_" in f.read():
                    return False
        return True

    def processes(self, case=None):
        """{pid: command line} of the prefix's processes, but the server's: only those of one
        case when given."""
        prefix = f"WINEPREFIX={self.env['WINEPREFIX']}".encode()
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

    def end_everything(self):
        """Ends every process of the prefix, the server too, within a bound: Wine starts a
        program's Windows children in sessions of their own, out of reach of a signal to the
        parent's process group."""
        subprocess.run([*self.tool(WINESERVER), "-k"], env=self.env, cwd=self.folder,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if self.holder:
            self.holder.kill()
            self.holder.wait(timeout=30)
        try:
            subprocess.run([*self.tool(WINESERVER), "-w"], env=self.env, cwd=self.folder,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except subprocess.TimeoutExpired:
            pass

    def questions(self):
        """The question windows shown on the display."""
        return xdotool(self, "search", "--onlyvisible", "--name", QUESTION_WINDOW)

    def scratch(self):
        """Where the session's folders go: in a root, the temporary folder only if it is in
        /tmp, which is all the root sees of this machine."""
        if not self.wrap:
            return None
        temp = os.path.realpath(tempfile.gettempdir())
        return temp if in_tmp(temp) else "/tmp"

    def visible(self, program):
        """The program's path as the session's Wine sees it: outside /tmp, copied into the
        session's folder when that Wine runs in a root."""
        if not self.wrap or in_tmp(program):
            return program
        os.makedirs(os.path.join(self.folder, "programs"), exist_ok=True)
        return shutil.copy(program, os.path.join(self.folder, "programs"))

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
        if self.holder:
            self.holder.stdin.close()
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(timeout=30)
        shutil.rmtree(self.folder, ignore_errors=True)


def report(what, kept):
    """A kept prefix "made" or "reused", in the account of the cache that tools/check.sh keeps."""
    if os.environ.get(CACHE_REPORT):
        with open(os.environ[CACHE_REPORT], "a") as f:
            print(f"{what}\t{kept}", file=f)


def xdotool(session, *args):
    """xdotool's words, or none when it fails or does not answer within its bound."""
    try:
        result = subprocess.run(["xdotool", *args], env=session.env, capture_output=True,
                                text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return []
    return result.stdout.split() if result.returncode == 0 else []


def unescape_trace(text):
    return re.sub(r'\\(.)', lambda m: {"n": "\n", "t": "\t"}.get(m[1], m[1]), text)


def traced(path):
    """The question texts traced so far in a stderr file. It is read through a descriptor of its
    own: the one the program writes through shares its offset with the runner's."""
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8", "replace").splitlines()
    return [unescape_trace(m[1]) for m in map(TRACE.match, lines) if m]


class Questions:
    """Answers the questions of one case in order, each once its window is shown and its trace
    written, so that no window but the case's own question is taken for it; confirms that the
    window closed, and presses again, a bounded number of times, when it did not."""

    def __init__(self, session, answers, stderr):
        self.session, self.answers, self.stderr = session, answers, stderr
        self.before = set(session.questions())
        self.answered, self.problems = [], []
        self.open = None  # the window last answered, its key, presses, and when last pressed

    def press(self, window, key):
        # The key goes to the input focus, given to the question's own window just before it;
        # xdotool presses nothing once that window is gone.
        xdotool(self.session, "windowfocus", window, "key", key)

    def poll(self):
        """One look at the display; False once a question would not close."""
        shown = [w for w in self.session.questions() if w not in self.before]
        if self.open:
            window, key, presses, when = self.open
            if window not in shown:
                self.open = None
            elif time.monotonic() - when > CLOSE_WAIT:
                if presses == PRESSES:
                    self.problems.append(f"question {len(self.answered)} stayed open after "
                                         f"{PRESSES} presses of {key!r}")
                    return False
                self.press(window, key)
                self.open = (window, key, presses + 1, time.monotonic())
            return True
        new = [w for w in shown if w not in self.answered]
        if new and len(traced(self.stderr)) > len(self.answered):
            index = len(self.answered)
            expected = index < len(self.answers)
            if not expected:
                self.problems.append("a question that was not expected")
            key = "y" if expected and self.answers[index] == "yes" else "n"
            self.press(new[0], key)
            self.answered.append(new[0])
            self.open = (new[0], key, 1, time.monotonic())
        return True


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def end_case(session, process, case):
    """Ends what is left of a case: its process group, then every process that carries its mark,
    then, if any would not die, the prefix's server and all. Returns what would not die."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    for pid in session.processes(case):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if not wait_for(lambda: not session.processes(case), 5):
        session.restart()
        wait_for(lambda: not session.processes(case), 5)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    survivors = list(session.processes(case).values())
    if process.returncode is None:
        survivors.append(" ".join(map(str, process.args)))
    return survivors


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
    lost = session.lost()
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
            # Windows children may outlive the program for a moment, not for longer.
            if not wait_for(lambda: not session.processes(case), 5):
                problems.append("left running: " + ", ".join(session.processes(case).values()))
    finally:
        survivors = end_case(session, process, case)
    if survivors:
        problems.append(f"would not die: {', '.join(survivors)}")
    if not wait_for(lambda: not set(session.questions()) - questions.before, 5):
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


# The table of a setup's cases.
CASE_KEYS = {
    "name": str, "args": list, "run": str, "prepare": list, "winearch": str,
    "install": str, "uninstall": str, "missing": list, "answers": list, "status": int,
    "present": list, "absent": list, "machines": dict, "calls": list, "timeout": (int, float),
}
KINDS = {str: "a string", list: "a list", int: "a number", dict: "an object",
         (int, float): "a number"}


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
            ("machines", lambda v: all(m in MACHINES.values() for m in v.values()),
             "x86, x64 or arm64 for each path"),
            ("timeout", lambda v: v > 0, "more than 0 seconds"),
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
    timeout = case.get("timeout", timeout)

    def fill(text):
        return text.replace("{folder}", folder)

    problems = []
    with tempfile.TemporaryDirectory(prefix="varnholt-rehearse-", dir=session.scratch()) as work:
        log = os.path.join(work, "calls.log")

        def services(missing=()):
            return dict(session.native_services(missing), VARNHOLT_SIM_LOG=windows_path(log))

        if "prepare" in case:
            got = run_answering(session, [*session.loader(setup), setup,
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
        got = run_answering(session, [*session.loader(program), program,
                                      *map(fill, case["args"])],
                            work, env, case.get("answers", []), timeout)
        problems += got["problems"]
        if len(got["questions"]) < len(case.get("answers", [])):
            problems.append(f"{len(case['answers']) - len(got['questions'])} answer(s) unused")
        if got["status"] != case["status"]:
            problems.append(f"status {got['status']}, expected {case['status']}")
            problems += did_not_start(got)
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


def rehearse(setup, cases, timeout, patterns=None, root=None):
    passed = failed = 0
    chosen = [(n, c) for n, c in enumerate(cases, 1)
              if not patterns or any(p in c["name"] for p in patterns)]
    for winearch in ("win64", "win32"):
        group = [(n, c) for n, c in chosen if c.get("winearch", "win64") == winearch]
        if not group:
            continue
        with WineSession(winearch, root) as session:
            # The root sees this machine's /tmp only: the setup goes into the session's folder.
            program = session.visible(setup)
            for number, case in group:
                try:
                    problems = run_case(session, program, case, number, timeout)
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
    # Ended from outside, the runner still ends its prefix's processes and removes its display.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("setup", help="the setup program's test build")
    parser.add_argument("table", help="the JSON table of cases")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="run only the cases whose name contains this (may be repeated)")
    parser.add_argument("--timeout", type=float, default=120,
                        help="seconds one run may take, unless its case says")
    parser.add_argument("--arm64-root", metavar="DIR",
                        help="run under the arm64 Wine of this root (made by arm64-root.sh)")
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
    return 0 if rehearse(os.path.abspath(args.setup), cases, args.timeout, args.patterns,
                         args.arm64_root) else 1


if __name__ == "__main__":
    sys.exit(main())
